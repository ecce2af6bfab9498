// Base64 (RFC 4648, standard alphabet, "=" padding) for byte strings stored in
// XML documents. Bounded both ways: output never passes the caller's size and is
// always NUL-terminated when the size allows one byte.
#include "core/base64.h"

#include "core/zyl.h"

static const char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding table: 0..63 for the alphabet, 64 for "=", 255 for anything else.
enum { BASE64_PAD = 64, BASE64_BAD = 255 };

static const uint8_t *Base64_DecodeTable(void) {
    static uint8_t table[256];
    static const bool built = [] {
        for (int k = 0; k < 256; k++) {
            table[k] = BASE64_BAD;
        }
        for (int k = 0; k < 64; k++) {
            table[(uint8_t)kBase64Alphabet[k]] = (uint8_t)k;
        }
        table[(uint8_t)'='] = BASE64_PAD;
        return true;
    }();
    (void)built;
    return table;
}

int Base64_GetEncodedSize(int count, int *size) {
    ZYL_CHECK_PTR(size);
    *size = (count / 3 + 1) * 4;
    return 1;
}

int Base64_GetDecodedSize(int characters, int *size) {
    ZYL_CHECK_PTR(size);
    *size = characters / 4 * 3;
    return 1;
}

// Writes the four characters of one group of 1 to 3 bytes.
static void Base64_EncodeGroup(const uint8_t *in, int count, char *out) {
    const uint32_t b0 = in[0];
    const uint32_t b1 = count > 1 ? in[1] : 0;
    const uint32_t b2 = count > 2 ? in[2] : 0;
    const uint32_t bits = (b0 << 16) | (b1 << 8) | b2;
    out[0] = kBase64Alphabet[(bits >> 18) & 63];
    out[1] = kBase64Alphabet[(bits >> 12) & 63];
    out[2] = count > 1 ? kBase64Alphabet[(bits >> 6) & 63] : '=';
    out[3] = count > 2 ? kBase64Alphabet[bits & 63] : '=';
}

int Base64_Encode(const void *data, int count, char *buffer, int size, int *length) {
    ZYL_CHECK_PTR(length);
    *length = 0;
    if (size <= 0) {
        return 0;
    }
    ZYL_CHECK_PTR(buffer);
    if (count > 0) {
        ZYL_CHECK_PTR(data);
    }
    const uint8_t *in = static_cast<const uint8_t *>(data);
    int written = 0;
    for (int at = 0; at < count; at += 3) {
        // A group needs its four characters and the NUL after them.
        if (written + 4 >= size) {
            buffer[written] = '\0';
            *length = written + 1;
            return 0;
        }
        Base64_EncodeGroup(in + at, count - at < 3 ? count - at : 3, buffer + written);
        written += 4;
        if (written >= size - 4) {
            buffer[written] = '\0';
            *length = written + 1;
            return 0;
        }
    }
    buffer[written] = '\0';
    *length = written + 1;
    return 1;
}

// Decodes one group of four table values into three bytes; returns the number
// of real bytes (1..3), or 0 when the padding is misplaced.
static int Base64_DecodeGroup(const uint8_t value[4], uint8_t *out) {
    int pads = 0;
    for (int k = 0; k < 4; k++) {
        if (value[k] == BASE64_PAD) {
            pads++;
        } else if (pads > 0) {
            return 0; // "=" only ends a group
        }
    }
    if (pads > 2) {
        return 0;
    }
    uint32_t bits = 0;
    for (int k = 0; k < 4; k++) {
        bits = (bits << 6) | (value[k] == BASE64_PAD ? 0u : value[k]);
    }
    out[0] = (uint8_t)(bits >> 16);
    out[1] = (uint8_t)(bits >> 8);
    out[2] = (uint8_t)bits;
    return 3 - pads;
}

int Base64_Decode(const char *text, uint8_t *buffer, int size, int *count) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(count);
    *count = 0;
    if (size <= 0) {
        return 0;
    }
    ZYL_CHECK_PTR(buffer);
    buffer[0] = '\0';
    if (size <= 4) {
        return 0;
    }
    const uint8_t *table = Base64_DecodeTable();
    const uint8_t *in = reinterpret_cast<const uint8_t *>(text);
    int decoded = 0;
    while (*in != '\0') {
        uint8_t value[4];
        for (int k = 0; k < 4; k++) {
            value[k] = in[k] == '\0' ? (uint8_t)BASE64_BAD : table[in[k]];
            if (value[k] == BASE64_BAD) {
                buffer[decoded] = '\0'; // foreign character or text ends inside a group
                *count = decoded;
                return 0;
            }
        }
        in += 4;
        // Each group is written at the count, so padding bytes never stay in
        // the output; the checks below keep decoded + 3 < size.
        const int got = Base64_DecodeGroup(value, buffer + decoded);
        if (got == 0) {
            buffer[decoded] = '\0';
            *count = decoded;
            return 0;
        }
        decoded += got;
        if (decoded >= size - 4) {
            buffer[decoded] = '\0';
            *count = decoded;
            return 0;
        }
    }
    buffer[decoded] = '\0';
    *count = decoded;
    return 1;
}
