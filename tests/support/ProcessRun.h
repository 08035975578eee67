// Running a real program to completion from a test, collecting what it writes.
#ifndef KESTRIX_TESTS_PROCESSRUN_H
#define KESTRIX_TESTS_PROCESSRUN_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kxtest {

struct ProcessResult {
    int exitStatus = -1;  // -1 when the program did not exit normally (or never ran)
    std::string out;
    std::string err;
};

struct RunOptions {
    // Exactly this environment; none given: the test's own.
    std::optional<std::vector<std::string>> environment;
    std::string workingDirectory;  // empty: the test's own
    // Standard output a pseudo-terminal in raw mode (its bytes arrive untranslated)
    // instead of a pipe.
    bool terminalOutput = false;
    bool clearUmask = false;  // umask 0, so created files show the modes asked for
    std::chrono::seconds deadline{60};
};

// Runs args[0] with args, standard input /dev/null, and collects both output streams
// until the program ends. Past the deadline the program is killed and the test fails.
ProcessResult run_process(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace kxtest

#endif
