#include "CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// Width of a full bar and of the blank run that wipes a bar or spinner line.
constexpr int kBarWidth = 69;
constexpr int kClearWidth = 88;
constexpr char kBar[kBarWidth + 1] =
    "=====================================================================";
static_assert(sizeof(kBar) == kBarWidth + 1);

constexpr const char* kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned kSpinnerFrameCount = sizeof(kSpinnerFrames) / sizeof(kSpinnerFrames[0]);

bool _drawing() {
    return isatty(STDOUT_FILENO) == 1;
}

void _clear_line() {
    printf("\r%*s\r", kClearWidth, " ");
}

}  // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on) {
    if (!_drawing() || on) {
        return;
    }
    _clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!_drawing()) {
        return;
    }
    // Out-of-range fractions (and NaN) are held to the bar, so the filled length can
    // neither go negative (which would print the whole bar) nor past the bar's end.
    if (!(fraction >= 0.0)) {
        fraction = 0.0;
    } else if (fraction > 1.0) {
        fraction = 1.0;
    }
    int width = kBarWidth;
    if (label != nullptr) {
        width -= static_cast<int>(strlen(label)) + 4;
        if (width < 0) {
            width = 0;
        }
    }
    const int percent = static_cast<int>(fraction * 100.0);
    const int filled = static_cast<int>(width * fraction);
    // At a full bar the pad width is -1: printf reads it as a left-aligned field of one.
    if (label == nullptr) {
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
    } else {
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "",
               percent);
    }
}

void CLI_Display::update_spinner(bool on, const char* label) {
    // Shared by every spinner of the run, so a restarted spinner carries on its cycle.
    static unsigned char frame = 0;
    if (!_drawing()) {
        return;
    }
    if (!on) {
        _clear_line();
        return;
    }
    if (label == nullptr) {
        printf("\r %s      \r", kSpinnerFrames[frame]);
    } else {
        printf("\r (%s) %s      \r", label, kSpinnerFrames[frame]);
    }
    frame = static_cast<unsigned char>((frame + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char* text) {
    printf("%s\n", text);
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text);
}
