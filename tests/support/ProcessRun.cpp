#include "ProcessRun.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace kxtest {

namespace {

std::vector<char*> _pointers(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The output pair for the child's standard output: a raw pseudo-terminal or a pipe.
bool _open_output(bool terminal, int out[2]) {
    if (!terminal) {
        return pipe2(out, O_CLOEXEC) == 0;
    }
    if (openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0) {
        return false;
    }
    termios mode;
    tcgetattr(out[1], &mode);
    cfmakeraw(&mode);
    tcsetattr(out[1], TCSANOW, &mode);
    fcntl(out[0], F_SETFD, FD_CLOEXEC);
    fcntl(out[1], F_SETFD, FD_CLOEXEC);
    return true;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> words = args;
    std::vector<char*> argv = _pointers(words);
    std::vector<std::string> variables = options.environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp = _pointers(variables);
    char** environment = options.environment ? envp.data() : environ;

    int out[2];
    int err[2];
    if (!_open_output(options.terminalOutput, out)) {
        ADD_FAILURE() << (options.terminalOutput ? "openpty failed" : "pipe failed");
        return {};
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        close(out[0]);
        close(out[1]);
        return {};
    }
    pid_t child = fork();
    if (child == 0) {
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            _exit(126);
        }
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (options.clearUmask) {
            umask(0);
        }
        execve(argv[0], argv.data(), environment);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);

    ProcessResult result;
    pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    int open = 2;
    auto deadline = std::chrono::steady_clock::now() + options.deadline;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(streams, 2, 200) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            ssize_t count = read(streams[i].fd, buffer, sizeof(buffer));
            if (count > 0) {
                texts[i]->append(buffer, static_cast<size_t>(count));
            } else {  // end of file, or EIO once a terminal's last writer has gone
                close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) {
        ADD_FAILURE() << args[0] << " did not finish in time";
        kill(child, SIGKILL);
    }
    for (const pollfd& stream : streams) {
        if (stream.fd >= 0) {
            close(stream.fd);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace kxtest
