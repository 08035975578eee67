#include "TestFirmwareRoot.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "BirdWriter.h"

TestFirmwareRoot::TestFirmwareRoot(const std::string& dir)
    : root_(dir + "/root"), config_(dir + "/server.json") {
    std::filesystem::create_directories(root_);
}

std::vector<uint8_t> TestFirmwareRoot::addImage(unsigned serial, unsigned build,
                                                const std::string& version,
                                                const std::vector<uint8_t>& firmware,
                                                std::string fileName) {
    char serialText[9];
    std::snprintf(serialText, sizeof serialText, "%08X", serial);
    std::string folder = root_ + "/" + serialText;
    std::filesystem::create_directories(folder);
    BirdWriter writer;
    writer.AddInfoBlock({std::to_string(build), version, serialText, "KXTEST"});
    writer.AddImageBlock(BirdFile::BLOCK_FIRMWARE, 0, 0x1000, firmware);
    if (fileName.empty()) {
        fileName = std::to_string(build) + ".bird";
    }
    std::string error;
    if (!writer.Write(folder + "/" + fileName, error)) {
        throw std::runtime_error(error);
    }
    return writer.Image();
}

void TestFirmwareRoot::writeConfig(const nlohmann::json& config) const {
    std::ofstream(config_) << config.dump(2) << "\n";
}

std::vector<uint8_t> TestFirmwareRoot::DefaultFirmware() {
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}
