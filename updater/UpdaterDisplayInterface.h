// The one display every part of the updater reports through: formatted messages at
// two levels, a progress bar and a spinner. The console implementation is CLI_Display.
#ifndef KESTRIX_UPDATERDISPLAYINTERFACE_H
#define KESTRIX_UPDATERDISPLAYINTERFACE_H

class UpdaterDisplayInterface {
  public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    // Formats printf-style (cut at 2047 characters) and hands the text to error_message
    // for LEVEL_ERROR, to info_message otherwise; the display adds the line feed.
    // Prints nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Mutes or unmutes message(); progress, spinner and the direct slots are not affected.
    void mute_messages(bool on) { muted = on; }

    // Opens (true, prints nothing) or ends and clears (false) a progress line.
    virtual void display_progress(bool on) = 0;
    // Redraws the progress line at fraction (0 to 1), with an optional label (null: none).
    virtual void update_progress(double fraction, const char* label) = 0;
    // Draws the next spinner frame (true) or clears the spinner line (false).
    virtual void update_spinner(bool on, const char* label) = 0;
    // Shows one line of ordinary text, without its line feed.
    virtual void info_message(const char* text) = 0;
    // Shows one line of error text, without its line feed.
    virtual void error_message(const char* text) = 0;

  protected:
    // Displays are made by value and live for the whole run; never deleted through a
    // base pointer.
    ~UpdaterDisplayInterface() = default;

  private:
    bool muted = false;
};

#endif
