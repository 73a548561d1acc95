#include "text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vellomar::buildLineTable;
using vellomar::buildLineTableScalar;
using vellomar::TableMode;

namespace {

constexpr uint16_t kHostFill = 0xA5A5; // what the host left in its table
constexpr size_t kCanaryWords = 8;     // beyond limit + 4, must stay untouched

struct Built {
    uint32_t result;
    std::vector<uint16_t> table; // limit + 4 words, then the canary words
};

Built build(const std::string &data, TableMode mode) {
    Built built;
    built.table.assign(vellomar::entryLimit(mode) + 4 + kCanaryWords, kHostFill);
    built.result = buildLineTable(reinterpret_cast<const uint8_t *>(data.data()),
                                  static_cast<uint32_t>(data.size()), built.table.data(), mode);
    return built;
}

// Checks count, entries, end marker, and that nothing after the marker moved.
void expectTable(const Built &built, const std::vector<uint16_t> &entries) {
    const uint32_t count = static_cast<uint32_t>(entries.size());
    ASSERT_EQ(built.result, count);
    EXPECT_EQ(built.table[0], static_cast<uint16_t>(count));
    const std::vector<uint16_t> got(built.table.begin() + 1, built.table.begin() + 1 + count);
    EXPECT_EQ(got, entries);
    EXPECT_EQ(built.table[count + 1], VELLOMAR_END_MARKER);
    for (size_t i = count + 2; i < built.table.size(); ++i)
        ASSERT_EQ(built.table[i], kHostFill) << "word " << i;
}

struct TableCase {
    const char *name;
    std::string data;
    TableMode mode;
    std::vector<uint16_t> entries;
};

const std::string kRecordText = "hdr\r\n@=A\r\nbodyA1\r\nbodyA2\r\n@=B\r\nbodyB";

class LineTableCases : public ::testing::TestWithParam<TableCase> {};

TEST_P(LineTableCases, WritesEntriesAndEndMarker) {
    expectTable(build(GetParam().data, GetParam().mode), GetParam().entries);
}

const TableCase kTableCases[] = {
    {"plain_three_lines", "abc\r\ndef\r\nxy", TableMode::plain, {5, 5, 4}},
    {"plain_trailing_break", "abc\r\ndef\r\nxy\r\n", TableMode::plain, {5, 5, 4, 2}},
    {"plain_single_break", "\r\n", TableMode::plain, {2, 2}},
    {"plain_single_byte", "x", TableMode::plain, {3}},
    {"empty_plain", "", TableMode::plain, {3}},
    {"empty_record", "", TableMode::record, {3}},
    {"lone_cr_is_text", "ab\r\r\ncd", TableMode::plain, {5, 4}},
    {"cr_at_the_end_is_text", "ab\r\ncd\r", TableMode::plain, {4, 5}},
    {"lf_alone_is_text", "ab\ncd", TableMode::plain, {7}},
    {"record_example", kRecordText, TableMode::record, {5, 5, 16, 5, 7}},
    {"record_example_in_plain_mode", kRecordText, TableMode::plain, {5, 5, 8, 8, 5, 7}},
    {"marker_at_start_is_not_a_marker", "@=A\r\nbody\r\n@=B\r\nx", TableMode::record, {11, 5, 3}},
    {"marker_line_unclosed", "hdr\r\n@=Z", TableMode::record, {5, 5}},
    {"marker_line_closed_at_end", "hdr\r\n@=Z\r\n", TableMode::record, {5, 5, 2}},
    {"bare_marker_at_end", "hdr\r\n@=", TableMode::record, {5, 4}},
    {"half_marker_at_end", "hdr\r\n@", TableMode::record, {8}},
    {"first_line_marker_and_empty_line", "@=A\r\n\r\n@=B", TableMode::record, {7, 5}},
    {"empty_body_between_real_markers", "h\r\n@=A\r\n\r\n@=B", TableMode::record,
     {3, 5, 2, 5}},
    {"marker_after_marker",
     "hdr\r\n@=A\r\n@=B\r\nbodyB\r\n@=C\r\nbodyC",
     TableMode::record,
     {5, 5, 5, 7, 5, 7}},
    {"three_markers_in_a_row", "h\r\n@=1\r\n@=2\r\n@=3\r\nb", TableMode::record,
     {3, 5, 5, 5, 3}},
    {"marker_after_marker_at_end", "h\r\n@=1\r\n@=2", TableMode::record, {3, 5, 5}},
    {"no_marker_is_one_entry", "a\r\nb\r\nc", TableMode::record, {9}},
    {"cr_before_marker_without_lf", "a\r@=b\r\nc", TableMode::record, {10}},
};

INSTANTIATE_TEST_SUITE_P(Tables, LineTableCases, ::testing::ValuesIn(kTableCases),
                         [](const auto &info) { return std::string(info.param.name); });

std::string repeatedBreaks(uint32_t breaks) {
    std::string data;
    for (uint32_t i = 0; i < breaks; ++i)
        data += "\r\n";
    return data;
}

std::string records(uint32_t markers) {
    std::string data = "head";
    for (uint32_t i = 0; i < markers; ++i)
        data += "\r\n@=x";
    return data;
}

struct LimitCase {
    const char *name;
    std::string data;
    TableMode mode;
    uint32_t result;
    uint16_t lastEntry; // the word at index result
};

class EntryLimit : public ::testing::TestWithParam<LimitCase> {};

// Past the limit the count stays limit + 1, the entry that raised it is
// written, the end marker follows, and nothing beyond limit + 2 is touched.
TEST_P(EntryLimit, StopsOnePastAndWritesNothingBeyond) {
    const LimitCase &param = GetParam();
    const Built built = build(param.data, param.mode);
    ASSERT_EQ(built.result, param.result);
    EXPECT_EQ(built.table[0], static_cast<uint16_t>(param.result));
    EXPECT_EQ(built.table[param.result], param.lastEntry);
    EXPECT_EQ(built.table[param.result + 1], VELLOMAR_END_MARKER);
    for (size_t i = param.result + 2; i < built.table.size(); ++i)
        ASSERT_EQ(built.table[i], kHostFill) << "word " << i;
}

const uint32_t kPlain = VELLOMAR_PLAIN_ENTRY_LIMIT;
const uint32_t kRecord = VELLOMAR_RECORD_ENTRY_LIMIT;

const LimitCase kLimitCases[] = {
    {"plain_exactly_at_limit", repeatedBreaks(kPlain - 1), TableMode::plain, kPlain, 2},
    {"plain_one_past", repeatedBreaks(kPlain), TableMode::plain, kPlain + 1, 2},
    {"plain_far_past", repeatedBreaks(3 * kPlain), TableMode::plain, kPlain + 1, 2},
    {"record_exactly_at_limit", records(kRecord - 1), TableMode::record, kRecord, 5},
    {"record_one_past", records(kRecord), TableMode::record, kRecord + 1, 5},
    {"record_far_past", records(2 * kRecord), TableMode::record, kRecord + 1, 5},
    {"record_text_in_plain_mode_past", records(kPlain + 5), TableMode::plain, kPlain + 1, 5},
};

INSTANTIATE_TEST_SUITE_P(Limits, EntryLimit, ::testing::ValuesIn(kLimitCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(LineTable, LongEntryStoresLowSixteenBitsOfItsLength) {
    const std::string line(70000, 'x');
    expectTable(build(line + "\r\nend", TableMode::plain), {static_cast<uint16_t>(70002), 5});
    expectTable(build("h\r\n@=A\r\n" + line, TableMode::record),
                {3, 5, static_cast<uint16_t>(70002)});
}

TEST(LineTable, BuildReadsTheDataWithoutChangingIt) {
    const std::string data = kRecordText + "\r\n\r";
    std::string copy = data;
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    buildLineTable(reinterpret_cast<const uint8_t *>(copy.data()),
                   static_cast<uint32_t>(copy.size()), table.data(), TableMode::record);
    EXPECT_EQ(copy, data);
}

} // namespace
