// A long-running helper program started by a test: its standard output is read up to the
// one ready line it prints once it serves, its standard error goes to a file, and it is
// stopped with a signal and waited for.
#ifndef KESTRIX_TESTS_CHILDPROCESS_H
#define KESTRIX_TESTS_CHILDPROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kxtest {

class ChildProcess {
  public:
    ChildProcess() = default;
    // Stops a program still running (SIGTERM).
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    struct ReadyLine {
        std::string text;  // without the newline; what arrived when incomplete
        bool complete = false;
    };

    // Starts args[0] with args, the test's environment and no blocked signals, standard
    // error to errorPath, and reads the first line of its standard output within
    // timeout. Throws std::runtime_error when the program cannot be started.
    ReadyLine start(const std::vector<std::string>& args, const std::string& errorPath,
                    std::chrono::milliseconds timeout);

    // Sends the signal and waits for the exit (SIGKILL after a 10 s grace). Returns the
    // exit status, or 128 + the signal number when a signal ended the process; -1 when
    // nothing runs.
    int stop(int signal = SIGTERM);
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

}  // namespace kxtest

#endif
