// kestrix-bird: pack, inspect and scramble BIRD firmware images.
#include <cstdio>
#include <string>
#include <vector>

#include "BirdCommands.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "pack") {
        return RunPack(args);
    }
    if (verb == "info") {
        return RunInfo(args);
    }
    if (verb == "scramble") {
        return RunScramble(args);
    }
    if (verb == "-h" || verb == "--help" || verb == "help") {
        const char* page = BirdHelp(args.empty() ? "" : args.front());
        if (page) {
            fputs(page, stdout);
            return 0;
        }
        fprintf(stderr, "kestrix-bird: no manual page for \"%s\"\n", args.front().c_str());
        return 1;
    }
    if (verb.empty()) {
        fprintf(stderr, "kestrix-bird: needs a verb\n");
    } else {
        fprintf(stderr, "kestrix-bird: unknown verb \"%s\"\n", verb.c_str());
    }
    fprintf(stderr, "Try 'kestrix-bird --help'.\n");
    return 1;
}
