// Marked-file decoding fused with the record-mode table build: the library's
// choice and every kernel set this processor runs against the
// byte-at-a-time reference, and the reference's output against the shape
// every decoding has (complemented from the first stored marker on, but for
// repaired line breaks).
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
using vellomar::kStoredEquals;

// What any decoding of stored must look like, whichever way it was done:
// the data up to the scrambled part (the first stored "@=") as stored, and
// from there each byte complemented, except for a line break put back as CR
// LF where a marker follows it or the data ends. The two bytes before the
// scrambled part may be such a repaired break too.
void checkDecodingShape(const uint8_t *stored, const uint8_t *decoded, uint32_t length) {
    uint32_t start = 0;
    while (start + 1 < length && !(stored[start] == kStoredAt && stored[start + 1] == kStoredEquals))
        ++start;
    if (start + 1 >= length) {
        FUZZ_CHECK(memcmp(stored, decoded, length) == 0);
        return;
    }
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t plain = i < start ? stored[i] : static_cast<uint8_t>(~stored[i]);
        if (decoded[i] == plain)
            continue;
        // A repaired break: CR LF, then a marker or the end of the data.
        FUZZ_CHECK(decoded[i] == fuzzcheck::CR || (i > 0 && decoded[i] == fuzzcheck::LF));
        const uint32_t cr = decoded[i] == fuzzcheck::CR ? i : i - 1;
        FUZZ_CHECK(cr + 2 >= start && cr + 1 < length);
        FUZZ_CHECK(decoded[cr] == fuzzcheck::CR && decoded[cr + 1] == fuzzcheck::LF);
        // (The marker's "=" may itself be the CR of the next repair.)
        FUZZ_CHECK(cr + 2 == length || (cr + 3 < length && decoded[cr + 2] == '@'));
    }
}

using DecodeAndBuild = uint32_t (*)(uint8_t *, uint32_t, uint16_t *);

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
    memcpy(expected.at, stored.at, length);
    vellomar::decodeMarkedScalar(expected.at, length);
    checkDecodingShape(stored.at, expected.at, length);

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
