// The console display: messages to standard output (info) and standard error (errors),
// and a progress bar and a spinner redrawn in place on a terminal.
#ifndef KESTRIX_CLI_DISPLAY_H
#define KESTRIX_CLI_DISPLAY_H

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
  public:
    // Makes standard output and standard error unbuffered, so text interleaves in order.
    CLI_Display();

    // Progress, spinner and clearing draw only when standard output is a terminal, so
    // redirected output holds the messages alone.
    void display_progress(bool on) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    // "text\n" on standard output.
    void info_message(const char* text) override;
    // "text\n" on standard error.
    void error_message(const char* text) override;
};

#endif
