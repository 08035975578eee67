// A firmware directory for kestrix-update-server in tests: BIRD images written with
// BirdWriter into one folder per device, and the server's JSON configuration beside it.
#ifndef KESTRIX_TESTS_TESTFIRMWAREROOT_H
#define KESTRIX_TESTS_TESTFIRMWAREROOT_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class TestFirmwareRoot {
  public:
    // Uses dir/root as the firmware directory and dir/server.json as the configuration.
    explicit TestFirmwareRoot(const std::string& dir);

    const std::string& root() const { return root_; }
    const std::string& configFile() const { return config_; }

    // Writes an image (info block with build, version, serial and model "KXTEST", one
    // firmware block at 0x1000 holding `firmware`) as root/SERIAL/fileName, by default
    // BUILD.bird. Returns the file's bytes. Throws std::runtime_error on failure.
    std::vector<uint8_t> addImage(unsigned serial, unsigned build, const std::string& version,
                                  const std::vector<uint8_t>& firmware = DefaultFirmware(),
                                  std::string fileName = "");
    // Writes the configuration file.
    void writeConfig(const nlohmann::json& config) const;

    // 300 bytes counting up from 0, so scrambling shows in every byte.
    static std::vector<uint8_t> DefaultFirmware();

  private:
    std::string root_;
    std::string config_;
};

#endif
