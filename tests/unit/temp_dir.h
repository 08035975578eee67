// A fresh directory under the system's temporary directory, removed with its contents
// when the test ends.
#ifndef KESTRIX_TESTS_TEMP_DIR_H
#define KESTRIX_TESTS_TEMP_DIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kx-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes contents to name below the directory and returns the full path.
    std::string write(const std::string& name, const std::string& contents) const {
        const std::string file = *this / name;
        std::ofstream(file, std::ios::binary) << contents;
        return file;
    }

  private:
    std::string path_;
};

#endif
