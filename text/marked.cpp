#include "text/marked.h"

namespace vellomar {

namespace {

constexpr uint8_t CR = 0x0D;
constexpr uint8_t LF = 0x0A;
// "@=", CR and LF as they are stored in the scrambled part.
constexpr uint8_t storedAt = 0xBF;
constexpr uint8_t storedEquals = 0xC2;
constexpr uint8_t storedCR = 0xF2;
constexpr uint8_t storedLF = 0xF5;

} // namespace

bool isMarked(const uint8_t *data, uint32_t length) {
    return length >= 4 && data[0] == '_' && data[1] == 'P' && data[2] == 'W' && data[3] == '_';
}

void decodeMarkedScalar(uint8_t *data, uint32_t length) {
    // The scrambled part starts at the first stored "@="; the mark cannot hold one.
    uint32_t start = 1;
    while (start + 1 < length && !(data[start] == storedAt && data[start + 1] == storedEquals))
        ++start;
    if (start + 1 >= length)
        return;
    for (uint32_t i = start; i < length; ++i) {
        // A line break stored plain before a stored marker has just been
        // complemented into 0xF2 0xF5 (or, in the head, stands as stored):
        // make it a line break again. The byte before the LF becomes CR
        // whatever it held, as files written for this format expect.
        if (data[i] == storedAt && i + 1 < length && data[i + 1] == storedEquals && i >= 2 &&
            data[i - 1] == storedLF) {
            data[i - 2] = CR;
            data[i - 1] = LF;
        }
        data[i] = static_cast<uint8_t>(~data[i]);
    }
    // A final line break stored plain has been complemented too.
    if (data[length - 2] == storedCR && data[length - 1] == storedLF) {
        data[length - 2] = CR;
        data[length - 1] = LF;
    }
}

} // namespace vellomar
