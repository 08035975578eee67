// A USB link end to end: the real library with the libusb stand-in preloaded, talking to
// a module that kestrix-sim's USB personality plays in this process. The link opens and
// synchronises, carries packets, survives an unplug with aLink_Reset once the module is
// back, follows a module that comes back under another serial number, and closes.
#include <chrono>
#include <thread>

#include "Simulator.h"
#include "aLink.h"
#include "usb_lab_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kEcho = 0x17;

nlohmann::json sModule(const std::string& lab,
                       nlohmann::json transport = nlohmann::json::object()) {
    transport["type"] = "usb";
    transport["directory"] = lab;
    return {{"serial", "40F5849A"}, {"address", kAddress}, {"transport", transport}};
}

bool sWaitForStatus(aLinkHandle link, linkStatus wanted, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (aLink_GetStatus(link) != wanted) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Sends the debug echo with payload and checks that the module's answer comes back.
void sExpectEcho(aLinkHandle link, uint8_t payload) {
    const uint8_t data[] = {kEcho, payload, 0x5A};
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof data, data);
    ASSERT_EQ(aLink_PutPacket(link, request), aErrNone);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitPacket(link, 2000);
    ASSERT_NE(reply, nullptr) << "no echo for " << int(payload);
    EXPECT_EQ(reply->address, kAddress);
    ASSERT_EQ(reply->dataSize, sizeof data);
    EXPECT_EQ(reply->data[1], payload);
    aPacket_Destroy(&reply);
}

class UsbLink : public UsbLabTest {
  protected:
    void startSim(const nlohmann::json& module) {
        sim_ = std::make_unique<kxsim::Simulator>(kxsim::parseConfig({{"modules", {module}}}));
        sim_->start();
    }
    kxsim::UsbBridge& usb() { return *sim_->endpoint(0).usb(); }
    void TearDown() override {
        sim_.reset();
        UsbLabTest::TearDown();
    }
    std::unique_ptr<kxsim::Simulator> sim_;
};

TEST_F(UsbLink, OpensExchangesSurvivesAnUnplugAndCloses) {
    startSim(sModule(lab()));
    aLinkHandle link = aLink_CreateUSB(kSerial);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_GE(sim_->endpoint(0).module().record().addressQueries, 2u) << "synchronised by AD 00";
    for (uint8_t i = 0; i < 20; ++i) {
        sExpectEcho(link, i);
    }

    usb().unplug();
    EXPECT_TRUE(sWaitForStatus(link, linkStatusIOError, 5s)) << aLink_GetStatus(link);
    ASSERT_TRUE(usb().plug());
    EXPECT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    sExpectEcho(link, 0x77);
    EXPECT_EQ(sim_->endpoint(0).module().record().connections, 2u);

    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(link, 0u);
    // The route switch of the stop reached the module before the device was let go.
    EXPECT_TRUE(sim_->endpoint(0).module().waitFor(
        [](const kxsim::Record& r) {
            return !r.routeSwitches.empty() && r.routeSwitches.back() == 0;
        },
        2s));
}

TEST_F(UsbLink, ResetWaitsForAModuleThatComesBackLate) {
    startSim(sModule(lab()));
    aLinkHandle link = aLink_CreateUSB(kSerial);
    ASSERT_NE(link, 0u);
    usb().unplug();
    ASSERT_TRUE(sWaitForStatus(link, linkStatusIOError, 5s));
    std::thread replug([this] {
        std::this_thread::sleep_for(300ms);  // the reset's retries must bridge this
        usb().plug();
    });
    EXPECT_EQ(aLink_Reset(link), aErrNone);
    replug.join();
    sExpectEcho(link, 1);
    aLink_Destroy(&link);
}

TEST_F(UsbLink, CreatingFailsForAnAbsentOrSilentModule) {
    nlohmann::json silent = sModule(lab());
    silent["answer_address_query"] = false;
    startSim(silent);
    EXPECT_EQ(aLink_CreateUSB(0x12345678), 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u) << "a module that never synchronises";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
    // Nothing was left behind: the module can be opened again at once.
    kxusb_device* usb = kxusb_create_usb(kxusbAccessLibusb);
    EXPECT_EQ(kxusb_open_kestrix_device(usb, "40F5849A"), aErrNone);
    kxusb_destroy(&usb);
}

TEST_F(UsbLink, AModuleRestartingComesBackUnderTheLoadersSerialNumber) {
    // A packet after the handshake ends the link, as starting the loader does.
    nlohmann::json module =
        sModule(lab(), nlohmann::json::object({{"replug_ms", 100}, {"replug_serial", "DEADDEAD"}}));
    module["faults"] = {{{"kind", "close"}, {"at", 12}}};
    startSim(module);
    aLinkHandle link = aLink_CreateUSB(kSerial);
    ASSERT_NE(link, 0u);
    const uint8_t data[] = {kEcho, 1};
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof data, data);
    for (int i = 0; i < 10; ++i) {
        aLink_PutPacket(link, request);
    }
    aPacket_Destroy(&request);
    ASSERT_TRUE(sWaitForStatus(link, linkStatusIOError, 5s));
    aLink_Destroy(&link);

    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (usb().serialString() != "DEADDEAD" || !usb().plugged()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(10ms);
    }
    Kestrix_libusb_exit();  // as the updater refreshes its view of the bus
    link = aLink_CreateUSB(0xDEADDEAD);
    ASSERT_NE(link, 0u);
    sExpectEcho(link, 2);
    aLink_Destroy(&link);
}

}  // namespace
