#include "Log.h"

#include <cstdarg>

void Log::log(unsigned mask, const char* format, ...) {
    if (mask != 0 && (mask & package_bitmask) == 0) {
        return;
    }
    FILE* stream = fh;
    if (stream == nullptr) {
        return;
    }
    char text[2048];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (length <= 0) {
        return;
    }
    if (length >= static_cast<int>(sizeof(text))) {
        length = sizeof(text) - 1;
    }
    // One write per line, so lines from two threads do not interleave mid-line.
    fwrite(text, 1, static_cast<size_t>(length), stream);
}
