// The line table in both modes: the dispatcher (whatever kernel this
// processor gets) against the byte-at-a-time reference, and both against the
// table's rules.
//
// Input: the data itself, unless it begins with 0xFF: then the next two
// bytes give a repeat count (1 to 65536) and the data is the rest of the
// input that many times over, so that short inputs reach the entry limits.
#include <stdint.h>
#include <string.h>

#include "fuzz_checks.h"
#include "text/line_table.h"

using fuzzcheck::HostBuffer;
using fuzzcheck::HostTable;
using vellomar::TableMode;

namespace {

// Enough for the record limit with marker lines of 4 bytes, and small enough
// to keep each run quick.
constexpr uint32_t kMaxData = 192u << 10;

void buildBoth(const HostBuffer &data, const uint8_t *original, TableMode mode) {
    const uint32_t words = vellomar::entryLimit(mode) + 4;
    HostTable table(words);
    HostTable reference(words);
    const uint32_t result = vellomar::buildLineTable(data.at, data.size, table.at, mode);
    const uint32_t expected =
        vellomar::buildLineTableScalar(data.at, data.size, reference.at, mode);
    FUZZ_CHECK(result == expected);
    FUZZ_CHECK(table.sameAs(reference));
    FUZZ_CHECK(memcmp(data.at, original, data.size) == 0);
    fuzzcheck::checkTable(data.at, data.size, mode, table, result);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    uint32_t repeats = 1;
    size_t bodyAt = 0;
    if (size >= 3 && input[0] == 0xFF) {
        repeats = (static_cast<uint32_t>(input[1]) << 8 | input[2]) + 1;
        bodyAt = 3;
    }
    const size_t body = size - bodyAt;
    if (body > kMaxData)
        return 0;
    if (body == 0)
        repeats = 1;
    else if (repeats > kMaxData / body)
        repeats = static_cast<uint32_t>(kMaxData / body);
    const uint32_t length = static_cast<uint32_t>(body * repeats);

    HostBuffer data(length);
    for (uint32_t i = 0; i < repeats; ++i)
        memcpy(data.at + i * body, input + bodyAt, body);
    HostBuffer original(length);
    memcpy(original.at, data.at, length);

    buildBoth(data, original.at, TableMode::plain);
    buildBoth(data, original.at, TableMode::record);
    return 0;
}
