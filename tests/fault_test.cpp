// StringTable when the platform fails: every file operation and the box can
// be made to fail through a fake OsLayer, and each case checks the result,
// the host's buffer and table, the box, and that every file opened was closed
// exactly once, before the data was looked at.
#include "library/string_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cases/case_check.h"
#include "fake_box.h"
#include "vellomar.h"

namespace {

constexpr vellomar::OsFile kNoFile = -1;

// What the fake file does, and what the library did with it. Function
// pointers carry no context, so the one fake file lives here.
struct FakeFile {
    // Scripted.
    bool openFails = false;
    bool sizeFails = false;
    uint64_t size = 0;      // what measuring says
    std::string content;    // what reading finds: may differ from size
    long readFailsAfter = -1; // an error after this many bytes; -1 for none
    bool closeFails = false;

    // Observed.
    int opens = 0;
    int closes = 0;
    int reads = 0;
    uint32_t largestReadAsked = 0;
    vellomar::OsFile handle = kNoFile; // the open file, if any
    bool usedWithoutOpenFile = false;  // size, read or close on no or another file
    bool tableWrittenBeforeClose = false;
    const uint16_t *table = nullptr;
};

FakeFile fake;

bool tableTouched(const uint16_t *table) {
    return table != nullptr &&
           std::any_of(table, table + VELLOMAR_RECORD_TABLE_WORDS,
                       [](uint16_t word) { return word != kTableFill; });
}

bool fakeOpen(const char *, vellomar::OsFile *file) {
    if (fake.openFails)
        return false;
    ++fake.opens;
    fake.handle = 1000 + fake.opens;
    *file = fake.handle;
    return true;
}

bool fakeSize(vellomar::OsFile file, uint64_t *length) {
    fake.usedWithoutOpenFile |= file != fake.handle || file == kNoFile;
    if (fake.sizeFails)
        return false;
    *length = fake.size;
    return true;
}

uint32_t fakeRead(vellomar::OsFile file, uint8_t *buffer, uint32_t length) {
    fake.usedWithoutOpenFile |= file != fake.handle || file == kNoFile;
    ++fake.reads;
    fake.largestReadAsked = std::max(fake.largestReadAsked, length);
    size_t delivered = std::min<size_t>(length, fake.content.size());
    if (fake.readFailsAfter >= 0)
        delivered = std::min<size_t>(delivered, static_cast<size_t>(fake.readFailsAfter));
    std::memcpy(buffer, fake.content.data(), delivered);
    return static_cast<uint32_t>(delivered);
}

// A failing close still lets the file go, as close() does on Linux even with
// EIO or EINTR: trying again could close a descriptor another thread has just
// been given. The bytes have all arrived by then, so the library carries on
// as though the close had worked; the seam's close reports nothing.
void fakeClose(vellomar::OsFile file) {
    fake.usedWithoutOpenFile |= file != fake.handle || file == kNoFile;
    fake.tableWrittenBeforeClose |= tableTouched(fake.table);
    ++fake.closes;
    fake.handle = kNoFile;
    if (fake.closeFails)
        errno = EIO;
}

const vellomar::OsLayer kFakeOs = {fakeOpen, fakeSize, fakeRead, fakeClose, fakebox::box};

struct FaultCase {
    const char *name;
    FakeFile file;
    uint32_t expectedSize;
    uint32_t result;
    uint32_t arrived; // leading bytes of content that must stand in the buffer
    const char *box;  // the one box shown, or nullptr
    std::vector<uint16_t> entries;
    int reads;
    int closes;
};

FakeFile fileOf(std::string content) {
    FakeFile file;
    file.size = content.size();
    file.content = std::move(content);
    return file;
}

template <typename Change>
FakeFile fileOf(std::string content, Change change) {
    FakeFile file = fileOf(std::move(content));
    change(file);
    return file;
}

const std::string kText = "abc\r\ndef"; // 8 bytes: entries 5 and 5

std::vector<FaultCase> faultCases() {
    return {
        {"open fails", fileOf(kText, [](FakeFile &f) { f.openFails = true; }), 8, 0, 0, nullptr,
         {}, 0, 0},
        {"size fails", fileOf(kText, [](FakeFile &f) { f.sizeFails = true; }), 8, 0, 0, nullptr,
         {}, 0, 1},
        {"size 2^64 - 1", fileOf(kText, [](FakeFile &f) { f.size = ~uint64_t{0}; }), 8, 0, 0,
         nullptr, {}, 0, 1},
        {"one byte longer than expected", fileOf(kText), 7, 0, 0, "DLL error: 8", {}, 0, 1},
        {"read fails at the start", fileOf(kText, [](FakeFile &f) { f.readFailsAfter = 0; }), 8,
         0, 0, "DLL error: 0", {}, 1, 1},
        {"read fails part way", fileOf(kText, [](FakeFile &f) { f.readFailsAfter = 3; }), 8, 0, 3,
         "DLL error: 3", {}, 1, 1},
        {"shrinks between size and read",
         fileOf(kText, [](FakeFile &f) { f.content = "abc\r\n"; }), 8, 0, 5, "DLL error: 5", {}, 1,
         1},
        {"shrinks to nothing", fileOf(kText, [](FakeFile &f) { f.content.clear(); }), 8, 0, 0,
         "DLL error: 0", {}, 1, 1},
        // Only the length measured is asked for: the bytes that arrived are
        // exactly expectedSize, and the call succeeds on them.
        {"grows between size and read",
         fileOf(kText, [](FakeFile &f) { f.content += "\r\nmore"; }), 8, 2, 8, nullptr, {5, 5},
         1, 1},
        {"grows, but was short when measured",
         fileOf(kText, [](FakeFile &f) { f.content += "\r\nmore"; }), 10, 0, 8, "DLL error: 8",
         {}, 1, 1},
        // The data arrived whole before the close: a failing close changes
        // nothing the host sees.
        {"close fails", fileOf(kText, [](FakeFile &f) { f.closeFails = true; }), 8, 2, 8, nullptr,
         {5, 5}, 1, 1},
        {"close fails after a short read",
         fileOf(kText, [](FakeFile &f) {
             f.closeFails = true;
             f.readFailsAfter = 6;
         }),
         8, 0, 6, "DLL error: 6", {}, 1, 1},
        {"empty file, nothing expected", fileOf(""), 0, 1, 0, nullptr, {3}, 1, 1},
    };
}

void PrintTo(const FaultCase &c, std::ostream *out) { *out << c.name; }

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, ResultBufferTableBoxAndClose) {
    const FaultCase &c = GetParam();
    fake = c.file;
    fakebox::reset();
    // Exactly expectedSize bytes, so that AddressSanitizer sees any byte past it.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[c.expectedSize]);
    std::memset(buffer.get(), kBufferFill, c.expectedSize);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
    fake.table = table.data();

    const uint32_t result = vellomar::readStringTable(kFakeOs, buffer.get(), c.expectedSize,
                                                      table.data(), "file.txt", 0);

    EXPECT_EQ(result, c.result);
    // The file.
    EXPECT_EQ(fake.reads, c.reads);
    EXPECT_LE(fake.largestReadAsked, c.expectedSize) << "asked for more than the buffer holds";
    EXPECT_EQ(fake.closes, fake.opens) << "every file opened is closed exactly once";
    EXPECT_EQ(fake.closes, c.closes);
    EXPECT_FALSE(fake.usedWithoutOpenFile);
    EXPECT_FALSE(fake.tableWrittenBeforeClose) << "the file is closed before the data is used";
    // The box.
    if (c.box != nullptr) {
        ASSERT_EQ(fakebox::shown.size(), 1u);
        EXPECT_EQ(fakebox::shown[0].text, c.box);
        EXPECT_EQ(fakebox::shown[0].caption, "Tarvoni DLL");
    } else {
        EXPECT_TRUE(fakebox::shown.empty());
    }
    // The buffer: what arrived, and nothing else.
    for (uint32_t i = 0; i < c.expectedSize; ++i) {
        const uint8_t expected =
            i < c.arrived ? static_cast<uint8_t>(fake.content[i]) : kBufferFill;
        ASSERT_EQ(buffer[i], expected) << "buffer byte " << i;
    }
    // The table.
    if (c.result == 0) {
        EXPECT_FALSE(tableTouched(table.data())) << "a failed call leaves the table alone";
        return;
    }
    ASSERT_EQ(c.entries.size(), c.result);
    EXPECT_EQ(table[0], c.result);
    EXPECT_EQ(std::vector<uint16_t>(table.begin() + 1, table.begin() + 1 + c.result), c.entries);
    EXPECT_EQ(table[c.result + 1], VELLOMAR_END_MARKER);
    EXPECT_EQ(table[c.result + 2], kTableFill);
}

