// kestrix-sim as a library: the simulated modules of one configuration, each on its own
// endpoint. Tests run it in their own process; the executable adds the command line.
//
//   kxsim::Simulator sim(kxsim::parseConfig(json));
//   sim.start();
//   uint16_t port = sim.endpoint(0).port();
//   sim.endpoint(0).module().waitFor([](const kxsim::Record& r) { ... }, 2s);
#ifndef KESTRIX_SIM_SIMULATOR_H
#define KESTRIX_SIM_SIMULATOR_H

#include <memory>
#include <vector>

#include "SimEndpoint.h"
#include "discovery_responder.h"

namespace kxsim {

class Simulator {
  public:
    // Builds the modules. Throws std::runtime_error for a bad unit or log.
    explicit Simulator(const Config& config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens every endpoint, then answers discovery for the TCP modules that ask for it.
    // Throws std::runtime_error when one cannot be opened.
    void start();
    // Ends every link and joins the threads; also done on destruction.
    void stop();

    size_t size() const { return endpoints_.size(); }
    Endpoint& endpoint(size_t index) { return *endpoints_.at(index); }
    // The ready line: one JSON object naming every endpoint, without a line end.
    std::string readyLine() const;

  private:
    Log log_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::vector<std::unique_ptr<DiscoveryResponder>> responders_;  // one per interface
};

}  // namespace kxsim

#endif
