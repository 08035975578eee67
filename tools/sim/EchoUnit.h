// The debug echo (command 0x17): answers 17 d1 .. dn from the module with the same bytes.
#ifndef KESTRIX_SIM_ECHOUNIT_H
#define KESTRIX_SIM_ECHOUNIT_H

#include "SimUnit.h"

namespace kxsim {

class EchoUnit : public Unit {
  public:
    static constexpr uint8_t kCommand = 0x17;

    explicit EchoUnit(uint8_t address) : address_(address) {}
    std::string name() const override { return "echo"; }
    bool handle(const Packet& request, std::vector<Packet>& replies) override;

  private:
    uint8_t address_;
};

}  // namespace kxsim

#endif
