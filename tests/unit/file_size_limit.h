// Makes every write that would grow a regular file beyond `bytes` fail with EFBIG
// while the object lives: a disk running full, without needing a full disk.
#ifndef KESTRIX_TESTS_FILE_SIZE_LIMIT_H
#define KESTRIX_TESTS_FILE_SIZE_LIMIT_H

#include <signal.h>
#include <sys/resource.h>

#include <stdexcept>

class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        // Without this the kernel stops the process instead of failing the write.
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        if (getrlimit(RLIMIT_FSIZE, &previous_) != 0) {
            throw std::runtime_error("getrlimit failed");
        }
        struct rlimit limited = previous_;
        limited.rlim_cur = bytes;
        if (setrlimit(RLIMIT_FSIZE, &limited) != 0) {
            throw std::runtime_error("setrlimit failed");
        }
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    struct rlimit previous_;
    sighandler_t previousHandler_;
};

#endif