INSTANTIATE_TEST_SUITE_P(StringTable, Faults, ::testing::ValuesIn(faultCases()),
                         [](const ::testing::TestParamInfo<FaultCase> &info) {
                             std::string name = info.param.name;
                             for (char &ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

// The box's answers through whole calls: a box that cannot be shown is tried
// again on the next mismatch, Cancel silences every later one, and none of it
// changes a result.
struct BoxScript {
    const char *name;
    std::deque<int> answers;
    size_t boxesShown; // over four mismatched calls and one right one
    int lastAnswer;
};

TEST(StringTableBox, AnswersAcrossCalls) {
    const BoxScript scripts[] = {
        {"box fails every time", {0, 0, 0, 0}, 4, 0},
        {"box fails, then OK", {0, IDOK}, 4, IDOK},
        {"box fails, then Cancel", {0, IDCANCEL}, 2, IDCANCEL},
        {"Cancel at once", {IDCANCEL}, 1, IDCANCEL},
    };
    for (const BoxScript &script : scripts) {
        SCOPED_TRACE(script.name);
        fakebox::reset(script.answers);
        for (int call = 0; call < 5; ++call) {
            fake = fileOf(kText);
            // Calls 0 to 3 expect a byte more than the file has; call 4 is right.
            const uint32_t expectedSize = call < 4 ? 9 : 8;
            std::vector<uint8_t> buffer(expectedSize, kBufferFill);
            std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
            const uint32_t result = vellomar::readStringTable(kFakeOs, buffer.data(), expectedSize,
                                                              table.data(), "file.txt", 0);
            EXPECT_EQ(result, call < 4 ? 0u : 2u) << "call " << call;
            EXPECT_EQ(fake.closes, 1) << "call " << call;
        }
        EXPECT_EQ(fakebox::shown.size(), script.boxesShown);
        for (const fakebox::Shown &box : fakebox::shown)
            EXPECT_EQ(box.text, "DLL error: 8");
        EXPECT_EQ(vellomar::lastReportAnswer(), script.lastAnswer);
    }
}

} // namespace
