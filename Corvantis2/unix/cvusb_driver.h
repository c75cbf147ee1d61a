// USB transport to Corvantis modules, under the USB stream. Two paths: the USB library path
// (bulk transfers on the module's vendor interface, through the shared libusb context) and
// the kernel-driver path (a character device node per module, "/dev/corvantis.%08X").
#ifndef _cvusb_driver_H_
#define _cvusb_driver_H_

#include <cstddef>
#include <cstdint>
#include <libusb.h>

#include "aError.h"

// USB vendor identifier of the module family, fixed at build time.
static constexpr uint16_t kCorvantisVendorId = CORVANTIS_VENDOR_ID;

// The vendor interface of a module: class, subclass and protocol.
static constexpr uint8_t kCorvantisInterfaceClass = 0xFF;
static constexpr uint8_t kCorvantisInterfaceSubClass = 0x88;
static constexpr uint8_t kCorvantisInterfaceProtocol = 0x10;

typedef enum {
    kCvusbModeKernel = 0, // kernel-driver node
    kCvusbModeLibusb = 1, // USB library
} cvusbMode;

typedef enum {
    kCvusbStateCreated = 1, // created, not open
    kCvusbStateClosed = 2,  // closed, also after a failed open
    kCvusbStateOpening = 3, // device found, endpoints being set up
    kCvusbStateOpen = 4,    // interface claimed, transfers allowed
    kCvusbStateFailed = 5,  // too many I/O errors in a row
} cvusbState;

// Size of the receive buffer of the library path; one bulk read fetches up to this much.
#define CVUSB_RECEIVE_BUFFER 1024
// Time-outs of one bulk transfer.
#define CVUSB_WRITE_TIMEOUT_MS 50
#define CVUSB_READ_TIMEOUT_MS 1000
// Failed transfers after which a write gives up.
#define CVUSB_WRITE_ATTEMPTS 10
// Consecutive I/O errors that are tolerated before the handle fails.
#define CVUSB_TOLERATED_ERRORS 4

typedef struct cvusb_handle *cvusbRef;

// True if the device descriptor can be read and has the family's vendor identifier and a
// product identifier below 0x8000.
bool is_corvantis_device(libusb_device *device);
// Opens a device of the family and reads its serial number text into text (at most capacity
// bytes, not terminated); *length gets its length, -1 when unreadable. Null when the device is
// not one of ours or cannot be opened.
libusb_device_handle *cvusb_open_with_serial(libusb_device *device,
                                             struct libusb_device_descriptor *descriptor,
                                             unsigned char *text, int capacity, int *length);
// True if the kernel-driver node for the serial number exists.
bool cvusb_is_kernel_driver_installed(uint32_t serial);

// New handle in state 1; in library mode it makes sure the shared context exists. Null when
// memory is short or the mode is unknown.
cvusbRef cvusb_create_usb(int mode);
// Opens the module whose serial number text ("%08X") matches, by the handle's mode.
aErr cvusb_open_corvantis_device(cvusbRef handle, const char *serial);
// Writes all bytes.
aErr cvusb_write_to_device(cvusbRef handle, const uint8_t *bytes, size_t length);
// Delivers one received byte; aErrNotReady when none is there now.
aErr cvusb_get_from_device(cvusbRef handle, uint8_t *byte);
// Closes the device (state 2). aErrMode without an open device; aErrCancel if the node's
// close fails.
aErr cvusb_close_corvantis_device(cvusbRef handle);
// Closes a still-open device, frees the handle and nulls the pointer; aErrParam for null.
aErr cvusb_destroy(cvusbRef *handle);

// Library path. Each returns aErrMode on a kernel-path handle.
aErr cvusb_open_corvantis_USBlib_device(cvusbRef handle, const char *serial);
aErr cvusb_write_to_USBlib_device(cvusbRef handle, const uint8_t *bytes, size_t length);
aErr cvusb_get_from_USBlib_device(cvusbRef handle, uint8_t *byte);
aErr cvusb_close_USBlib_device(cvusbRef handle);
// Finds the vendor interface and its IN and OUT endpoints of the open device.
aErr find_usb_endpoints(cvusbRef handle);
// Filters every library-path result: the first four consecutive aErrIO are reported as 0,
// the fifth sets state 5 and is reported; any other result resets the count.
aErr _handleErrorTolerance(cvusbRef handle, aErr result);

// Kernel-driver path. Each returns aErrMode on a library-path handle.
aErr cvusb_open_corvantis_kernel_device(cvusbRef handle, const char *serial);
aErr cvusb_write_to_kernel_device(cvusbRef handle, const uint8_t *bytes, size_t length);
aErr cvusb_get_from_kernel_device(cvusbRef handle, uint8_t *byte);
aErr cvusb_close_kernel_device(cvusbRef handle);

// The handle's state (cvusbState), 0 for an invalid handle.
int cvusb_get_state(cvusbRef handle);
// Endpoint details found by find_usb_endpoints (false for an invalid handle).
bool cvusb_get_endpoints(cvusbRef handle, int *interfaceNumber, uint8_t *outEndpoint,
                         uint8_t *inEndpoint, uint16_t *outMaxPacket, uint16_t *inMaxPacket);

// Test seam: the folder that holds the kernel-driver nodes (null restores "/dev").
void cvusb_set_kernel_node_dir(const char *folder);

#endif
