// A console display that keeps the text instead of printing it (for tests linking
// updater_core).
#ifndef KESTRIX_TESTS_CAPTURINGDISPLAY_H
#define KESTRIX_TESTS_CAPTURINGDISPLAY_H

#include <string>

#include "CLI_Display.h"

namespace kxtest {

class CapturingDisplay : public CLI_Display {
  public:
    void info_message(const char* text) override { out += std::string(text) + "\n"; }
    void error_message(const char* text) override { err += std::string(text) + "\n"; }

    std::string out;
    std::string err;
};

}  // namespace kxtest

#endif
