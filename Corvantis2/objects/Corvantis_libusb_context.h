// The one libusb context of the process, shared by the USB transport and discovery, and the
// table of libusb calls they make. The table is the seam where tests put a scripted fake in
// place of the real library; the product always uses the real one.
#ifndef _Corvantis_libusb_context_H_
#define _Corvantis_libusb_context_H_

#include <cstdint>
#include <libusb.h>
#include <sys/types.h>

// Every libusb call of the transport and of USB discovery goes through this table.
struct Corvantis_libusb_ops {
    int (*init)(libusb_context **context);
    void (*exit)(libusb_context *context);
    ssize_t (*get_device_list)(libusb_context *context, libusb_device ***list);
    void (*free_device_list)(libusb_device **list, int unreference);
    int (*get_device_descriptor)(libusb_device *device, struct libusb_device_descriptor *out);
    int (*open)(libusb_device *device, libusb_device_handle **handle);
    void (*close)(libusb_device_handle *handle);
    libusb_device *(*get_device)(libusb_device_handle *handle);
    int (*get_string_descriptor_ascii)(libusb_device_handle *handle, uint8_t index,
                                       unsigned char *data, int length);
    int (*get_config_descriptor)(libusb_device *device, uint8_t index,
                                 struct libusb_config_descriptor **config);
    void (*free_config_descriptor)(struct libusb_config_descriptor *config);
    int (*claim_interface)(libusb_device_handle *handle, int number);
    int (*release_interface)(libusb_device_handle *handle, int number);
    int (*bulk_transfer)(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
                         int length, int *transferred, unsigned int timeout);
    int (*clear_halt)(libusb_device_handle *handle, unsigned char endpoint);
};

// The table in use: the real library unless a test installed its own.
const Corvantis_libusb_ops *Corvantis_libusb();
// Test seam: installs a table (null puts the real library back). Ends the current context
// first, so that no context of one table is ended through the other.
void Corvantis_libusb_set_ops(const Corvantis_libusb_ops *ops);

// Under the context mutex: initialises the context if there is none and returns it (null if
// initialisation failed).
libusb_context *Corvantis_libusb_context();
// Corvantis_libusb_context with the result dropped.
void Corvantis_libusb_init();
// Under the context mutex: ends the context and forgets it; the next use creates a new one.
// Handles and device lists that use the context must be gone before.
void Corvantis_libusb_exit();

#endif
