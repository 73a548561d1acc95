// The line table in both modes: the dispatcher and every vector kernel this
// processor runs, against the byte-at-a-time reference, and all of them
// against the table's rules.
//
// Input: the data, or a body to repeat (see Expanded in fuzz_checks.h).
#include <stdint.h>
#include <string.h>

#include "fuzz_checks.h"
#include "text/kernels.h"
#include "text/text.h"

using fuzzcheck::HostBuffer;
using fuzzcheck::HostTable;
using vellomar::TableMode;

namespace {

// Enough for the record limit with marker lines of 4 bytes, and small enough
// to keep each run quick.
constexpr uint32_t kMaxData = 192u << 10;

using Build = uint32_t (*)(const uint8_t *, uint32_t, uint16_t *, TableMode);

void buildWith(Build build, const HostBuffer &data, const uint8_t *original, TableMode mode,
               const HostTable &reference, uint32_t expected) {
    HostTable table(reference.words);
    const uint32_t result = build(data.at, data.size, table.at, mode);
    FUZZ_CHECK(result == expected);
    FUZZ_CHECK(table.sameAs(reference));
    FUZZ_CHECK(memcmp(data.at, original, data.size) == 0);
}

void buildAll(const HostBuffer &data, const uint8_t *original, TableMode mode) {
    HostTable reference(vellomar::entryLimit(mode) + 4);
    const uint32_t expected =
        vellomar::buildLineTableScalar(data.at, data.size, reference.at, mode);
    fuzzcheck::checkTable(data.at, data.size, mode, reference, expected);
    buildWith(vellomar::buildLineTable, data, original, mode, reference, expected);
    const vellomar::ProcessorWords words = vellomar::processorWords();
    for (uint32_t i = 0; i < vellomar::kKernelSetCount; ++i)
        if (vellomar::kKernelSets[i]->runsOn(words))
            buildWith(vellomar::kKernelSets[i]->build, data, original, mode, reference, expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    const fuzzcheck::Expanded expanded(input, size, kMaxData);
    HostBuffer data(expanded.length);
    expanded.copyTo(data.at);
    HostBuffer original(expanded.length);
    memcpy(original.at, data.at, expanded.length);

    buildAll(data, original.at, TableMode::plain);
    buildAll(data, original.at, TableMode::record);
    return 0;
}
