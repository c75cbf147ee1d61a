// Packet framing for byte streams without boundaries (serial ports): each packet image plus
// its CRC-8 is COBS-encoded and ended by a zero byte.
#include "aStream_CobsEncoding.h"

#include <cstdlib>
#include <cstring>

#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

namespace {

struct CobsStream {
    uint16_t check;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void *reference;

    // Receive side, used only by the reading thread.
    uint8_t inEncoded[aCOBS_MAXENCODED];
    size_t inCount;
    bool frameReady;
    size_t framePos;
    size_t frameLength;

    // Send side, used only by the writing thread.
    aPacket *assembler;
    uint8_t out[aCOBS_MAXFRAME];
    size_t outLength;
};

bool sValid(const CobsStream *cobs) {
    return cobs != nullptr && cobs->check == aCOBS_CHECK;
}

aErr sCobsGet(uint8_t *byte, void *reference) {
    CobsStream *cobs = static_cast<CobsStream *>(reference);
    if (!sValid(cobs) || byte == nullptr)
        return aErrParam;
    if (cobs->frameReady) {
        *byte = cobs->inEncoded[cobs->framePos++];
        if (cobs->framePos >= cobs->frameLength) {
            cobs->frameReady = false;
            cobs->framePos = 0;
            cobs->frameLength = 0;
        }
        return aErrNone;
    }
    if (cobs->get == nullptr)
        return aErrNotReady;
    uint8_t in = 0;
    // A failed underlying read only means that no frame is complete yet.
    if (cobs->get(&in, cobs->reference) != aErrNone)
        return aErrNotReady;
    if (in != 0) {
        // An overlong frame loses its excess bytes and then fails its checks.
        if (cobs->inCount < aCOBS_MAXENCODED)
            cobs->inEncoded[cobs->inCount++] = in;
        return aErrNotReady;
    }
    if (cobs->inCount == 0)
        return aErrNotReady; // stray delimiter between frames
    size_t decoded = cobs_decode_inplace(cobs->inEncoded, cobs->inCount);
    cobs->inCount = 0;
    // image (address, size n, n data bytes) + CRC of the image
    if (decoded <= 2 || decoded != static_cast<size_t>(cobs->inEncoded[1]) + 3 ||
        !crc8_check(cobs->inEncoded, decoded - 1, cobs->inEncoded[decoded - 1]))
        return aErrPacket;
    cobs->frameReady = true;
    cobs->framePos = 0;
    cobs->frameLength = decoded - 1;
    return aErrNotReady;
}

aErr sCobsPut(uint8_t byte, void *reference) {
    CobsStream *cobs = static_cast<CobsStream *>(reference);
    if (!sValid(cobs))
        return aErrParam;
    if (cobs->put == nullptr)
        return aErrMode;
    return cobs->put(byte, cobs->reference);
}

aErr sCobsWrite(const uint8_t *bytes, size_t length, void *reference) {
    CobsStream *cobs = static_cast<CobsStream *>(reference);
    if (!sValid(cobs) || bytes == nullptr)
        return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; i++) {
        if (aPacket_AddByte(cobs->assembler, bytes[i]) != aErrNone) {
            // Drop the broken packet too: a refused byte leaves the assembler unable to
            // complete, and every later packet would be lost.
            aPacket_Reset(cobs->assembler);
            continue;
        }
        if (!aPacket_IsComplete(cobs->assembler))
            continue;
        size_t image = 0;
        aErr err = aPacket_GetBytes(cobs->assembler, cobs->out, sizeof(cobs->out) - 2, &image);
        aPacket_Reset(cobs->assembler);
        if (err != aErrNone)
            continue;
        cobs->out[image] = crc8_create(cobs->out, image);
        size_t encoded = cobs_encode_inplace(cobs->out, image + 1);
        if (encoded == 0)
            continue;
        cobs->out[encoded] = 0;
        cobs->outLength = encoded + 1;
        if (cobs->write == nullptr) {
            result = aErrMode;
            continue;
        }
        err = cobs->write(cobs->out, cobs->outLength, cobs->reference);
        if (err != aErrNone)
            result = err;
    }
    return result;
}

aErr sCobsDelete(void *reference) {
    CobsStream *cobs = static_cast<CobsStream *>(reference);
    if (!sValid(cobs))
        return aErrParam;
    aErr err = aErrNone;
    if (cobs->del)
        err = cobs->del(cobs->reference);
    aPacket_Destroy(&cobs->assembler);
    cobs->check = 0;
    std::free(cobs);
    return err;
}

} // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void *reference, aStream **stream) {
    if (stream == nullptr)
        return aErrParam;
    *stream = nullptr;
    CobsStream *cobs = static_cast<CobsStream *>(std::calloc(1, sizeof(CobsStream)));
    if (cobs == nullptr)
        return aErrMemory;
    cobs->assembler = aPacket_Create();
    if (cobs->assembler == nullptr) {
        std::free(cobs);
        return aErrMemory;
    }
    cobs->check = aCOBS_CHECK;
    cobs->get = get;
    cobs->put = put;
    cobs->write = write;
    cobs->del = del;
    cobs->reference = reference;
    aStream *s = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, cobs);
    if (s == nullptr) {
        aPacket_Destroy(&cobs->assembler);
        cobs->check = 0;
        std::free(cobs);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}
