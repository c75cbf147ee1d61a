#include "cvusb_driver.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "Corvantis_libusb_context.h"
#include "aDebug.h"

#define CVUSB_VALID 0xC05B
#define CVUSB_SERIAL_TEXT 32
#define CVUSB_NODE_PATH 4096

struct cvusb_handle {
    uint16_t check;
    int mode;
    char serial[CVUSB_SERIAL_TEXT];
    int fd;
    libusb_device_handle *device;
    // Shared by the reading and the writing thread of a link.
    std::atomic<int> state;
    std::atomic<unsigned> errorCount;
    int interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint16_t outMaxPacket;
    uint16_t inMaxPacket;
    // Touched by the reading thread only.
    uint8_t buffer[CVUSB_RECEIVE_BUFFER];
    size_t position;
    size_t count;
};

static std::mutex sNodeDirMutex;
static char sNodeDir[CVUSB_NODE_PATH] = "/dev";

static bool sValid(cvusbRef handle) {
    return handle && handle->check == CVUSB_VALID;
}

static bool sNodePath(const char *serial, char *path, size_t size) {
    std::lock_guard<std::mutex> hold(sNodeDirMutex);
    int length = snprintf(path, size, "%s/corvantis.%s", sNodeDir, serial);
    return length > 0 && (size_t)length < size;
}

void cvusb_set_kernel_node_dir(const char *folder) {
    std::lock_guard<std::mutex> hold(sNodeDirMutex);
    snprintf(sNodeDir, sizeof(sNodeDir), "%s", folder ? folder : "/dev");
}

bool is_corvantis_device(libusb_device *device) {
    struct libusb_device_descriptor descriptor;
    if (!device || Corvantis_libusb()->get_device_descriptor(device, &descriptor) != 0)
        return false;
    return descriptor.idVendor == kCorvantisVendorId && descriptor.idProduct < 0x8000;
}

libusb_device_handle *cvusb_open_with_serial(libusb_device *device,
                                             struct libusb_device_descriptor *descriptor,
                                             unsigned char *text, int capacity, int *length) {
    *length = -1;
    if (!is_corvantis_device(device))
        return nullptr;
    const Corvantis_libusb_ops *usb = Corvantis_libusb();
    libusb_device_handle *opened = nullptr;
    if (usb->open(device, &opened) != 0 || !opened)
        return nullptr;
    if (usb->get_device_descriptor(device, descriptor) == 0 && descriptor->iSerialNumber)
        *length =
            usb->get_string_descriptor_ascii(opened, descriptor->iSerialNumber, text, capacity);
    return opened;
}

bool cvusb_is_kernel_driver_installed(uint32_t serial) {
    char text[CVUSB_SERIAL_TEXT];
    char path[CVUSB_NODE_PATH];
    snprintf(text, sizeof(text), "%08X", serial);
    struct stat info;
    return sNodePath(text, path, sizeof(path)) && stat(path, &info) == 0;
}

cvusbRef cvusb_create_usb(int mode) {
    if (mode != kCvusbModeKernel && mode != kCvusbModeLibusb)
        return nullptr;
    cvusbRef handle = new (std::nothrow) cvusb_handle();
    if (!handle)
        return nullptr;
    handle->check = CVUSB_VALID;
    handle->mode = mode;
    handle->fd = -1;
    handle->device = nullptr;
    handle->state = kCvusbStateCreated;
    handle->errorCount = 0;
    if (mode == kCvusbModeLibusb)
        Corvantis_libusb_init();
    return handle;
}

int cvusb_get_state(cvusbRef handle) {
    return sValid(handle) ? handle->state.load() : 0;
}

bool cvusb_get_endpoints(cvusbRef handle, int *interfaceNumber, uint8_t *outEndpoint,
                         uint8_t *inEndpoint, uint16_t *outMaxPacket, uint16_t *inMaxPacket) {
    if (!sValid(handle))
        return false;
    if (interfaceNumber)
        *interfaceNumber = handle->interfaceNumber;
    if (outEndpoint)
        *outEndpoint = handle->outEndpoint;
    if (inEndpoint)
        *inEndpoint = handle->inEndpoint;
    if (outMaxPacket)
        *outMaxPacket = handle->outMaxPacket;
    if (inMaxPacket)
        *inMaxPacket = handle->inMaxPacket;
    return true;
}

static void sClearEndpoints(cvusbRef handle) {
    handle->interfaceNumber = -1;
    handle->outEndpoint = 0;
    handle->inEndpoint = 0;
    handle->outMaxPacket = 0;
    handle->inMaxPacket = 0;
}

