#include "OptionParser.h"

#include <cstring>

OptionParser::OptionParser(const OptionEntry* table, int argc, char** argv)
    : table(table), argc(argc), argv(argv) {}

// An exact match wins; otherwise the name must be the start of exactly one entry.
const OptionEntry* OptionParser::_match(std::string_view name) const {
    const OptionEntry* found = nullptr;
    int prefixMatches = 0;
    for (const OptionEntry* entry = table; entry->id != -1; ++entry) {
        std::string_view text(entry->text);
        if (text == name) {
            return entry;
        }
        if (text.starts_with(name)) {
            found = entry;
            ++prefixMatches;
        }
    }
    return prefixMatches == 1 ? found : nullptr;
}

bool OptionParser::next(const OptionEntry*& option, char*& argument) {
    while (index < argc) {
        char* word = argv[index++];
        if (word == nullptr || word[0] != '-') {
            continue;
        }
        char* equals = strchr(word, '=');
        std::string_view name = equals ? std::string_view(word, equals - word) : word;
        const OptionEntry* entry = _match(name);
        if (entry == nullptr) {
            continue;
        }
        if (entry->argument == 0) {
            if (equals) {
                continue;
            }
            option = entry;
            argument = nullptr;
            return true;
        }
        if (equals) {
            option = entry;
            argument = equals + 1;
            return true;
        }
        if (index < argc && argv[index] != nullptr && argv[index][0] != '-') {
            option = entry;
            argument = argv[index++];
            return true;
        }
    }
    return false;
}
