// Marked-file decoding: the dispatcher against the byte-at-a-time reference,
// and both against the format's rules worked out a second way (complement
// first, then the line-break repairs).
//
// Input: the bytes after the mark; the data is "_PW_" and the input, in a
// heap buffer of exactly its length.
#include <stdint.h>
#include <string.h>

#include "fuzz_checks.h"
#include "text/marked.h"

using fuzzcheck::HostBuffer;

namespace {

constexpr uint8_t kStoredAt = 0xBF;
constexpr uint8_t kStoredEquals = 0xC2;
constexpr uint8_t kStoredCR = 0xF2;
constexpr uint8_t kStoredLF = 0xF5;

// What the decoded data must be, from the stored bytes.
void expectedDecoding(const uint8_t *stored, uint32_t length, uint8_t *out) {
    memcpy(out, stored, length);
    uint32_t start = 0;
    while (start + 1 < length && !(stored[start] == kStoredAt && stored[start + 1] == kStoredEquals))
        ++start;
    if (start + 1 >= length)
        return;
    // Every byte from the first stored "@=" on is complemented ...
    for (uint32_t i = start; i < length; ++i)
        out[i] = static_cast<uint8_t>(~stored[i]);
    // ... and a stored "@=" whose byte before reads 0xF5 at that moment, the
    // head's as stored and the scrambled part's complemented, gets CR LF in
    // the two bytes before it. No repair can change a byte that a later one
    // looks at: a repair at i writes i - 2 and i - 1, and the next possible
    // stored "@=" is at i + 2.
    for (uint32_t i = start; i + 1 < length; ++i) {
        if (stored[i] != kStoredAt || stored[i + 1] != kStoredEquals || i < 2)
            continue;
        const uint8_t before = i - 1 >= start ? static_cast<uint8_t>(~stored[i - 1]) : stored[i - 1];
        if (before == kStoredLF) {
            out[i - 2] = fuzzcheck::CR;
            out[i - 1] = fuzzcheck::LF;
        }
    }
    if (out[length - 2] == kStoredCR && out[length - 1] == kStoredLF) {
        out[length - 2] = fuzzcheck::CR;
        out[length - 1] = fuzzcheck::LF;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    if (size > (1u << 20))
        return 0;
    const uint32_t length = static_cast<uint32_t>(size) + 4;
    HostBuffer stored(length);
    memcpy(stored.at, "_PW_", 4);
    memcpy(stored.at + 4, input, size);
    FUZZ_CHECK(vellomar::isMarked(stored.at, length));

    HostBuffer data(length);
    memcpy(data.at, stored.at, length);
    vellomar::decodeMarked(data.at, length);
    HostBuffer reference(length);
    memcpy(reference.at, stored.at, length);
    vellomar::decodeMarkedScalar(reference.at, length);
    FUZZ_CHECK(memcmp(data.at, reference.at, length) == 0);

    HostBuffer expected(length);
    expectedDecoding(stored.at, length, expected.at);
    FUZZ_CHECK(memcmp(data.at, expected.at, length) == 0);

    // Shorter than the mark, or not beginning with it: never marked.
    FUZZ_CHECK(!vellomar::isMarked(stored.at, size < 3 ? static_cast<uint32_t>(size) : 3));
    FUZZ_CHECK(size == 0 || input[0] == '_' || !vellomar::isMarked(input, static_cast<uint32_t>(size)));
    return 0;
}