aErr _handleErrorTolerance(cvusbRef handle, aErr result) {
    if (!sValid(handle))
        return result;
    if (result != aErrIO) {
        handle->errorCount = 0;
        return result;
    }
    // A failed handle stays failed, even when a transfer of the other direction that was
    // already under way succeeded and reset the count meanwhile.
    if (handle->state == kCvusbStateFailed)
        return aErrIO;
    unsigned before = handle->errorCount.fetch_add(1);
    if (before < CVUSB_TOLERATED_ERRORS)
        return aErrNone;
    handle->state = kCvusbStateFailed;
    return aErrIO;
}

aErr find_usb_endpoints(cvusbRef handle) {
    if (!sValid(handle) || !handle->device)
        return aErrParam;
    const Corvantis_libusb_ops *usb = Corvantis_libusb();
    libusb_device *device = usb->get_device(handle->device);
    struct libusb_device_descriptor descriptor;
    struct libusb_config_descriptor *config = nullptr;
    if (!device || usb->get_device_descriptor(device, &descriptor) != 0 ||
        usb->get_config_descriptor(device, 0, &config) != 0 || !config)
        return aErrConfiguration;

    sClearEndpoints(handle);
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const struct libusb_interface *interface = &config->interface[i];
        for (int a = 0; a < interface->num_altsetting; ++a) {
            const struct libusb_interface_descriptor *setting = &interface->altsetting[a];
            if (setting->bInterfaceClass != kCorvantisInterfaceClass ||
                setting->bInterfaceSubClass != kCorvantisInterfaceSubClass ||
                setting->bInterfaceProtocol != kCorvantisInterfaceProtocol)
                continue;
            handle->interfaceNumber = setting->bInterfaceNumber;
            for (int e = 0; e < setting->bNumEndpoints; ++e) {
                const struct libusb_endpoint_descriptor *endpoint = &setting->endpoint[e];
                // Bit 1 of the attributes: bulk or interrupt.
                if (!(endpoint->bmAttributes & 0x02))
                    continue;
                if (endpoint->bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    handle->inEndpoint = endpoint->bEndpointAddress;
                    handle->inMaxPacket = endpoint->wMaxPacketSize;
                } else {
                    handle->outEndpoint = endpoint->bEndpointAddress;
                    handle->outMaxPacket = endpoint->wMaxPacketSize;
                }
            }
        }
    }
    usb->free_config_descriptor(config);
    aDEBUG_TRACE(aDEBUG_USB, "find_usb_endpoints: interface %d out 0x%02X (%d) in 0x%02X (%d)\n",
                 handle->interfaceNumber, handle->outEndpoint, handle->outMaxPacket,
                 handle->inEndpoint, handle->inMaxPacket);
    if (handle->interfaceNumber < 0 || !handle->outEndpoint || !handle->inEndpoint)
        return aErrConfiguration;
    return aErrNone;
}

aErr cvusb_open_corvantis_USBlib_device(cvusbRef handle, const char *serial) {
    if (!sValid(handle) || !serial)
        return aErrParam;
    if (handle->mode != kCvusbModeLibusb)
        return aErrMode;
    int state = handle->state;
    if (state != kCvusbStateCreated && state != kCvusbStateClosed)
        return aErrBusy;

    const Corvantis_libusb_ops *usb = Corvantis_libusb();
    aErr result = aErrNotFound;
    libusb_context *context = Corvantis_libusb_context();
    libusb_device **list = nullptr;
    ssize_t count = context ? usb->get_device_list(context, &list) : -1;
    for (ssize_t i = 0; i < count; ++i) {
        struct libusb_device_descriptor descriptor;
        unsigned char text[256];
        int length = -1;
        libusb_device_handle *opened =
            cvusb_open_with_serial(list[i], &descriptor, text, sizeof(text) - 1, &length);
        if (!opened)
            continue;
        if (length < 0 || strlen(serial) != (size_t)length ||
            memcmp(text, serial, (size_t)length) != 0) {
            usb->close(opened);
            continue;
        }

        snprintf(handle->serial, sizeof(handle->serial), "%s", serial);
        handle->device = opened;
        handle->state = kCvusbStateOpening;
        result = find_usb_endpoints(handle);
        if (result == aErrNone) {
            int claim = usb->claim_interface(opened, handle->interfaceNumber);
            if (claim == LIBUSB_SUCCESS) {
                handle->position = 0;
                handle->count = 0;
                handle->errorCount = 0;
                handle->state = kCvusbStateOpen;
            } else if (claim == LIBUSB_ERROR_BUSY || claim == LIBUSB_ERROR_NO_DEVICE) {
                result = aErrBusy;
            } else if (claim == LIBUSB_ERROR_ACCESS) {
                result = aErrPermission;
            } else {
                result = aErrUnknown;
            }
        }
        if (result != aErrNone) {
            handle->device = nullptr;
            usb->close(opened);
            sClearEndpoints(handle);
        }
        break;
    }
    if (list)
        usb->free_device_list(list, 1);
    if (result != aErrNone)
        handle->state = kCvusbStateClosed;
    aDEBUG_TRACE(aDEBUG_USB, "cvusb_open_corvantis_USBlib_device(%s) ==> %d\n", serial, result);
    return result;
}

