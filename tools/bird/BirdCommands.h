// The verbs of kestrix-bird. Each takes the words after the verb, reports on standard
// output (results) and standard error (errors, warnings) and returns the exit status:
// 0 on success, 1 on any error.
#ifndef KESTRIX_BIRDCOMMANDS_H
#define KESTRIX_BIRDCOMMANDS_H

#include <string>
#include <vector>

int RunPack(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
int RunScramble(const std::vector<std::string>& args);

// The manual page of `verb` ("" for the program itself), or null for an unknown verb.
const char* BirdHelp(const std::string& verb);

#endif
