// The USB transport of the modules: recognises modules among USB devices, opens one by
// its serial number and moves raw link bytes to and from it. A module is reached either
// through the device node its kernel driver creates ("kestrix.%08X" in the node
// directory) or directly with libusb bulk transfers over its link interface.
#ifndef KESTRIX_KXUSB_DRIVER_H
#define KESTRIX_KXUSB_DRIVER_H

#include "aError.h"

KX_EXTERN_C_BEGIN

// The USB vendor id of the modules' maker. Defined here once: enumeration, opening and
// the udev rules of the packaging all use this value.
#define KESTRIX_VENDOR_ID 0x3E1F

// Product ids with this bit set belong to the same vendor but carry no link interface.
#define KXUSB_NON_LINK_PRODUCT_BIT 0x8000

// The link interface: vendor specific class, with this subclass and protocol.
#define KXUSB_LINK_INTERFACE_CLASS 255
#define KXUSB_LINK_INTERFACE_SUBCLASS 0x88
#define KXUSB_LINK_INTERFACE_PROTOCOL 0x10

// Where the kernel driver creates its nodes.
#define KXUSB_NODE_DIRECTORY "/dev"

// Longest serial string an open takes.
#define KXUSB_MAX_SERIAL_STRING 256

// Bytes fetched by one IN transfer and handed out one per get.
#define KXUSB_RECEIVE_BUFFER_SIZE 1024
// How long one get waits for the module before it answers aErrNotReady.
#define KXUSB_READ_TIMEOUT_MS 1000
// How long one OUT transfer may take.
#define KXUSB_WRITE_TIMEOUT_MS 50
// Failed OUT transfers after which a write gives up.
#define KXUSB_WRITE_MAX_FAILURES 10
// Consecutive I/O errors that pass as harmless; the next one faults the device.
#define KXUSB_TOLERATED_IO_ERRORS 4

typedef enum {
    kxusbAccessNode = 0,    // the kernel driver's device node
    kxusbAccessLibusb = 1,  // libusb bulk transfers
} kxusbAccessKind;

typedef enum {
    usbStateCreated = 1,
    usbStateClosed = 2,
    usbStateOpened = 3,  // libusb: handle open, interface not yet claimed
    usbStateReady = 4,
    usbStateFaulted = 5,  // five I/O errors in a row; fails until closed and opened again
} kxusbState;

// One open (or openable) module. One thread may get while another writes.
typedef struct kxusb_device kxusb_device;

// True for a device of the maker's vendor id whose product id has bit 15 clear.
bool is_kestrix_device(uint16_t vendorId, uint16_t productId);

// True when the kernel driver serves the module: "/dev/kestrix.%08X" exists.
bool kxusb_is_kernel_driver_installed(uint32_t serialNumber);
// The same test for nodes kept in nodeDirectory.
bool kxusb_is_kernel_driver_installed_in(const char* nodeDirectory, uint32_t serialNumber);

// A new device object of the given access kind in state usbStateCreated; the libusb kind
// makes sure the shared libusb context exists. Null when memory is exhausted or the kind
// is unknown.
kxusb_device* kxusb_create_usb(kxusbAccessKind kind);
// The same, with the node path opening its node in nodeDirectory instead of "/dev".
kxusb_device* kxusb_create_usb_in(kxusbAccessKind kind, const char* nodeDirectory);
// Closes a still-open device, frees it and clears *device. aErrParam for no device.
aErr kxusb_destroy(kxusb_device** device);

// The device's current state; usbStateClosed for an invalid device.
kxusbState kxusb_get_state(const kxusb_device* device);

// The operations below dispatch on the access kind. Each answers aErrParam for an
// invalid device or argument.

// Opens the module whose serial string is serial ("%08X" of its serial number).
aErr kxusb_open_kestrix_device(kxusb_device* device, const char* serial);
// Writes length bytes to the module.
aErr kxusb_write_to_device(kxusb_device* device, const uint8_t* bytes, size_t length);
// Hands out the next byte from the module. aErrNotReady when no byte came within about a
// second (or a tolerated error left none).
aErr kxusb_get_from_device(kxusb_device* device, uint8_t* byte);
// Closes the module; the object can be opened again.
aErr kxusb_close_kestrix_device(kxusb_device* device);

// The libusb path. Each answers aErrMode for a device of the node kind.
//
// Open: the first module whose serial string equals serial, its link interface claimed.
// aErrNotFound when no module reports it, aErrBusy when another process holds it,
// aErrPermission when access is denied, aErrConfiguration without both link endpoints,
// aErrUnknown for other claim failures.
aErr kxusb_libusb_open(kxusb_device* device, const char* serial);
// Write: in chunks of the OUT packet size (a 512-byte chunk goes as 511). aErrWrite when
// bytes are left after 10 failed transfers; aErrConnection when closed, aErrNotReady
// before the open completed, aErrIO when faulted.
aErr kxusb_libusb_write(kxusb_device* device, const uint8_t* bytes, size_t length);
// Get: one byte per call from an IN transfer of up to 1024 bytes waited for 1 s.
// aErrNotReady when nothing came (or a stall was cleared, or an I/O error was tolerated);
// aErrIO from the fifth I/O error in a row on (the device is then faulted); aErrConnection
// when closed.
aErr kxusb_libusb_get(kxusb_device* device, uint8_t* byte);
// Close: releases the interface and the handle. aErrMode when there is no handle.
aErr kxusb_libusb_close(kxusb_device* device);

// The kernel-node path. Each answers aErrMode for a device of the libusb kind, and the
// operations on a device without an open node answer aErrConnection.
//
// Open: opens "kestrix.<serial>" in the node directory read-write. aErrBusy when the
// driver reports the node busy, aErrIO for other failures.
aErr kxusb_node_open(kxusb_device* device, const char* serial);
// Write: the whole block, in at most 1000 write calls; aErrIO otherwise.
aErr kxusb_node_write(kxusb_device* device, const uint8_t* bytes, size_t length);
// Get: one byte, waited for up to 1 s; aErrNotReady when none, aErrIO on failure.
aErr kxusb_node_get(kxusb_device* device, uint8_t* byte);
// Close: closes the node; aErrCancel when the close fails.
aErr kxusb_node_close(kxusb_device* device);

KX_EXTERN_C_END

#endif
