#include "unix_streamusb.h"

#include <cstdio>
#include <cstdlib>

#include "aLinkManagerInternal.h"
#include "cvusb_driver.h"
#include "discover.h"

typedef struct {
    uint16_t check;
    uint32_t serial;
    cvusbRef usb;
} sUSBStream;

static sUSBStream *sRecord(void *reference) {
    sUSBStream *record = (sUSBStream *)reference;
    return record && record->check == aUSBSTREAM_CHECK ? record : nullptr;
}

static aErr sUSBStreamGet(uint8_t *byte, void *reference) {
    sUSBStream *record = sRecord(reference);
    if (!record)
        return aErrParam;
    return cvusb_get_from_device(record->usb, byte);
}

static aErr sUSBStreamPut(uint8_t byte, void *reference) {
    sUSBStream *record = sRecord(reference);
    if (!record)
        return aErrParam;
    return cvusb_write_to_device(record->usb, &byte, 1);
}

static aErr sUSBStreamWrite(const uint8_t *bytes, size_t length, void *reference) {
    sUSBStream *record = sRecord(reference);
    if (!record)
        return aErrParam;
    return cvusb_write_to_device(record->usb, bytes, length);
}

static aErr sUSBStreamDelete(void *reference) {
    sUSBStream *record = sRecord(reference);
    if (!record)
        return aErrParam;
    aErr result = aErrNone;
    if (cvusb_get_state(record->usb) == kCvusbStateOpen ||
        cvusb_get_state(record->usb) == kCvusbStateFailed)
        result = cvusb_close_corvantis_device(record->usb);
    cvusb_destroy(&record->usb);
    record->check = 0;
    free(record);
    return result;
}

aErr aStream_CreateUSB(uint32_t serial, aStream **stream) {
    if (serial == 0 || !stream) {
        if (stream)
            *stream = nullptr;
        return aErrParam;
    }
    *stream = nullptr;
    sUSBStream *record = (sUSBStream *)calloc(1, sizeof(sUSBStream));
    if (!record)
        return aErrMemory;
    record->check = aUSBSTREAM_CHECK;
    record->serial = serial;

    aErr result = aErrNone;
    int mode = cvusb_is_kernel_driver_installed(serial) ? kCvusbModeKernel : kCvusbModeLibusb;
    record->usb = cvusb_create_usb(mode);
    if (!record->usb) {
        result = aErrResource;
    } else {
        char text[16];
        snprintf(text, sizeof(text), "%08X", serial);
        result = cvusb_open_corvantis_device(record->usb, text);
    }
    if (result == aErrNone) {
        *stream =
            aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, record);
        if (!*stream)
            result = aErrMemory;
    }
    if (result != aErrNone) {
        if (record->usb)
            cvusb_destroy(&record->usb);
        record->check = 0;
        free(record);
    }
    return result;
}

static aErr sMakeUSBStream(const aLinkEntry *entry, aStream **stream) {
    return aStream_CreateUSB(entry->ident0, stream);
}

aLinkRef aLink_CreateUSB(uint32_t serial) {
    // USB links regain the packet framing with the sync handshake right after the start.
    return aLink_CreateDirect(USB, serial, 0, 0, sMakeUSBStream, nullptr, nullptr, true,
                              "aLink_CreateUSB");
}
