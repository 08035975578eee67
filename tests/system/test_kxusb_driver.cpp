// The USB transport and the USB stream against simulated devices: opening by serial
// string, claim conflicts between processes, chunking of writes, the error tolerance,
// the read time-out, the kernel-node path and refreshing the shared libusb context.
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "unix_streamusb.h"
#include "usb_lab_fixture.h"

namespace {

struct Device {
    kxusb_device* d;
    explicit Device(kxusbAccessKind kind) : d(kxusb_create_usb(kind)) {}
    ~Device() {
        if (d != nullptr) {
            kxusb_destroy(&d);
        }
    }
};

std::vector<uint8_t> sequence(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return bytes;
}

class KxusbDriver : public UsbLabTest {};

TEST_F(KxusbDriver, OpensOnlyTheModuleWithTheExactSerialString) {
    addDevice(kxModuleConfig("0000ABCD"));
    struct Case {
        const char* serial;
        aErr expected;
    } cases[] = {{"12345678", aErrNotFound},
                 {"0000ABC", aErrNotFound},
                 {"0000abcd", aErrNotFound},
                 {"0000ABCD", aErrNone}};
    for (const Case& c : cases) {
        Device usb(kxusbAccessLibusb);
        EXPECT_EQ(kxusb_open_kestrix_device(usb.d, c.serial), c.expected) << c.serial;
        EXPECT_EQ(kxusb_get_state(usb.d), c.expected == aErrNone ? usbStateReady : usbStateCreated);
    }
}

TEST_F(KxusbDriver, ProductIdsWithBit15SetAreNeverOpened) {
    addDevice(kxModuleConfig("0000ABCD", 0x8001));
    Device usb(kxusbAccessLibusb);
    EXPECT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNotFound);
    EXPECT_FALSE(is_kestrix_device(KESTRIX_VENDOR_ID, 0x8001));
    EXPECT_TRUE(is_kestrix_device(KESTRIX_VENDOR_ID, 0x7FFF));
    EXPECT_FALSE(is_kestrix_device(KESTRIX_VENDOR_ID + 1, 0x0013));
}

TEST_F(KxusbDriver, ADeviceWithoutTheLinkInterfaceIsAConfigurationError) {
    kxlab::DeviceConfig config = kxModuleConfig("0000ABCD");
    config.interfaceSubClass = 0x87;
    addDevice(config);
    Device usb(kxusbAccessLibusb);
    EXPECT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrConfiguration);
    EXPECT_EQ(kxusb_get_state(usb.d), usbStateClosed);
}

TEST_F(KxusbDriver, AModuleHeldByAnotherProcessIsBusy) {
    addDevice(kxModuleConfig("0000ABCD"));
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Holds the module until the parent closes its end.
        close(toParent[0]);
        close(toChild[1]);
        kxusb_device* usb = kxusb_create_usb(kxusbAccessLibusb);
        const uint8_t opened = static_cast<uint8_t>(kxusb_open_kestrix_device(usb, "0000ABCD"));
        (void)!write(toParent[1], &opened, 1);
        char ignored;
        (void)!read(toChild[0], &ignored, 1);
        _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);
    uint8_t childOpened = 0xFF;
    ASSERT_EQ(read(toParent[0], &childOpened, 1), 1);
    EXPECT_EQ(childOpened, aErrNone);
    {
        Device usb(kxusbAccessLibusb);
        EXPECT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrBusy);
        EXPECT_EQ(kxusb_get_state(usb.d), usbStateClosed);
    }
    close(toChild[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(toParent[0]);
    Device usb(kxusbAccessLibusb);
    EXPECT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone) << "released on exit";
}

