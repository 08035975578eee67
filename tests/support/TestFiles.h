// Small file and text helpers for tests that check what was written.
#ifndef KESTRIX_TESTS_TESTFILES_H
#define KESTRIX_TESTS_TESTFILES_H

#include <string>
#include <vector>

namespace kxtest {

// The whole contents of the file at path; empty when it cannot be read.
std::string read_file(const std::string& path);

// The names of the entries of directory (hidden ones included), sorted.
std::vector<std::string> file_names(const std::string& directory);

// Replaces every token in text by value (value may contain token).
void replace_all(std::string& text, const std::string& token, const std::string& value);

}  // namespace kxtest

#endif
