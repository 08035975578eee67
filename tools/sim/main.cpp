// kestrix-sim: plays simulated modules on the other end of a link until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "Simulator.h"

namespace {

const char* const kUsage = R"(Usage: kestrix-sim --config FILE [--log FILE]
       kestrix-sim --help

Plays one or more Kestrix modules on the other end of a link, as the host relies on
them: packets back to back (TCP) or COBS + CRC-8 frames (pseudo-terminal), the answer
to AD 00, heartbeats, the route switch, the units configured, and injected faults.

  --config FILE   the configuration (JSON, below)
  --log FILE      JSON-lines log of every packet and event (overrides "log")
  --help          this text

)";

int sUsageError(const std::string& message) {
    std::cerr << "kestrix-sim: " << message << "\nTry kestrix-sim --help\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string configPath;
    std::string logPath;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << kUsage << kxsim::kConfigHelp;
            return 0;
        }
        if ((option == "--config" || option == "--log") && i + 1 < argc) {
            (option == "--config" ? configPath : logPath) = argv[++i];
        } else {
            return sUsageError("unexpected argument " + option);
        }
    }
    if (configPath.empty()) {
        return sUsageError("--config is required");
    }

    // The signals are taken synchronously below; every thread started from here on
    // inherits the mask, so none of them is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        kxsim::Config config = kxsim::loadConfig(configPath);
        if (!logPath.empty()) {
            config.logPath = logPath;
        }
        kxsim::Simulator simulator(config);
        simulator.start();
        std::cout << simulator.readyLine() << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
        simulator.stop();
    } catch (const std::exception& error) {
        std::cerr << "kestrix-sim: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