TEST_F(KxusbDriver, WritesGoOutInChunksOfTheOutPacketSize) {
    struct Case {
        uint16_t packetSize;
        size_t length;
        std::vector<size_t> transfers;
    } cases[] = {
        {512, 1200, {511, 511, 178}},
        {512, 512, {511, 1}},
        {64, 150, {64, 64, 22}},
        {64, 30, {30}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string serial = "0000AB0" + std::to_string(n++);
        RecordingDevice& module = addDevice(kxModuleConfig(serial, 0x0013, c.packetSize));
        Device usb(kxusbAccessLibusb);
        ASSERT_EQ(kxusb_open_kestrix_device(usb.d, serial.c_str()), aErrNone);
        const std::vector<uint8_t> bytes = sequence(c.length);
        EXPECT_EQ(kxusb_write_to_device(usb.d, bytes.data(), bytes.size()), aErrNone);
        EXPECT_EQ(module.device.outTransfers(), c.transfers) << c.packetSize << " " << c.length;
        EXPECT_EQ(module.awaitReceived(bytes.size()), bytes);
    }
}

TEST_F(KxusbDriver, StallsAreClearedAndTenFailedTransfersEndAWrite) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    Device usb(kxusbAccessLibusb);
    ASSERT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone);
    const uint8_t packet[] = {0x04, 0x01, 0x55};

    module.device.failOut(kxlab::kStatusPipe, 2);
    EXPECT_EQ(kxusb_write_to_device(usb.d, packet, sizeof packet), aErrNone);
    EXPECT_EQ(module.device.clearedHalts(), 2u);
    EXPECT_EQ(module.awaitReceived(3), std::vector<uint8_t>(packet, packet + 3));

    module.device.failOut(kxlab::kStatusTimeout, 10);
    EXPECT_EQ(kxusb_write_to_device(usb.d, packet, sizeof packet), aErrWrite);
    EXPECT_EQ(kxusb_get_state(usb.d), usbStateReady);

    module.device.failIn(kxlab::kStatusPipe, 1);
    uint8_t byte;
    EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNotReady);
    EXPECT_EQ(module.device.clearedHalts(), 3u);
}

TEST_F(KxusbDriver, FourIoErrorsPassAndTheFifthFaultsTheDevice) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    Device usb(kxusbAccessLibusb);
    ASSERT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone);
    const uint8_t queued = 0x42;
    module.device.toHost(&queued, 1);
    module.device.failIn(kxlab::kStatusIo, 5);
    uint8_t byte = 0;
    for (int i = 0; i < 4; ++i) {
        // Tolerated, but no byte came: the caller must not take one.
        EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNotReady) << i;
    }
    EXPECT_EQ(kxusb_get_state(usb.d), usbStateReady);
    EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrIO);
    EXPECT_EQ(kxusb_get_state(usb.d), usbStateFaulted);
    for (int i = 0; i < 300; ++i) {  // the error count must not wrap back to tolerance
        ASSERT_EQ(kxusb_get_from_device(usb.d, &byte), aErrIO) << i;
    }
    EXPECT_EQ(kxusb_write_to_device(usb.d, &queued, 1), aErrIO);

    ASSERT_EQ(kxusb_close_kestrix_device(usb.d), aErrNone);
    EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrConnection);
    ASSERT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone);
    EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNone);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(KxusbDriver, AnErrorBetweenIoErrorsStartsTheCountAgain) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    Device usb(kxusbAccessLibusb);
    ASSERT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone);
    uint8_t byte;
    for (int round = 0; round < 3; ++round) {
        module.device.failIn(kxlab::kStatusIo, 4);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNotReady);
        }
        module.device.failIn(kxlab::kStatusPipe, 1);
        ASSERT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNotReady);
    }
    EXPECT_EQ(kxusb_get_state(usb.d), usbStateReady);
}

TEST_F(KxusbDriver, ReadsHandOutOneByteAtATimeThenWaitAboutASecond) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    Device usb(kxusbAccessLibusb);
    ASSERT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone);
    const uint8_t bytes[] = {0x04, 0x00, 0x04};
    module.device.toHost(bytes, sizeof bytes);
    for (uint8_t expected : bytes) {
        uint8_t byte = 0;
        ASSERT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNone);
        EXPECT_EQ(byte, expected);
    }
    const auto start = std::chrono::steady_clock::now();
    uint8_t byte;
    EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNotReady);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
}

TEST_F(KxusbDriver, UnpluggingFaultsTheDeviceAfterFourTolerances) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    Device usb(kxusbAccessLibusb);
    ASSERT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone);
    module.device.unplug();
    uint8_t byte;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrNotReady);
    }
    EXPECT_EQ(kxusb_get_from_device(usb.d, &byte), aErrIO);
    EXPECT_EQ(kxusb_get_state(usb.d), usbStateFaulted);
}

