// Marked files: the mark test, in-place decoding (the reference and the
// dispatcher), the marking tool's output read back through StringTable, and
// its decoding of marked files back into record texts.
#include "text/kernels.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cases/case_check.h"
#include "fake_box.h"
#include "temp_folder.h"
#include "library/string_table.h"
#include "tools/decode.h"
#include "tools/mark.h"
#include "vellomar.h"

namespace {

using vellomar::tool::Breaks;
using vellomar::tool::Status;
using vellomar::tool::Storing;

const uint8_t *bytesOf(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

struct MarkedTestCase {
    const char *name;
    std::string data;
    uint32_t length; // how much of data the test is given
    bool marked;
};

TEST(IsMarked, NeedsTheMarkInTheFirstFourBytes) {
    const MarkedTestCase cases[] = {
        {"empty", "", 0, false},
        {"three bytes", "_PW", 3, false},
        {"mark cut short by the length", "_PW_", 3, false},
        {"mark alone", "_PW_", 4, true},
        {"mark and text", "_PW_hdr\r\n", 9, true},
        {"lower case", "_pw_x", 5, false},
        {"last byte differs", "_PW-x", 5, false},
        {"first byte differs", "-PW_x", 5, false},
        {"mark not at the start", " _PW_", 5, false},
    };
    for (const MarkedTestCase &c : cases)
        EXPECT_EQ(vellomar::isMarked(bytesOf(c.data), c.length), c.marked) << c.name;
}

struct DecodeCase {
    const char *name;
    std::string stored;
    std::string decoded;
};

const std::string kPartText = "h\r\n@=A\r\nb\r\n@=B\r\nc\r\n";
const std::string kPartDecoded = "_PW_" + kPartText;

const DecodeCase kDecodeCases[] = {
    {"breaks scrambled", "_PW_h\r\n" + flip("@=A\r\nb\r\n@=B\r\nc\r\n"), kPartDecoded},
    {"breaks before markers and at the end stored plain",
     "_PW_h\r\n" + flip("@=A\r\nb") + "\r\n" + flip("@=B\r\nc") + "\r\n", kPartDecoded},
    {"no stored pair: left as read, even a final 0xF2 0xF5",
     "_PW_head\r\nline\xF2\xF5", "_PW_head\r\nline\xF2\xF5"},
    {"a lone 0xBF 0xC2 is not searched for at offset 0", "\xBF\xC2\xBF\xC2", "\xBF\xC2@="},
    {"pair ending at the last byte", "_PW_h\r\n\xBF\xC2", "_PW_h\r\n@="},
    {"0xBF as the last byte gets no repair", "_PW_h\r\n\xBF\xC2\x0A\xBF",
     "_PW_h\r\n@=\xF5@"},
    {"repair needs the 0xC2 after the 0xBF", "_PW_h\r\n\xBF\xC2\x0A\xBF\x41",
     "_PW_h\r\n@=\xF5@\xBE"},
    {"repair writes CR whatever stood there",
     "_PW_h\r\n" + flip("@=Ax") + "\x0A" + flip("@=B"), "_PW_h\r\n@=A\r\n@=B"},
    {"repair reaches into the head", "_PW_hd\xF5" + flip("@=A"), "_PW_h\r\n@=A"},
    {"repair reaches into the mark", "_PW_\xF5" + flip("@=A"), "_PW\r\n@=A"},
    {"plain break not before a marker stays 0xF2 0xF5",
     "_PW_h\r\n" + flip("@=A") + "\r\n" + flip("b"), "_PW_h\r\n@=A\xF2\xF5" "b"},
    {"final plain break right after the pair", "_PW_h\r\n\xBF\xC2\r\n", "_PW_h\r\n@=\r\n"},
    {"the head is never complemented", "_PW_\xBF\xBF\xC2\xBE", "_PW_\xBF@=A"},
    {"unmarked data: nothing is written before its start", "\xF5\xBF\xC2", "\xF5@="},
    {"empty", "", ""},
    {"one byte", "\xBF", "\xBF"},
    {"two bytes", "\xBF\xC2", "\xBF\xC2"},
    {"three bytes", "_\xBF\xC2", "_@="},
};

// Runs a decoder on the case's bytes inside guard bytes, which must survive.
template <typename Decoder>
void expectDecodes(Decoder decode, const char *decoderName) {
    constexpr size_t kGuard = 8;
    constexpr uint8_t kGuardFill = 0xF5; // what a repair that ran off the data would see
    for (const DecodeCase &c : kDecodeCases) {
        SCOPED_TRACE(std::string(decoderName) + ": " + c.name);
        std::vector<uint8_t> memory(kGuard + c.stored.size() + kGuard, kGuardFill);
        std::copy(c.stored.begin(), c.stored.end(), memory.begin() + kGuard);
        decode(memory.data() + kGuard, static_cast<uint32_t>(c.stored.size()));
        EXPECT_EQ(std::string(memory.begin() + kGuard, memory.end() - kGuard), c.decoded);
        for (size_t i = 0; i < kGuard; ++i) {
            ASSERT_EQ(memory[i], kGuardFill) << "wrote before the data";
            ASSERT_EQ(memory[memory.size() - 1 - i], kGuardFill) << "wrote after the data";
        }
    }
}

TEST(DecodeMarked, ReferenceDecoder) { expectDecodes(vellomar::decodeMarkedScalar, "scalar"); }

// Each kernel set's decoding, which comes with the build.
TEST(DecodeMarked, EveryKernelSet) {
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    for (uint32_t i = 0; i < vellomar::kKernelSetCount; ++i) {
        const vellomar::KernelSet &set = *vellomar::kKernelSets[i];
        if (!set.runsOn(vellomar::processorWords()))
            continue;
        expectDecodes([&](uint8_t *data, uint32_t length) { set.decodeAndBuild(data, length, table.data()); },
                      set.name);
    }
}

// The marking tool's encoder and its refusals, on texts written by hand.
struct MarkCase {
    const char *name;
    std::string text;
    Breaks breaks;
    Status status;
    std::string bytes;      // for ok: the whole marked file
    size_t firstDifference; // for wouldNotComeBack: offset in the marked file
};

const MarkCase kMarkCases[] = {
    {"worked example, breaks scrambled", kPartText, Breaks::scrambled, Status::ok,
     "_PW_h\r\n\xBF\xC2\xBE\xF2\xF5\x9D\xF2\xF5\xBF\xC2\xBD\xF2\xF5\x9C\xF2\xF5", 0},
    {"worked example, breaks plain", kPartText, Breaks::plain, Status::ok,
     "_PW_h\r\n\xBF\xC2\xBE\xF2\xF5\x9D\r\n\xBF\xC2\xBD\xF2\xF5\x9C\r\n", 0},
    {"head of a bare line break", "\r\n@=", Breaks::scrambled, Status::ok,
     "_PW_\r\n\xBF\xC2", 0},
    {"only the breaks before markers go plain", "h\r\n@=A\r\n\r\n@=B\r\nx", Breaks::plain,
     Status::ok, "_PW_h\r\n" + flip("@=A\r\n") + "\r\n" + flip("@=B\r\nx"), 0},
    {"LF breaks have no marker", "h\n@=A\nb\n", Breaks::scrambled, Status::noMarker, "", 0},
    {"\"@=\" at the start is no marker", "@=A\r\nb", Breaks::plain, Status::noMarker, "", 0},
    {"empty text", "", Breaks::scrambled, Status::noMarker, "", 0},
    {"head holding 0xBF 0xC2", "h\xBF\xC2x\r\n@=A\r\nb", Breaks::scrambled,
     Status::wouldNotComeBack, "", 5},
    {"head starting 0xF5 0xBF 0xC2 breaks the mark", "\xF5\xBF\xC2\r\n@=A", Breaks::plain,
     Status::wouldNotComeBack, "", 3},
    {"0xF5 directly before \"@=\"", "h\r\n@=A\r\nb\xF5@=c", Breaks::scrambled,
     Status::wouldNotComeBack, "", 12},
    {"0xF5 before \"@=\" after a CR", "h\r\n@=A\r\n\r\xF5@=c", Breaks::plain,
     Status::wouldNotComeBack, "", 13},
    {"text ending in 0xF2 0xF5", "h\r\n@=A\r\nb\xF2\xF5", Breaks::plain,
     Status::wouldNotComeBack, "", 13},
};

TEST(MarkText, EncodesAndRefuses) {
    for (const MarkCase &c : kMarkCases) {
        SCOPED_TRACE(c.name);
        const vellomar::tool::Marking m = vellomar::tool::markText(c.text, c.breaks);
        ASSERT_EQ(m.status, c.status);
        if (c.status == Status::ok)
            EXPECT_EQ(m.bytes, c.bytes);
        if (c.status == Status::wouldNotComeBack)
            EXPECT_EQ(m.firstDifference, c.firstDifference);
    }
}

// Round trip through real files and StringTable.

// The buffer after its first four bytes once StringTable has read the file.
std::string textStringTableLeaves(const TempFolder &folder, const std::string &stored) {
    const std::string file = folder.write("stored.txt", stored);
    const uint32_t size = static_cast<uint32_t>(stored.size());
    std::vector<uint8_t> buffer(size);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    fakebox::reset();
    EXPECT_GT(vellomar::readStringTable(fakebox::realFilesWithFakeBox(), buffer.data(), size,
                                        table.data(), file.c_str(), 0),
              0u);
    return std::string(buffer.begin() + 4, buffer.end());
}

struct ReportCase {
    const char *name;
    std::string stored;
    Storing storing;
    Breaks breaks;
    size_t otherWay;
    Status again;
    bool comesBack;
    size_t firstDifference; // in the marked file, when it does not come back
};

constexpr size_t npos = std::string::npos;

const ReportCase kReportCases[] = {
    {"worked example, breaks scrambled", kDecodeCases[0].stored, Storing::scrambled,
     Breaks::scrambled, npos, Status::ok, true, 0},
    {"worked example, breaks plain", kDecodeCases[1].stored, Storing::plain, Breaks::plain, npos,
     Status::ok, true, 0},
    {"mixed, plain first", "_PW_h\r\n" + flip("@=A\r\nb") + "\r\n" + flip("@=B\r\nc\r\n"),
     Storing::mixed, Breaks::plain, 21, Status::ok, false, 21},
    {"mixed, scrambled first", "_PW_h\r\n" + flip("@=A\r\nb\r\n@=B\r\nc") + "\r\n",
     Storing::mixed, Breaks::scrambled, 21, Status::ok, false, 21},
    {"head ending in a byte and 0xF5", "_PW_head\xF5" + flip("@=A\r\nb\r\n"), Storing::scrambled,
     Breaks::scrambled, npos, Status::ok, false, 7},
    {"repair writes CR over a stored byte", kDecodeCases[7].stored, Storing::plain, Breaks::plain,
     npos, Status::ok, false, 10},
    {"repair reaches into the mark", kDecodeCases[9].stored, Storing::none, Breaks::scrambled, npos,
     Status::noMarker, false, 0},
    {"no stored pair, yet a record marker", "_PW_h\r\n@=A\r\nx", Storing::none,
     Breaks::scrambled, npos, Status::ok, false, 7},
    {"no break in the scrambled part", "_PW_h\r\n" + flip("@=A"), Storing::none,
     Breaks::scrambled, npos, Status::ok, true, 0},
};

TEST(DecodeFile, TextIsWhatStringTableLeaves) {
    TempFolder folder;
    std::vector<std::string> files;
    for (const DecodeCase &c : kDecodeCases)
        files.push_back(c.stored);
    for (const ReportCase &c : kReportCases)
        files.push_back(c.stored);
    for (const std::string &stored : files) {
        SCOPED_TRACE(testing::PrintToString(stored));
        const vellomar::tool::Decoding d = vellomar::tool::decodeFile(stored);
        if (!vellomar::isMarked(bytesOf(stored), static_cast<uint32_t>(stored.size()))) {
            EXPECT_EQ(d.status, vellomar::tool::DecodeStatus::notMarked);
            continue;
        }
        ASSERT_EQ(d.status, vellomar::tool::DecodeStatus::ok);
        EXPECT_EQ(d.text, textStringTableLeaves(folder, stored));
    }
}

TEST(DecodeFile, FindsTheStoringAndWhereMarkingAgainDiffers) {
    for (const ReportCase &c : kReportCases) {
        SCOPED_TRACE(c.name);
        const vellomar::tool::Decoding d = vellomar::tool::decodeFile(c.stored);
        EXPECT_EQ(d.storing, c.storing);
        EXPECT_EQ(d.breaks, c.breaks);
        EXPECT_EQ(d.otherWay, c.otherWay);
        EXPECT_EQ(d.again, c.again);
        EXPECT_EQ(d.comesBack, c.comesBack);
        const std::string report = vellomar::tool::describe(d);
        if (c.comesBack) {
            EXPECT_NE(report.find("gives back INPUT byte for byte"), npos) << report;
            continue;
        }
        EXPECT_FALSE(d.why.empty());
        if (c.again == Status::noMarker) {
            EXPECT_NE(report.find("is refused"), npos) << report;
            continue;
        }
        EXPECT_EQ(d.firstDifference, c.firstDifference);
        EXPECT_EQ(d.fileByte, static_cast<unsigned char>(c.stored[c.firstDifference]));
        const std::string again = vellomar::tool::encode(d.text, d.breaks);
        EXPECT_EQ(d.markedByte, static_cast<unsigned char>(again[c.firstDifference]));
        EXPECT_NE(report.find("offset " + std::to_string(c.firstDifference) + " of INPUT would be"),
                  npos)
            << report;
    }
}

// Record texts of every shape the format allows, and of some it cannot
// store: heads holding 0xBF 0xC2, 0xF5 right before "@=", a final 0xF2 0xF5,
// texts with LF breaks only.
class TextMaker {
public:
    explicit TextMaker(uint32_t start) : random_(start) {}

    std::string text() {
        const bool lfBreaks = chance(5);
        const std::string br = lfBreaks ? "\n" : "\r\n";
        std::vector<std::string> lines;
        const int headLines = pick(0, 2);
        for (int i = 0; i < headLines; ++i)
            lines.push_back(line(chance(8) ? "\xBF\xC2" : ""));
        if (headLines == 0 || chance(30))
            lines.push_back(""); // an empty head line, or a head of a bare break
        const int records = pick(1, 6);
        for (int r = 0; r < records; ++r) {
            lines.push_back("@=" + line(""));
            const int bodyLines = chance(25) ? 0 : pick(1, 4); // 0: marker after marker
            for (int b = 0; b < bodyLines; ++b)
                lines.push_back(chance(15) ? "" : line(chance(4) ? "\xF5@=" : ""));
        }
        std::string out;
        for (size_t i = 0; i < lines.size(); ++i)
            out += (i == 0 ? "" : br) + lines[i];
        if (chance(4))
            out += "\xF2\xF5";
        else if (chance(50))
            out += br;
        return out;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool chance(int percent) { return pick(1, 100) <= percent; }

    // Bytes of every value, now and then a planted sequence.
    std::string line(const std::string &planted) {
        std::string out;
        const int length = pick(0, 12);
        for (int i = 0; i < length; ++i)
            out += static_cast<char>(chance(50) ? pick('a', 'z') : pick(0, 255));
        if (!planted.empty())
            out.insert(static_cast<size_t>(pick(0, length)), planted);
        return out;
    }

    std::mt19937 random_;
};

TEST(MarkText, RoundTripThroughStringTable) {
    TempFolder folder;
    const vellomar::OsLayer os = fakebox::realFilesWithFakeBox();
    TextMaker maker(20260101);
    int cameBack = 0, refused = 0, noMarker = 0;
    for (int n = 0; n < 600; ++n) {
        const std::string text = maker.text();
        for (Breaks breaks : {Breaks::scrambled, Breaks::plain}) {
            SCOPED_TRACE("text " + std::to_string(n) +
                         (breaks == Breaks::plain ? ", plain breaks" : ", breaks scrambled"));
            const vellomar::tool::Marking m = vellomar::tool::markText(text, breaks);
            const size_t from = text.find("\r\n@=");
            if (from == std::string::npos) {
                EXPECT_EQ(m.status, Status::noMarker);
                ++noMarker;
                continue;
            }
            ASSERT_EQ(m.bytes.size(), text.size() + 4);
            ASSERT_EQ(m.bytes.compare(0, 4, "_PW_"), 0);
            // Up to the first marker the text stands as it is.
            ASSERT_EQ(m.bytes.compare(4, from + 2, text, 0, from + 2), 0);

            const std::string file = folder.write("marked.txt", m.bytes);
            const uint32_t size = static_cast<uint32_t>(m.bytes.size());
            std::vector<uint8_t> buffer(size + 1, kBufferFill);
            std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
            fakebox::reset();
            const uint32_t count = vellomar::readStringTable(
                os, buffer.data(), size, table.data(), file.c_str(),
                static_cast<uint32_t>(n % 2));
            ASSERT_GT(count, 0u);
            EXPECT_TRUE(fakebox::shown.empty());
            EXPECT_EQ(buffer[size], kBufferFill);

            // Indexed in record mode whatever was asked, over what the buffer holds.
            const std::string got(buffer.begin(), buffer.end() - 1);
            std::vector<uint16_t> expected(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
            EXPECT_EQ(count, vellomar::buildLineTableScalar(bytesOf(got), size, expected.data(),
                                                            vellomar::TableMode::record));
            EXPECT_EQ(table, expected);

            // Decoding gives the text StringTable leaves; a marking that
            // comes back is found stored as it was and marks back the same.
            const vellomar::tool::Decoding d = vellomar::tool::decodeFile(m.bytes);
            EXPECT_EQ(d.text, got.substr(4));
            const std::string original = "_PW_" + text;
            if (m.status == Status::ok) {
                EXPECT_EQ(got, original);
                EXPECT_TRUE(d.comesBack) << vellomar::tool::describe(d);
                if (d.storing != Storing::none)
                    EXPECT_EQ(d.storing,
                              breaks == Breaks::plain ? Storing::plain : Storing::scrambled);
                ++cameBack;
                continue;
            }
            // Refused: it must really not come back, and from where the tool said.
            ASSERT_EQ(m.status, Status::wouldNotComeBack);
            ++refused;
            size_t first = 0;
            while (first < size && got[first] == original[first])
                ++first;
            ASSERT_LT(first, size) << "refused a text that comes back";
            EXPECT_EQ(m.firstDifference, first);
            EXPECT_EQ(m.decodedByte, static_cast<unsigned char>(got[first]));
            EXPECT_EQ(m.wantedByte, static_cast<unsigned char>(original[first]));
        }
    }
    // The texts must have reached every outcome often enough to mean something.
    EXPECT_GT(cameBack, 500);
    EXPECT_GT(refused, 200);
    EXPECT_GT(noMarker, 30);
}

} // namespace