// The result of a transfer attempt when the device is not open for transfers.
static aErr sStateResult(int state) {
    switch (state) {
    case kCvusbStateClosed:
        return aErrConnection;
    case kCvusbStateCreated:
    case kCvusbStateOpening:
        return aErrNotReady;
    default:
        return aErrIO;
    }
}

aErr cvusb_write_to_USBlib_device(cvusbRef handle, const uint8_t *bytes, size_t length) {
    if (!sValid(handle) || (!bytes && length))
        return aErrParam;
    if (handle->mode != kCvusbModeLibusb)
        return aErrMode;
    int state = handle->state;
    if (state != kCvusbStateOpen)
        return _handleErrorTolerance(handle, sStateResult(state));

    const Corvantis_libusb_ops *usb = Corvantis_libusb();
    aErr result = aErrNone;
    size_t sent = 0;
    int failures = 0;
    while (sent < length && failures < CVUSB_WRITE_ATTEMPTS) {
        size_t chunk = length - sent;
        if (handle->outMaxPacket && chunk > handle->outMaxPacket)
            chunk = handle->outMaxPacket;
        // A transfer of exactly 512 bytes would need a zero-length packet to end it.
        if (chunk == 512)
            chunk = 511;
        int transferred = 0;
        int rc = usb->bulk_transfer(handle->device, handle->outEndpoint,
                                    const_cast<unsigned char *>(bytes + sent), (int)chunk,
                                    &transferred, CVUSB_WRITE_TIMEOUT_MS);
        // Bytes that went out before a time-out are not sent again.
        if (transferred > 0)
            sent += (size_t)transferred > chunk ? chunk : (size_t)transferred;
        if (rc == LIBUSB_SUCCESS && transferred > 0)
            continue;
        ++failures;
        aDEBUG_TRACE(aDEBUG_USB, "cvusb_write_to_USBlib_device: transfer failed %d (%d)\n", rc,
                     failures);
        if (rc == LIBUSB_ERROR_PIPE && usb->clear_halt(handle->device, handle->outEndpoint) != 0)
            result = aErrIO;
    }
    if (sent < length)
        result = aErrWrite;
    return _handleErrorTolerance(handle, result);
}

aErr cvusb_get_from_USBlib_device(cvusbRef handle, uint8_t *byte) {
    if (!sValid(handle) || !byte)
        return aErrParam;
    if (handle->mode != kCvusbModeLibusb)
        return aErrMode;

    aErr result = aErrNone;
    int state = handle->state;
    if (state == kCvusbStateFailed) {
        result = aErrIO;
    } else if (handle->count == 0) {
        if (state != kCvusbStateOpen) {
            result = sStateResult(state);
        } else {
            const Corvantis_libusb_ops *usb = Corvantis_libusb();
            int transferred = 0;
            int rc = usb->bulk_transfer(handle->device, handle->inEndpoint, handle->buffer,
                                        CVUSB_RECEIVE_BUFFER, &transferred, CVUSB_READ_TIMEOUT_MS);
            if (transferred > CVUSB_RECEIVE_BUFFER)
                transferred = CVUSB_RECEIVE_BUFFER;
            if (rc == LIBUSB_SUCCESS || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)) {
                handle->position = 0;
                handle->count = transferred > 0 ? (size_t)transferred : 0;
            } else if (rc == LIBUSB_ERROR_PIPE) {
                usb->clear_halt(handle->device, handle->inEndpoint);
                result = aErrNotReady;
            } else if (rc == LIBUSB_ERROR_TIMEOUT) {
                result = aErrNotReady;
            } else {
                aDEBUG_TRACE(aDEBUG_USB, "cvusb_get_from_USBlib_device: transfer failed %d\n", rc);
                result = aErrIO;
            }
        }
    }

    bool delivered = false;
    if (result == aErrNone && handle->count > 0) {
        *byte = handle->buffer[handle->position++];
        --handle->count;
        delivered = true;
    }
    result = _handleErrorTolerance(handle, result);
    // A tolerated error or an empty transfer brings no byte; the stream above needs a byte
    // or aErrNotReady to keep its framing.
    if (result == aErrNone && !delivered)
        result = aErrNotReady;
    return result;
}

