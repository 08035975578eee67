// The parts of discovery that need no network: the module reply layout, pinned by a
// vector written down independently of both the library and the simulator; address
// text; and the lock around CZMQ's beacon interface setting.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "discover.h"
#include "discovery_responder.h"
#include "unix_discovery.h"
#include "zBeaconInterface.h"

namespace {

// A module at address 0x12, TCP port 0xF034, serial number 0x0D0C0B0A, model 0x17.
const std::vector<uint8_t> kReply = {0x04, 0x12, 0x34, 0xF0, 0x0A, 0x0B, 0x0C, 0x0D,
                                     0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00};

TEST(DiscoveryReply, IsReadLittleEndianWithTheSenderAsAddress) {
    linkSpec spec;
    const uint32_t sender = htonl(0x0A4D0002);  // 10.77.0.2
    ASSERT_TRUE(_aDiscovery_ParseModuleReply(kReply.data(), kReply.size(), sender, &spec));
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.module, 0x12u);
    EXPECT_EQ(spec.router, 0x12u);
    EXPECT_EQ(spec.port, 0xF034u);
    EXPECT_EQ(spec.serialNumber, 0x0D0C0B0Au);
    EXPECT_EQ(spec.routerSerialNumber, 0x0D0C0B0Au);
    EXPECT_EQ(spec.model, 0x17u);
    EXPECT_EQ(spec.ipAddress, sender);

    EXPECT_FALSE(_aDiscovery_ParseModuleReply(kReply.data(), 15, sender, &spec));
    EXPECT_FALSE(_aDiscovery_ParseModuleReply(kReply.data(), 17, sender, &spec));
}

TEST(DiscoveryReply, TheSimulatorWritesTheSameLayout) {
    std::vector<uint8_t> expected = kReply;
    expected[0] = 0;  // not interpreted; the simulator leaves it zero
    EXPECT_EQ(kxsim::discoveryReply({0x0D0C0B0A, 0x12, 0xF034, 0x17}), expected);
}

TEST(DiscoveryAddresses, AreWrittenAsDottedText) {
    char text[16];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(htonl(0x0A4D0001), text, sizeof text), 9u);
    EXPECT_STREQ(text, "10.77.0.1");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(htonl(0xFFFFFFFF), text, sizeof text), 15u);
    EXPECT_STREQ(text, "255.255.255.255");
    char small[15];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(htonl(0x0A4D0001), small, sizeof small), 0u);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0, nullptr, 16), 0u);
}

// Whether another thread can take the beacon-interface lock within a short wait.
bool sOtherThreadGetsTheLock(std::chrono::milliseconds wait) {
    std::mutex m;
    std::condition_variable cv;
    bool got = false;
    std::thread other([&] {
        zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
        std::lock_guard<std::mutex> hold(m);
        got = true;
        cv.notify_all();
    });
    bool result;
    {
        std::unique_lock<std::mutex> hold(m);
        result = cv.wait_for(hold, wait, [&] { return got; });
    }
    if (!result) {
        zBeaconInterface_unlock();  // let it finish
    }
    other.join();
    return result;
}

TEST(BeaconInterface, OnlyAddressesEmptyAndStarAreSet) {
    for (const char* refused : {"eth0", "10.77.0", "10.77.0.256", "kx1"}) {
        EXPECT_FALSE(zBeaconInterface_setAndLock(refused)) << refused;
        EXPECT_TRUE(sOtherThreadGetsTheLock(std::chrono::seconds(5))) << refused << " locked";
    }
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    EXPECT_STREQ(zBeaconInterface_get(), "*");
    EXPECT_FALSE(zBeaconInterface_setAndLock("*")) << "not recursive";
    EXPECT_FALSE(sOtherThreadGetsTheLock(std::chrono::milliseconds(200))) << "must be locked";
    // sOtherThreadGetsTheLock released it for the waiting thread.
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    zBeaconInterface_unlock();
}

TEST(BeaconInterface, TheBackupIsRestored) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.9"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.77.0.1"));
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.1");
    EXPECT_STREQ(zBeaconInterface_getBackup(), "10.77.0.9");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.9");
    EXPECT_STREQ(zBeaconInterface_getBackupAndLock(), "10.77.0.9");
    zBeaconInterface_unlock();
}

}  // namespace
