// USB stream: a byte stream over the USB transport to one module. It uses the kernel-driver
// node when the node for the serial number exists, and the USB library otherwise.
#ifndef _unix_streamusb_H_
#define _unix_streamusb_H_

#include <cstdint>

#include "aStream.h"

#define aUSBSTREAM_CHECK 0xDEAD

// Opens the module with that serial number. aErrParam for serial 0 or a null out pointer,
// aErrMemory when memory is short, aErrResource if no transport handle can be made, else the
// transport's open result. *stream is set on success and nulled otherwise (given a pointer).
aErr aStream_CreateUSB(uint32_t serial, aStream **stream);

// A link to the USB module with that serial number (also declared in aLink.h): an existing
// link gains a holder; a new one is started and synced. 0 on failure, or when the device
// already has a sharing server in front of it.
uint32_t aLink_CreateUSB(uint32_t serial);

#endif
