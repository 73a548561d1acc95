// StringTable end to end, through real files and the POSIX layer, with the
// box replaced so that nothing reaches standard error.
#include "library/string_table.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cases/case_check.h"
#include "cases/end_to_end_cases.h"
#include "fake_box.h"
#include "temp_folder.h"
#include "vellomar.h"

namespace {

Call call(const std::string &file, uint32_t expectedSize, uint32_t recordMode) {
    const vellomar::OsLayer os = fakebox::realFilesWithFakeBox();
    return callFilled(
        [&os](uint8_t *buffer, uint32_t size, uint16_t *table, const char *name, uint32_t mode) {
            return vellomar::readStringTable(os, buffer, size, table, name, mode);
        },
        file, expectedSize, recordMode);
}

TEST(StringTable, SharedEndToEndCases) {
    TempFolder folder;
    for (const EndToEndCase &e : kEndToEndCases) {
        fakebox::reset();
        const std::string file = folder.write("case.txt", std::string(e.file, e.fileSize));
        const Call c = call(file, expectedSizeOf(e), e.recordMode);
        std::vector<std::string> boxTexts;
        for (const fakebox::Shown &box : fakebox::shown)
            boxTexts.push_back(box.text);
        EXPECT_EQ(caseMismatch(e, c, boxTexts), "") << e.name;
    }
}

// The lowest descriptor free now: the one the process gets next.
int lowestFreeDescriptor() {
    const int probe = ::open("/dev/null", O_RDONLY);
    ::close(probe);
    return probe;
}

// Taken before any call: a call that left a descriptor open, on success or
// on any failure, would take the lowest free one.
TEST(StringTable, LeavesNoFileOpen) {
    TempFolder folder;
    const std::string file = folder.write("f.txt", "abc\r\n");
    fakebox::reset();
    const int before = lowestFreeDescriptor();
    // The right size, a file longer than expected, one shorter, and no file.
    for (const uint32_t expected : {5u, 1u, 9u})
        call(file, expected, 0);
    call(folder.path() + "/missing", 5, 0);
    EXPECT_EQ(lowestFreeDescriptor(), before);
}

} // namespace
