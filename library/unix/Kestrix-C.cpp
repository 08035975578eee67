#include "Kestrix-C.h"

#include <libusb.h>

#include <mutex>

namespace {

std::mutex sContextMutex;
libusb_context* sContext = nullptr;  // guarded by sContextMutex

}  // namespace

libusb_context* Kestrix_libusb_context(void) {
    std::lock_guard<std::mutex> hold(sContextMutex);
    if (sContext == nullptr && libusb_init(&sContext) != LIBUSB_SUCCESS) {
        sContext = nullptr;
    }
    return sContext;
}

libusb_context* Kestrix_libusb_init(void) {
    return Kestrix_libusb_context();
}

void Kestrix_libusb_exit(void) {
    std::lock_guard<std::mutex> hold(sContextMutex);
    if (sContext != nullptr) {
        libusb_exit(sContext);
        sContext = nullptr;
    }
}
