#include "base64.h"

#include <cstdlib>

static const char sAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of one alphabet character, -1 for anything else ("=" included).
static int _decode_char(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

char *base64_encode(const unsigned char *data, size_t length, size_t *outLength) {
    size_t size = 4 * ((length + 2) / 3);
    char *out = static_cast<char *>(malloc(size + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        unsigned a = data[i];
        unsigned b = i + 1 < length ? data[i + 1] : 0;
        unsigned c = i + 2 < length ? data[i + 2] : 0;
        unsigned triple = (a << 16) | (b << 8) | c;
        out[o++] = sAlphabet[(triple >> 18) & 0x3F];
        out[o++] = sAlphabet[(triple >> 12) & 0x3F];
        out[o++] = sAlphabet[(triple >> 6) & 0x3F];
        out[o++] = sAlphabet[triple & 0x3F];
    }
    if (length % 3 == 1) {
        out[size - 2] = '=';
        out[size - 1] = '=';
    } else if (length % 3 == 2) {
        out[size - 1] = '=';
    }
    out[size] = '\0';
    if (outLength)
        *outLength = size;
    return out;
}

unsigned char *base64_decode(const char *text, size_t length, size_t *outLength) {
    if (length % 4 != 0 || (length > 0 && !text))
        return nullptr;
    size_t padding = 0;
    if (length > 0 && text[length - 1] == '=')
        padding = (length > 1 && text[length - 2] == '=') ? 2 : 1;
    // Everything before the padding must be alphabet characters; a stray "=" or any other
    // byte means the text is damaged, and decoding it would only produce garbage.
    for (size_t i = 0; i < length - padding; i++)
        if (_decode_char(static_cast<unsigned char>(text[i])) < 0)
            return nullptr;
    size_t size = length / 4 * 3 - padding;
    unsigned char *out = static_cast<unsigned char *>(malloc(size + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        unsigned triple = 0;
        for (size_t k = 0; k < 4; k++) {
            int v = (i + k < length - padding)
                        ? _decode_char(static_cast<unsigned char>(text[i + k]))
                        : 0;
            triple = (triple << 6) | static_cast<unsigned>(v);
        }
        for (int k = 2; k >= 0 && o < size; k--)
            out[o++] = static_cast<unsigned char>((triple >> (8 * k)) & 0xFF);
    }
    out[size] = 0;
    if (outLength)
        *outLength = size;
    return out;
}
