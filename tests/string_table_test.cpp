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

#include "cases/end_to_end_cases.h"
#include "fake_box.h"
#include "temp_folder.h"
#include "vellomar.h"

namespace {

constexpr uint8_t kBufferFill = 0xEE;
constexpr uint16_t kTableFill = 0x5A5A;

struct Call {
    uint32_t result;
    std::vector<uint8_t> buffer; // expectedSize bytes, then one guard byte
    std::vector<uint16_t> table;
};

Call call(const std::string &file, uint32_t expectedSize, uint32_t recordMode) {
    Call c;
    c.buffer.assign(expectedSize + 1, kBufferFill);
    c.table.assign(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
    c.result = vellomar::readStringTable(fakebox::realFilesWithFakeBox(), c.buffer.data(),
                                         expectedSize, c.table.data(), file.c_str(), recordMode);
    return c;
}

bool tableUntouched(const Call &c) {
    for (uint16_t word : c.table)
        if (word != kTableFill)
            return false;
    return true;
}

TEST(StringTable, SharedEndToEndCases) {
    TempFolder folder;
    for (const EndToEndCase &e : kEndToEndCases) {
        SCOPED_TRACE(e.name);
        fakebox::reset();
        const std::string bytes(e.file, e.fileSize);
        const std::string file = folder.write("case.txt", bytes);
        const uint32_t expectedSize = e.fileSize + static_cast<uint32_t>(e.sizeDelta);
        const Call c = call(file, expectedSize, e.recordMode);

        ASSERT_EQ(c.result, e.result);
        EXPECT_EQ(c.buffer[expectedSize], kBufferFill) << "wrote past expectedSize";
        if (e.boxText != nullptr) {
            ASSERT_EQ(fakebox::shown.size(), 1u);
            EXPECT_EQ(fakebox::shown[0].text, e.boxText);
        } else {
            EXPECT_TRUE(fakebox::shown.empty());
        }
        if (e.result == 0) {
            EXPECT_TRUE(tableUntouched(c));
            // A short file leaves what arrived; a long one is not read at all.
            const uint32_t arrived = e.sizeDelta > 0 ? e.fileSize : 0;
            for (uint32_t i = 0; i < expectedSize; ++i)
                ASSERT_EQ(c.buffer[i], i < arrived ? static_cast<uint8_t>(bytes[i]) : kBufferFill)
                    << "buffer byte " << i;
            continue;
        }
        const std::string expectedBuffer =
            e.buffer != nullptr ? std::string(e.buffer, e.fileSize) : bytes;
        EXPECT_EQ(std::string(c.buffer.begin(), c.buffer.end() - 1), expectedBuffer);
        EXPECT_EQ(c.table[0], e.result);
        for (uint32_t i = 0; i < e.result; ++i)
            EXPECT_EQ(c.table[i + 1], e.entries[i]) << "entry " << i + 1;
        EXPECT_EQ(c.table[e.result + 1], VELLOMAR_END_MARKER);
        EXPECT_EQ(c.table[e.result + 2], kTableFill);
    }
}

// Paths that cannot be opened as a regular file: a silent 0, nothing touched.
TEST(StringTable, UnopenablePathsReturnZeroSilently) {
    TempFolder folder;
    const std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string paths[] = {folder.path() + "/missing", folder.path(), fifo, "",
                                 "/dev/null"};
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        fakebox::reset();
        // A FIFO with no writer would block a plain open; the test's timeout
        // catches that.
        const Call c = call(path, 4, 0);
        EXPECT_EQ(c.result, 0u);
        EXPECT_TRUE(fakebox::shown.empty());
        EXPECT_TRUE(tableUntouched(c));
        for (uint8_t byte : c.buffer)
            ASSERT_EQ(byte, kBufferFill);
    }
}

TEST(StringTable, WrongSizeReturnsZeroEvenAfterCancel) {
    TempFolder folder;
    const std::string file = folder.write("short.txt", "abc");
    fakebox::reset({IDCANCEL});
    EXPECT_EQ(call(file, 4, 0).result, 0u);
    EXPECT_EQ(call(file, 2, 0).result, 0u);
    EXPECT_EQ(call(file, 3, 0).result, 1u);
    ASSERT_EQ(fakebox::shown.size(), 1u);
    EXPECT_EQ(fakebox::shown[0].text, "DLL error: 3");
}

TEST(StringTable, LeavesNoFileOpen) {
    TempFolder folder;
    const std::string file = folder.write("f.txt", "abc\r\n");
    fakebox::reset();
    call(file, 5, 0);
    call(file, 9, 0);
    call(file, 1, 0);
    // The next descriptor the process gets is the lowest free one: had a
    // call leaked one, a fresh open would land above it.
    const int probe = ::open("/dev/null", O_RDONLY);
    const int again = ::open("/dev/null", O_RDONLY);
    ::close(probe);
    const int afterCalls = probe;
    ::close(again);
    call(file, 5, 0);
    const int reopened = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(reopened, afterCalls);
    ::close(reopened);
}

} // namespace
