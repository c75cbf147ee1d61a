#include "Corvantis_libusb_context.h"

#include <atomic>
#include <mutex>

static const Corvantis_libusb_ops sRealOps = {
    libusb_init,
    libusb_exit,
    libusb_get_device_list,
    libusb_free_device_list,
    libusb_get_device_descriptor,
    libusb_open,
    libusb_close,
    libusb_get_device,
    libusb_get_string_descriptor_ascii,
    libusb_get_config_descriptor,
    libusb_free_config_descriptor,
    libusb_claim_interface,
    libusb_release_interface,
    libusb_bulk_transfer,
    libusb_clear_halt,
};

static std::atomic<const Corvantis_libusb_ops *> sOps{&sRealOps};
static std::mutex sContextMutex;
static libusb_context *sContext = nullptr;

const Corvantis_libusb_ops *Corvantis_libusb() {
    return sOps.load();
}

void Corvantis_libusb_set_ops(const Corvantis_libusb_ops *ops) {
    std::lock_guard<std::mutex> hold(sContextMutex);
    if (sContext) {
        sOps.load()->exit(sContext);
        sContext = nullptr;
    }
    sOps.store(ops ? ops : &sRealOps);
}

libusb_context *Corvantis_libusb_context() {
    std::lock_guard<std::mutex> hold(sContextMutex);
    if (!sContext) {
        libusb_context *context = nullptr;
        if (sOps.load()->init(&context) == LIBUSB_SUCCESS)
            sContext = context;
    }
    return sContext;
}

void Corvantis_libusb_init() {
    (void)Corvantis_libusb_context();
}

void Corvantis_libusb_exit() {
    std::lock_guard<std::mutex> hold(sContextMutex);
    if (sContext) {
        sOps.load()->exit(sContext);
        sContext = nullptr;
    }
}