aErr cvusb_close_USBlib_device(cvusbRef handle) {
    if (!sValid(handle))
        return aErrParam;
    if (handle->mode != kCvusbModeLibusb || !handle->device)
        return aErrMode;
    const Corvantis_libusb_ops *usb = Corvantis_libusb();
    if (handle->interfaceNumber >= 0)
        usb->release_interface(handle->device, handle->interfaceNumber);
    usb->close(handle->device);
    handle->device = nullptr;
    sClearEndpoints(handle);
    handle->position = 0;
    handle->count = 0;
    handle->state = kCvusbStateClosed;
    return aErrNone;
}

aErr cvusb_open_corvantis_kernel_device(cvusbRef handle, const char *serial) {
    if (!sValid(handle) || !serial)
        return aErrParam;
    if (handle->mode != kCvusbModeKernel)
        return aErrMode;
    if (handle->fd >= 0)
        return aErrBusy;
    char path[CVUSB_NODE_PATH];
    aErr result = aErrNone;
    if (!sNodePath(serial, path, sizeof(path))) {
        result = aErrIO;
    } else {
        handle->fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (handle->fd < 0)
            result = errno == EBUSY ? aErrBusy : aErrIO;
    }
    if (result == aErrNone) {
        snprintf(handle->serial, sizeof(handle->serial), "%s", serial);
        handle->state = kCvusbStateOpen;
    } else {
        handle->state = kCvusbStateClosed;
    }
    return result;
}

aErr cvusb_write_to_kernel_device(cvusbRef handle, const uint8_t *bytes, size_t length) {
    if (!sValid(handle) || (!bytes && length))
        return aErrParam;
    if (handle->mode != kCvusbModeKernel)
        return aErrMode;
    if (handle->fd < 0)
        return aErrConnection;
    size_t sent = 0;
    for (int calls = 0; sent < length && calls < 1000; ++calls) {
        ssize_t written = write(handle->fd, bytes + sent, length - sent);
        if (written < 0)
            return aErrIO;
        sent += (size_t)written;
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr cvusb_get_from_kernel_device(cvusbRef handle, uint8_t *byte) {
    if (!sValid(handle) || !byte)
        return aErrParam;
    if (handle->mode != kCvusbModeKernel)
        return aErrMode;
    if (handle->fd < 0)
        return aErrConnection;
    ssize_t got = read(handle->fd, byte, 1);
    if (got == 1)
        return aErrNone;
    // The driver reports "no byte ready" by reading nothing or by the bad-address error.
    if (got == 0 || errno == EFAULT || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr cvusb_close_kernel_device(cvusbRef handle) {
    if (!sValid(handle))
        return aErrParam;
    if (handle->mode != kCvusbModeKernel || handle->fd < 0)
        return aErrMode;
    int rc = close(handle->fd);
    handle->fd = -1;
    handle->state = kCvusbStateClosed;
    return rc == 0 ? aErrNone : aErrCancel;
}

aErr cvusb_open_corvantis_device(cvusbRef handle, const char *serial) {
    if (!sValid(handle))
        return aErrParam;
    return handle->mode == kCvusbModeLibusb ? cvusb_open_corvantis_USBlib_device(handle, serial)
                                            : cvusb_open_corvantis_kernel_device(handle, serial);
}

aErr cvusb_write_to_device(cvusbRef handle, const uint8_t *bytes, size_t length) {
    if (!sValid(handle))
        return aErrParam;
    return handle->mode == kCvusbModeLibusb ? cvusb_write_to_USBlib_device(handle, bytes, length)
                                            : cvusb_write_to_kernel_device(handle, bytes, length);
}

aErr cvusb_get_from_device(cvusbRef handle, uint8_t *byte) {
    if (!sValid(handle))
        return aErrParam;
    return handle->mode == kCvusbModeLibusb ? cvusb_get_from_USBlib_device(handle, byte)
                                            : cvusb_get_from_kernel_device(handle, byte);
}

aErr cvusb_close_corvantis_device(cvusbRef handle) {
    if (!sValid(handle))
        return aErrParam;
    return handle->mode == kCvusbModeLibusb ? cvusb_close_USBlib_device(handle)
                                            : cvusb_close_kernel_device(handle);
}

aErr cvusb_destroy(cvusbRef *handle) {
    if (!handle || !sValid(*handle))
        return aErrParam;
    cvusbRef self = *handle;
    if (self->mode == kCvusbModeLibusb && self->device)
        cvusb_close_USBlib_device(self);
    // A node left open would leak its descriptor.
    if (self->mode == kCvusbModeKernel && self->fd >= 0)
        cvusb_close_kernel_device(self);
    self->check = 0;
    delete self;
    *handle = nullptr;
    return aErrNone;
}
