// The USB lab: how the test-only libusb stand-in (tests/fakes) reaches the simulated USB
// devices that kestrix-sim, or a test, serves.
//
// Each plugged-in device is one Unix socket "<name>.usb" in the lab directory, which the
// stand-in alone finds through the environment variable KX_FAKE_USB_DIR. The socket is
// SOCK_SEQPACKET: every message is one request or one reply, in the host's byte order
// (both ends run on the same machine). On each connection the client sends a request and
// waits for its reply before the next; a device handle keeps one connection for IN
// transfers and one for everything else, so a reader and a writer thread never wait on
// each other. Unplugging removes the socket and drops every connection: a client that
// finds its connection closed sees the device as gone.
//
// Claiming the interface is the client's business: it holds an exclusive flock on
// "<name>.claim" in the same directory, so a second process claiming the device is told
// it is busy, and a crashed one releases it.
#ifndef KESTRIX_SIM_USB_LAB_PROTOCOL_H
#define KESTRIX_SIM_USB_LAB_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace kxlab {

inline constexpr const char* kDirectoryVariable = "KX_FAKE_USB_DIR";
inline constexpr const char* kSocketSuffix = ".usb";
inline constexpr const char* kClaimSuffix = ".claim";

// Largest data part of one message (an IN or OUT transfer).
inline constexpr uint32_t kMaxTransfer = 65536;

// The endpoints every simulated device has.
inline constexpr uint8_t kInEndpoint = 0x81;
inline constexpr uint8_t kOutEndpoint = 0x01;

enum Op : uint32_t {
    kOpDescribe = 1,   // reply data: one DeviceDescription
    kOpBulkOut = 2,    // request data: the bytes; reply length: the bytes taken
    kOpBulkIn = 3,     // request length: at most this many; reply data: the bytes
    kOpClearHalt = 4,  // request endpoint: the endpoint to clear
};

// Transfer results, numerically the libusb error codes the stand-in hands on.
enum Status : int32_t {
    kStatusSuccess = 0,
    kStatusIo = -1,
    kStatusNoDevice = -4,
    kStatusNotFound = -5,  // no such endpoint
    kStatusTimeout = -7,
    kStatusPipe = -9,  // a stalled endpoint
};

#pragma pack(push, 1)
struct Request {
    uint32_t op;
    uint32_t endpoint;
    uint32_t length;     // OUT: bytes that follow; IN: most bytes wanted
    uint32_t timeoutMs;  // 0: wait as long as it takes
};

struct Reply {
    int32_t status;
    uint32_t length;  // data bytes that follow (IN, describe) or bytes taken (OUT)
};

inline constexpr size_t kMaxSerial = 64;

// What enumeration learns about a device: its descriptors, reduced to what differs from
// one simulated device to the next.
struct DeviceDescription {
    uint16_t vendorId;
    uint16_t productId;
    uint16_t bcdDevice;
    uint8_t interfaceClass;
    uint8_t interfaceSubClass;
    uint8_t interfaceProtocol;
    uint8_t interfaceNumber;
    uint8_t inEndpoint;  // with bit 7 set
    uint8_t outEndpoint;
    uint8_t endpointAttributes;  // 2 bulk, 3 interrupt
    uint8_t serialLength;        // characters used in serial
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
    char serial[kMaxSerial];  // the serial-number string, not zero-terminated
};
#pragma pack(pop)

static_assert(sizeof(Request) == 16);
static_assert(sizeof(Reply) == 8);
static_assert(sizeof(DeviceDescription) == 82);
static_assert(offsetof(DeviceDescription, inMaxPacket) == 14);
static_assert(offsetof(DeviceDescription, serial) == 18);

}  // namespace kxlab

#endif
