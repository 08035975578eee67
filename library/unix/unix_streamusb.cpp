#include "unix_streamusb.h"

#include <cstdio>
#include <new>

#include "kxusb_driver.h"

namespace {

constexpr uint16_t aUSBSTREAMCHECK = 0xDEAD;

struct UsbStreamContext {
    uint16_t check = aUSBSTREAMCHECK;
    uint32_t serialNumber;
    kxusb_device* device;
};

UsbStreamContext* sContext(void* context) {
    auto ctx = static_cast<UsbStreamContext*>(context);
    return ctx != nullptr && ctx->check == aUSBSTREAMCHECK ? ctx : nullptr;
}

aErr sGet(uint8_t* byte, void* context) {
    UsbStreamContext* ctx = sContext(context);
    return ctx != nullptr ? kxusb_get_from_device(ctx->device, byte) : aErrParam;
}

aErr sPut(uint8_t byte, void* context) {
    UsbStreamContext* ctx = sContext(context);
    return ctx != nullptr ? kxusb_write_to_device(ctx->device, &byte, 1) : aErrParam;
}

aErr sWrite(const uint8_t* bytes, size_t length, void* context) {
    UsbStreamContext* ctx = sContext(context);
    return ctx != nullptr ? kxusb_write_to_device(ctx->device, bytes, length) : aErrParam;
}

aErr sDelete(void* context) {
    UsbStreamContext* ctx = sContext(context);
    if (ctx == nullptr) {
        return aErrParam;
    }
    kxusb_close_kestrix_device(ctx->device);
    const aErr result = kxusb_destroy(&ctx->device);
    ctx->check = 0;
    delete ctx;
    return result;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
    return aStream_CreateUSBWithNodeDirectory(KXUSB_NODE_DIRECTORY, serialNumber, stream);
}

aErr aStream_CreateUSBWithNodeDirectory(const char* nodeDirectory, uint32_t serialNumber,
                                        aStream** stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    if (serialNumber == 0 || nodeDirectory == nullptr) {
        return aErrParam;
    }
    const kxusbAccessKind kind = kxusb_is_kernel_driver_installed_in(nodeDirectory, serialNumber)
                                     ? kxusbAccessNode
                                     : kxusbAccessLibusb;
    kxusb_device* device = kxusb_create_usb_in(kind, nodeDirectory);
    if (device == nullptr) {
        return aErrResource;
    }
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", serialNumber);
    if (aErr opened = kxusb_open_kestrix_device(device, serial); opened != aErrNone) {
        kxusb_destroy(&device);
        return opened;
    }
    auto ctx = new (std::nothrow) UsbStreamContext{aUSBSTREAMCHECK, serialNumber, device};
    if (ctx != nullptr) {
        *stream = aStream_Create(sGet, sPut, sWrite, sDelete, ctx);
        if (*stream != nullptr) {
            return aErrNone;
        }
        delete ctx;
    }
    kxusb_close_kestrix_device(device);
    kxusb_destroy(&device);
    return aErrMemory;
}
