// Marked-file decoding fused with the record-mode table build: the library's
// choice and every kernel set this processor runs against the
// byte-at-a-time reference, and the reference against the format's rules
// worked out a second way (complement first, then the line-break repairs).
//
// Input: the bytes after the mark, or a body to repeat (see Expanded in
// fuzz_checks.h); the data is "_PW_" and those bytes, in a heap buffer of
// exactly its length.
#include <stdint.h>
#include <string.h>

#include "fuzz_checks.h"
#include "text/kernels.h"
#include "text/text.h"

using fuzzcheck::HostBuffer;
using fuzzcheck::HostTable;

namespace {

// Past a few of the fused kernels' decoding stretches.
constexpr uint32_t kMaxData = 48u << 10;

using vellomar::kStoredAt;
using vellomar::kStoredCR;
using vellomar::kStoredEquals;
using vellomar::kStoredLF;

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

using Decode = void (*)(uint8_t *, uint32_t);
using DecodeAndBuild = uint32_t (*)(uint8_t *, uint32_t, uint16_t *);

void decodeWith(Decode decode, const HostBuffer &stored, const HostBuffer &expected) {
    HostBuffer data(stored.size);
    memcpy(data.at, stored.at, stored.size);
    decode(data.at, data.size);
    FUZZ_CHECK(memcmp(data.at, expected.at, data.size) == 0);
}

void decodeAndBuildWith(DecodeAndBuild decodeAndBuild, const HostBuffer &stored,
                        const HostBuffer &expected, const HostTable &reference,
                        uint32_t expectedCount) {
    HostBuffer data(stored.size);
    memcpy(data.at, stored.at, stored.size);
    HostTable table(reference.words);
    const uint32_t count = decodeAndBuild(data.at, data.size, table.at);
    FUZZ_CHECK(count == expectedCount);
    FUZZ_CHECK(memcmp(data.at, expected.at, data.size) == 0);
    FUZZ_CHECK(table.sameAs(reference));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    const fuzzcheck::Expanded expanded(input, size, kMaxData);
    const uint32_t length = expanded.length + 4;
    HostBuffer stored(length);
    memcpy(stored.at, "_PW_", 4);
    expanded.copyTo(stored.at + 4);
    FUZZ_CHECK(vellomar::isMarked(stored.at, length));
    // Shorter than the mark: never marked.
    FUZZ_CHECK(!vellomar::isMarked(stored.at, 3));

    HostBuffer expected(length);
    expectedDecoding(stored.at, length, expected.at);
    decodeWith(vellomar::decodeMarkedScalar, stored, expected);

    // Decoding and the record-mode build in one step.
    HostTable reference(VELLOMAR_RECORD_TABLE_WORDS);
    const uint32_t count = vellomar::buildLineTableScalar(expected.at, length, reference.at,
                                                          vellomar::TableMode::record);
    fuzzcheck::checkTable(expected.at, length, vellomar::TableMode::record, reference, count);
    decodeAndBuildWith(vellomar::decodeMarkedAndBuild, stored, expected, reference, count);
    const vellomar::ProcessorWords words = vellomar::processorWords();
    for (uint32_t i = 0; i < vellomar::kKernelSetCount; ++i)
        if (vellomar::kKernelSets[i]->runsOn(words))
            decodeAndBuildWith(vellomar::kKernelSets[i]->decodeAndBuild, stored, expected,
                               reference, count);
    return 0;
}
