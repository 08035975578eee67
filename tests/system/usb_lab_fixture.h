// Tests that run the library's USB code against simulated devices: the libusb stand-in
// of tests/fakes must be preloaded, and KX_FAKE_USB_DIR must name this test's own lab
// directory (both set by the test registration). The fixture empties the directory and
// serves devices from this process.
#ifndef KESTRIX_TESTS_USB_LAB_FIXTURE_H
#define KESTRIX_TESTS_USB_LAB_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kestrix-C.h"
#include "kxusb_driver.h"
#include "usb_lab_device.h"

// A device of the maker with the link interface and the given identity.
inline kxlab::DeviceConfig kxModuleConfig(const std::string& serial, uint16_t productId = 0x0013,
                                          uint16_t outMaxPacket = 64) {
    kxlab::DeviceConfig config;
    config.serial = serial;
    config.vendorId = KESTRIX_VENDOR_ID;
    config.productId = productId;
    config.outMaxPacket = outMaxPacket;
    config.interfaceClass = KXUSB_LINK_INTERFACE_CLASS;
    config.interfaceSubClass = KXUSB_LINK_INTERFACE_SUBCLASS;
    config.interfaceProtocol = KXUSB_LINK_INTERFACE_PROTOCOL;
    return config;
}

// A simulated device that keeps every byte the host sends it.
class RecordingDevice {
  public:
    RecordingDevice(const std::string& directory, const kxlab::DeviceConfig& config)
        : device(directory, config, [this](const uint8_t* bytes, size_t length) {
              std::lock_guard<std::mutex> hold(mutex_);
              received_.insert(received_.end(), bytes, bytes + length);
              arrived_.notify_all();
          }) {
        EXPECT_TRUE(device.plug());
    }

    // Waits up to 5 s until count bytes have arrived; returns what arrived.
    std::vector<uint8_t> awaitReceived(size_t count) {
        std::unique_lock<std::mutex> hold(mutex_);
        arrived_.wait_for(hold, std::chrono::seconds(5), [&] { return received_.size() >= count; });
        return received_;
    }

    kxlab::UsbLabDevice device;

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<uint8_t> received_;
};

class UsbLabTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        const char* directory = std::getenv("KX_FAKE_USB_DIR");
        ASSERT_TRUE(preload != nullptr &&
                    std::string(preload).find("kxfake_usb") != std::string::npos)
            << "run through ctest: the libusb stand-in must be preloaded";
        ASSERT_NE(directory, nullptr) << "KX_FAKE_USB_DIR must name the lab directory";
        lab_ = directory;
        std::filesystem::remove_all(lab_);
        std::filesystem::create_directories(lab_);
    }
    void TearDown() override {
        devices_.clear();
        Kestrix_libusb_exit();
    }

    RecordingDevice& addDevice(const kxlab::DeviceConfig& config) {
        devices_.push_back(std::make_unique<RecordingDevice>(lab_, config));
        return *devices_.back();
    }

    const std::string& lab() const { return lab_; }

  private:
    std::string lab_;
    std::vector<std::unique_ptr<RecordingDevice>> devices_;
};

#endif
