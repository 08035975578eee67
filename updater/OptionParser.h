// A small command-line option parser over a table of option texts. Options are matched
// exactly or by an unambiguous prefix; every malformed word is dropped without a word.
#ifndef KESTRIX_OPTIONPARSER_H
#define KESTRIX_OPTIONPARSER_H

#include <cstdint>
#include <string_view>

// One table entry; a table ends with an entry whose id is -1.
struct OptionEntry {
    int32_t id;
    const char* text;
    int32_t argument;  // 0: none, 1: one, as the next word or after "="
};

class OptionParser {
  public:
    // Walks argv[1] to argv[argc - 1] against table; both must outlive the parser.
    OptionParser(const OptionEntry* table, int argc, char** argv);

    // The next accepted option and its argument (null when it takes none); false when
    // the words are used up. Dropped silently on the way: words not starting with "-",
    // words matching no entry or several by prefix, "name=value" for an option taking
    // no argument, and an option whose argument is missing (the word after it, if it
    // starts with "-", is then read as an option itself).
    bool next(const OptionEntry*& option, char*& argument);

  private:
    const OptionEntry* _match(std::string_view name) const;

    const OptionEntry* table;
    int argc;
    char** argv;
    int index = 1;
};

#endif