TEST_F(KxusbDriver, OperationsOfTheOtherAccessKindAreRefused) {
    Device node(kxusbAccessNode);
    Device usb(kxusbAccessLibusb);
    uint8_t byte = 0;
    EXPECT_EQ(kxusb_libusb_open(node.d, "0000ABCD"), aErrMode);
    EXPECT_EQ(kxusb_libusb_write(node.d, &byte, 1), aErrMode);
    EXPECT_EQ(kxusb_libusb_get(node.d, &byte), aErrMode);
    EXPECT_EQ(kxusb_libusb_close(node.d), aErrMode);
    EXPECT_EQ(kxusb_node_open(usb.d, "0000ABCD"), aErrMode);
    EXPECT_EQ(kxusb_node_write(usb.d, &byte, 1), aErrMode);
    EXPECT_EQ(kxusb_node_get(usb.d, &byte), aErrMode);
    EXPECT_EQ(kxusb_node_close(usb.d), aErrMode);
    EXPECT_EQ(kxusb_libusb_close(usb.d), aErrMode) << "no handle";
    EXPECT_EQ(kxusb_libusb_write(usb.d, &byte, 1), aErrNotReady) << "not opened yet";
    EXPECT_EQ(kxusb_node_open(node.d, "../0000ABCD"), aErrParam);

    kxusb_device* gone = kxusb_create_usb(kxusbAccessLibusb);
    ASSERT_EQ(kxusb_destroy(&gone), aErrNone);
    EXPECT_EQ(gone, nullptr);
    EXPECT_EQ(kxusb_destroy(&gone), aErrParam);
}

TEST_F(KxusbDriver, RefreshingTheContextSeesADeviceThatReenumerated) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    {
        Device usb(kxusbAccessLibusb);
        ASSERT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNone);
    }
    // As a module does when it restarts into its loader.
    ASSERT_TRUE(module.device.replugAs(kxModuleConfig("DEADDEAD")));
    Kestrix_libusb_exit();
    // The stand-in aborts when an ended context is used again.
    Device usb(kxusbAccessLibusb);
    EXPECT_EQ(kxusb_open_kestrix_device(usb.d, "0000ABCD"), aErrNotFound);
    EXPECT_EQ(kxusb_open_kestrix_device(usb.d, "DEADDEAD"), aErrNone);
}

// A pseudo-terminal standing in for the kernel driver's node of one module.
class KernelNode {
  public:
    explicit KernelNode(const std::string& directory, const std::string& serial) {
        char name[256];
        EXPECT_EQ(openpty(&module_, &slave_, name, nullptr, nullptr), 0);
        termios raw;
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        path_ = directory + "/kestrix." + serial;
        EXPECT_EQ(symlink(name, path_.c_str()), 0);
    }
    ~KernelNode() {
        unlink(path_.c_str());
        close(slave_);
        close(module_);
    }
    int module() const { return module_; }

  private:
    int module_ = -1;
    int slave_ = -1;
    std::string path_;
};

TEST_F(KxusbDriver, TheKernelNodeTakesPrecedenceOverLibusb) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    const std::string nodes = lab() + "/nodes";
    std::filesystem::create_directories(nodes);
    EXPECT_FALSE(kxusb_is_kernel_driver_installed_in(nodes.c_str(), 0xABCD));
    KernelNode node(nodes, "0000ABCD");
    EXPECT_TRUE(kxusb_is_kernel_driver_installed_in(nodes.c_str(), 0xABCD));

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSBWithNodeDirectory(nodes.c_str(), 0xABCD, &stream), aErrNone);
    const uint8_t out[] = {0xAD, 0x00, 0xAF, 0x01, 0x01};
    ASSERT_EQ(aStream_Write(stream, out, sizeof out), aErrNone);
    uint8_t seen[sizeof out] = {};
    size_t got = 0;
    while (got < sizeof seen) {
        const ssize_t n = read(node.module(), seen + got, sizeof seen - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::vector<uint8_t>(seen, seen + got), std::vector<uint8_t>(out, out + sizeof out));

    const uint8_t in[] = {0x04, 0x00};
    ASSERT_EQ(write(node.module(), in, sizeof in), 2);
    uint8_t back[2] = {};
    ASSERT_EQ(aStream_Read(stream, back, 2), aErrNone);
    EXPECT_EQ(back[0], 0x04);
    EXPECT_EQ(back[1], 0x00);
    EXPECT_EQ(aStream_Read(stream, back, 1), aErrNotReady) << "a silent node is not an error";
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(module.device.connections(), 0u) << "libusb was never asked";
}

TEST_F(KxusbDriver, TheUsbStreamOpensByLibusbWithoutANode) {
    RecordingDevice& module = addDevice(kxModuleConfig("0000ABCD"));
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0x1234, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0x1234, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);

    ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);
    const uint8_t one = 0xAD;
    ASSERT_EQ(aStream_Write(stream, &one, 1), aErrNone);
    EXPECT_EQ(module.awaitReceived(1), std::vector<uint8_t>{0xAD});
    const uint8_t reply[] = {0x04, 0x00};
    module.device.toHost(reply, sizeof reply);
    uint8_t back[2];
    ASSERT_EQ(aStream_Read(stream, back, 2), aErrNone);
    EXPECT_EQ(back[0], 0x04);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
}

}  // namespace
