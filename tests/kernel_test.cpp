// Every kernel set against the byte-at-a-time reference: the table build in
// both modes, and a marked file's decoding with its build. Patterns are placed
// at every offset of a 64-byte block and at the very end of the data, and
// every input runs in three places: in a heap block of exactly its length
// (AddressSanitizer sees a read past it), ending right before a page the
// process cannot read, and starting right after one.
#include "text/kernels.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cases/guarded_pages.h"

using vellomar::TableMode;

namespace {

using Bytes = std::vector<uint8_t>;
using vellomar::KernelSet;

// The sets this processor runs, and the library's own choice among them.
std::vector<KernelSet> kernels() {
    std::vector<KernelSet> list = {
        {"chosen", vellomar::buildLineTable, vellomar::decodeMarkedAndBuild, nullptr}};
    const vellomar::ProcessorWords words = vellomar::processorWords();
    for (uint32_t i = 0; i + 1 < vellomar::kKernelSetCount; ++i) // all but the reference
        if (vellomar::kKernelSets[i]->runsOn(words))
            list.push_back(*vellomar::kKernelSets[i]);
    return list;
}

// The library runs the widest set that the processor runs. The test command
// names the set it must be (VELLOMAR_EXPECT_KERNELS), read from what the
// system says of the processor apart from the library, so that a run on an
// emulated processor cannot pass on another set's path.
TEST(Kernels, ChoiceFollowsTheProcessor) {
    const KernelSet &chosen = vellomar::chosenKernels();
    EXPECT_STREQ(vellomar::kKernelSets[vellomar::kKernelSetCount - 1]->name, "scalar");
    for (uint32_t i = 0; vellomar::kKernelSets[i] != &chosen; ++i)
        EXPECT_FALSE(vellomar::kKernelSets[i]->runsOn(vellomar::processorWords()))
            << vellomar::kKernelSets[i]->name << " runs here, and is listed first";
    const char *expected = std::getenv("VELLOMAR_EXPECT_KERNELS");
    if (expected == nullptr)
        GTEST_SKIP() << "VELLOMAR_EXPECT_KERNELS is not set: which set is right is not known";
    EXPECT_STREQ(chosen.name, expected);
}

constexpr uint16_t kHostFill = 0xA5A5;
constexpr size_t kCanaryWords = 8;
constexpr uint32_t kBlock = 64;

// Against a guard page, or ending one byte before a 64-byte line ends with
// bait after it: line breaks and markers, which a kernel that read past the
// data would count and one that wrote past it would change. (Blocks lie on
// aligned addresses, so a read past the data's end faults on no guard page
// that begins at a line.)
enum class Place { heap, beforeGuard, afterGuard, beforeBait };
constexpr Place kPlaces[] = {Place::heap, Place::beforeGuard, Place::afterGuard,
                             Place::beforeBait};
constexpr char kBait[] = "\r\n@=";

struct Outcome {
    uint32_t result = 0;
    std::vector<uint16_t> table; // limit + 4 words, then canary words
    Bytes data;                  // the data after the call
    bool baitKept = true;        // beforeBait: the bait after the data as it was
};

// Runs `call` on a copy of `data` in `place`, and keeps what it left there.
template <class Call> Outcome runPlaced(const Bytes &data, Place place, TableMode mode, Call call) {
    static const GuardedPages pages;
    Outcome out;
    out.table.assign(vellomar::entryLimit(mode) + 4 + kCanaryWords, kHostFill);
    out.data = data; // a heap block of exactly data.size() bytes
    uint8_t *at = out.data.data();
    const size_t baitFrom = kBlock - 1 - data.size() % kBlock + data.size();
    const bool baited = place == Place::beforeBait && baitFrom + kBlock <= pages.room();
    if (baited) {
        for (size_t i = 0; i < baitFrom + kBlock; ++i)
            pages.afterGuard()[i] = static_cast<uint8_t>(kBait[i % 4]);
        at = pages.afterGuard() + baitFrom - data.size();
    } else if (place != Place::heap && data.size() <= pages.room()) {
        at = place == Place::beforeGuard ? pages.beforeGuard(data.size()) : pages.afterGuard();
    }
    std::copy(data.begin(), data.end(), at);
    out.result = call(at, static_cast<uint32_t>(data.size()), out.table.data());
    std::copy(at, at + data.size(), out.data.begin());
    for (size_t i = baitFrom; baited && i < baitFrom + kBlock; ++i)
        out.baitKept = out.baitKept && pages.afterGuard()[i] == kBait[i % 4];
    return out;
}

Outcome build(vellomar::KernelSet::BuildFn fn, const Bytes &data, TableMode mode, Place place) {
    return runPlaced(data, place, mode, [&](uint8_t *at, uint32_t length, uint16_t *table) {
        return fn(at, length, table, mode);
    });
}

Outcome fused(vellomar::KernelSet::DecodeAndBuildFn fn, const Bytes &data, Place place) {
    return runPlaced(data, place, TableMode::record, fn);
}

void expectSame(const Outcome &got, const Outcome &want) {
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.table, want.table);
    EXPECT_EQ(got.data, want.data);
    EXPECT_TRUE(got.baitKept);
}

std::string placeName(Place place) {
    const char *const names[] = {"heap", "before a guard page", "after a guard page",
                                 "before bait"};
    return names[static_cast<int>(place)];
}

// Compares every kernel's build in both modes with the reference, in every place.
void checkBuild(const Bytes &data) {
    for (const TableMode mode : {TableMode::plain, TableMode::record}) {
        const Outcome want = build(vellomar::buildLineTableScalar, data, mode, Place::heap);
        for (const KernelSet &kernel : kernels())
            for (const Place place : kPlaces) {
                SCOPED_TRACE(std::string(kernel.name) +
                             (mode == TableMode::record ? " record, " : " plain, ") +
                             placeName(place));
                expectSame(build(kernel.build, data, mode, place), want);
            }
    }
}

// Compares every kernel's decoding and build with the reference pair, in
// every place.
void checkDecode(const Bytes &data) {
    const Outcome want = fused(vellomar::decodeMarkedAndBuildScalar, data, Place::heap);
    for (const KernelSet &kernel : kernels())
        for (const Place place : kPlaces) {
            SCOPED_TRACE(std::string(kernel.name) + ", " + placeName(place));
            expectSame(fused(kernel.decodeAndBuild, data, place), want);
        }
}


Bytes bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes complemented(Bytes data) {
    for (uint8_t &byte : data)
        byte = static_cast<uint8_t>(~byte);
    return data;
}

// A record text: a head line, then short lines with a marker line every few
// lines, so that breaks and markers fall in every block.
Bytes recordText(size_t length, std::mt19937 &random) {
    Bytes text = bytes("head line");
    while (text.size() < length) {
        text.push_back(0x0D);
        text.push_back(0x0A);
        if (random() % 4 == 0) {
            text.push_back('@');
            text.push_back('=');
        }
        const size_t letters = random() % 12;
        for (size_t i = 0; i < letters; ++i)
            text.push_back(static_cast<uint8_t>('a' + random() % 26));
    }
    text.resize(length);
    return text;
}

// The record text marked: "_PW_", the head line as it is, and everything
// from the first marker on complemented.
Bytes markedText(size_t length, std::mt19937 &random) {
    Bytes text = recordText(length, random);
    const Bytes mark = bytes("_PW_");
    std::copy(mark.begin(), mark.end(), text.begin());
    for (size_t i = 2; i + 1 < text.size(); ++i)
        if (text[i] == '@' && text[i + 1] == '=' && text[i - 1] == 0x0A) {
            for (size_t j = i; j < text.size(); ++j)
                text[j] = static_cast<uint8_t>(~text[j]);
            break;
        }
    return text;
}

Bytes placed(Bytes data, const Bytes &pattern, size_t at) {
    if (data.size() < at + pattern.size())
        data.resize(at + pattern.size(), 'x');
    std::copy(pattern.begin(), pattern.end(), data.begin() + static_cast<ptrdiff_t>(at));
    return data;
}

struct PatternCase {
    const char *name;
    Bytes pattern;
};

const Bytes CR = {0x0D}, LF = {0x0A}, CRLF = {0x0D, 0x0A};

const PatternCase kTextPatterns[] = {
    {"cr", CR},
    {"lf", LF},
    {"crlf", CRLF},
    {"marker", bytes("@=")},
    {"crlf_marker", bytes("\r\n@=")},
    {"crlf_at", bytes("\r\n@")},
    {"crlf_marker_crlf_marker", bytes("\r\n@=\r\n@=")},
    {"cr_cr_lf", bytes("\r\r\n")},
    {"crlf_crlf", bytes("\r\n\r\n")},
};

class BuildPatterns : public ::testing::TestWithParam<PatternCase> {};

// Over quiet text and over text with breaks everywhere, the pattern at every
// offset of four blocks, and ending the data at every offset of four: the
// quiet loops step over two blocks at a time, so the pattern falls in the
// first and in the second block of a step, with steps before and after it.
TEST_P(BuildPatterns, MatchReferenceAtEveryOffsetAndAtTheEnd) {
    const Bytes &pattern = GetParam().pattern;
    std::mt19937 random(7);
    const Bytes quiet(5 * kBlock + 7, 'x');
    const Bytes busy = recordText(5 * kBlock + 7, random);
    for (const Bytes *background : {&quiet, &busy}) {
        for (size_t at = 0; at < 4 * kBlock + 3; ++at) {
            SCOPED_TRACE("at " + std::to_string(at));
            checkBuild(placed(*background, pattern, at));
        }
        for (size_t length = pattern.size(); length < 4 * kBlock + 8; ++length) {
            SCOPED_TRACE("ending the data at " + std::to_string(length));
            Bytes data(background->begin(), background->begin() + static_cast<ptrdiff_t>(length));
            checkBuild(placed(data, pattern, length - pattern.size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, BuildPatterns, ::testing::ValuesIn(kTextPatterns),
                         [](const auto &info) { return std::string(info.param.name); });

// Stored patterns: the first stored marker, a line break stored plain before
// it, one that is complemented, 0xF5 before a stored marker (in the head it
// is repaired, in the scrambled part it is not), and a final line break
// stored plain or complemented.
const PatternCase kStoredPatterns[] = {
    {"stored_marker", {0xBF, 0xC2}},
    {"plain_break_before_stored_marker", {0x0D, 0x0A, 0xBF, 0xC2}},
    {"stored_break_before_stored_marker", {0xF2, 0xF5, 0xBF, 0xC2}},
    {"f5_before_stored_marker", {0xF5, 0xBF, 0xC2}},
    {"lf_before_stored_marker", {0x0A, 0xBF, 0xC2}},
    {"two_repairs_in_a_row", {0x0A, 0xBF, 0xC2, 0x0A, 0xBF, 0xC2}},
    {"stored_break_then_repair", {0xF2, 0xF5, 0x0A, 0xBF, 0xC2}},
    {"stored_marker_then_repair", {0xF2, 0xF5, 0xBF, 0xC2, 0x0A, 0xBF, 0xC2}},
    {"stored_at", {0xBF}},
    {"plain_break", {0x0D, 0x0A}},
    {"stored_break", {0xF2, 0xF5}},
    {"f2", {0xF2}},
    {"lone_cr", {0x0D}},
};

class DecodePatterns : public ::testing::TestWithParam<PatternCase> {};

// Over a marked text, and over a head with no stored marker (so that the
// pattern may be what starts the scrambled part), the pattern at every
// offset of two blocks, and ending the data at every offset of a block.
TEST_P(DecodePatterns, MatchReferenceAtEveryOffsetAndAtTheEnd) {
    const Bytes &pattern = GetParam().pattern;
    std::mt19937 random(11);
    const Bytes marked = markedText(3 * kBlock + 9, random);
    const Bytes head = placed(Bytes(3 * kBlock + 9, 'h'), bytes("_PW_"), 0);
    for (const Bytes *background : {&marked, &head}) {
        for (size_t at = 0; at < 2 * kBlock + 3; ++at) {
            SCOPED_TRACE("at " + std::to_string(at));
            checkDecode(placed(*background, pattern, at));
        }
        for (size_t length = pattern.size(); length < 2 * kBlock + 8; ++length) {
            SCOPED_TRACE("ending the data at " + std::to_string(length));
            Bytes data(background->begin(), background->begin() + static_cast<ptrdiff_t>(length));
            checkDecode(placed(data, pattern, length - pattern.size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, DecodePatterns, ::testing::ValuesIn(kStoredPatterns),
                         [](const auto &info) { return std::string(info.param.name); });

// Short data drawn from the bytes that matter, at random lengths: every
// combination of breaks, markers and repairs meets every block position. With
// the bytes that differ from them in the lowest bit, which a comparison of
// whole words that let a borrow run into the next byte would take for them.
TEST(Kernels, MatchReferenceOnRandomData) {
    std::mt19937 random(2024);
    const uint8_t textAlphabet[] = {0x0D, 0x0A, '@', '=', 'a', 0x0C, 0x0B, 'A', '<'};
    const uint8_t storedAlphabet[] = {0x0D, 0x0A, 0xBF, 0xC2, 0xF2, 0xF5,
                                      'a',  0xBE, 0xC3, 0xF3, 0xF4};
    for (int round = 0; round < 1500; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const size_t length = random() % 300;
        Bytes text(length), stored(length);
        for (size_t i = 0; i < length; ++i) {
            text[i] = textAlphabet[random() % sizeof textAlphabet];
            stored[i] = storedAlphabet[random() % sizeof storedAlphabet];
        }
        checkBuild(text);
        checkDecode(stored.size() >= 4 ? placed(stored, bytes("_PW_"), 0) : stored);
    }
}

TEST(Kernels, EmptyAndTinyData) {
    for (const char *text : {"", "x", "\r", "\n", "\r\n", "@=", "\r\n@", "\r\n@="})
        checkBuild(bytes(text));
    // The last two: the scrambled part from byte 1, where only one byte lies
    // before its first block, with repairs in that block and the next.
    for (const Bytes &stored :
         {Bytes{}, Bytes{0xBF}, Bytes{0xBF, 0xC2}, Bytes{0xF2, 0xF5}, Bytes{0xF5, 0xBF, 0xC2},
          Bytes{'_', 0xBF, 0xC2},
          placed(placed(Bytes(2 * kBlock + 5, 0xF2), {'_', 0xBF, 0xC2, 0x0A, 0xBF, 0xC2}, 0),
                 {0x0A, 0xBF, 0xC2}, kBlock),
          placed(Bytes(kBlock + 3, 0xF5), {0xF5, 0xBF, 0xC2, 0xF5, 0x0A, 0xBF, 0xC2}, 0)})
        checkDecode(stored);
}

// Long text over many blocks, with line breaks before markers stored plain
// here and there; the data mostly complemented.
TEST(Kernels, MatchReferenceOnLongMarkedText) {
    std::mt19937 random(5);
    for (const size_t length : {size_t(300 * 1024 + 13), size_t((1u << 20) + 13)}) {
        SCOPED_TRACE("length " + std::to_string(length));
        Bytes data = markedText(length, random);
        for (size_t i = 8; i + 1 < data.size(); ++i)
            if (data[i] == 0xBF && data[i + 1] == 0xC2 && random() % 3 == 0) {
                data[i - 2] = 0x0D;
                data[i - 1] = 0x0A;
            }
        checkDecode(data);
        checkBuild(complemented(data));
    }
    // Nothing stored plain: the decoded text is the record text again.
    Bytes plain = markedText(100 * 1024, random);
    checkDecode(plain);
}

// The fused kernels walk a block only once the block after it is decoded:
// that block's first repair rewrites the byte before it, which may complete a
// complemented break or marker. The head made longer one byte at a time, so
// that the blocks fall at every offset, with such repairs at the starts of
// the first blocks after the head, and next to them.
TEST(Kernels, FusedKernelsWalkOnlyWhatIsFinal) {
    std::mt19937 random(13);
    const Bytes marked = markedText(8 * kBlock, random);
    const PatternCase patterns[] = {
        {"break_before_repair", {0xF2, 0xF5, 0x0A, 0xBF, 0xC2}},
        {"marker_before_repair", {0xF2, 0xF5, 0xBF, 0xC2, 0x0A, 0xBF, 0xC2}},
    };
    for (size_t longer = 0; longer < kBlock; ++longer) {
        Bytes data(marked.begin(), marked.begin() + 4);
        data.insert(data.end(), longer, 'h');
        data.insert(data.end(), marked.begin() + 4, marked.end());
        size_t start = 1;
        while (!(data[start] == 0xBF && data[start + 1] == 0xC2))
            ++start;
        for (const PatternCase &pattern : patterns)
            for (const size_t block : {kBlock / 2, kBlock, 2 * kBlock, 3 * kBlock})
                for (size_t lf = start + block - 1; lf <= start + block + 1; ++lf) {
                    SCOPED_TRACE(std::string(pattern.name) + ", head longer by " +
                                 std::to_string(longer) + ", LF at " + std::to_string(lf));
                    checkDecode(placed(data, pattern.pattern, lf - (pattern.pattern.size() - 3)));
                }
    }
}

// The entry limit: one entry short of it, exactly at it, and past it, with
// lines of varying length so the entry that crosses falls anywhere in a
// block. The host's table is exactly limit + 4 words with canaries after it.
TEST(Kernels, StopAtTheEntryLimitLikeTheReference) {
    std::mt19937 random(3);
    for (const uint32_t entries : {16383u, 16384u, 16385u, 16386u, 32767u, 32768u, 32769u,
                                   32770u, 32772u, 40000u}) {
        SCOPED_TRACE(std::to_string(entries) + " entries");
        Bytes lines, records = bytes("head");
        for (uint32_t i = 1; i < entries; ++i) {
            const Bytes line(random() % 5, 'y');
            lines.insert(lines.end(), line.begin(), line.end());
            lines.insert(lines.end(), {0x0D, 0x0A});
            if (i % 2 == 1) {
                records.insert(records.end(), {0x0D, 0x0A, '@', '='});
                records.insert(records.end(), line.begin(), line.end());
            } else {
                records.insert(records.end(), {0x0D, 0x0A});
                records.insert(records.end(), line.begin(), line.end());
            }
        }
        checkBuild(lines);
        checkBuild(records);
        // Marked, the decoding goes on to the end after the table is full.
        Bytes marked = records;
        std::copy_n(bytes("_PW_").begin(), 4, marked.begin());
        for (size_t i = 6; i < marked.size(); ++i)
            marked[i] = static_cast<uint8_t>(~marked[i]);
        checkDecode(marked);
    }
    // Marked, with the table full while the fused kernels still walk the
    // head: marker lines stored plain there make 66,000 entries before the
    // first stored marker, and the decoding that follows must still cover
    // every block after it.
    Bytes head = bytes("_PW_h");
    for (int i = 0; i < 33000; ++i)
        head.insert(head.end(), {0x0D, 0x0A, '@', '=', 'x'});
    head.insert(head.end(), {0x0D, 0x0A});
    std::string records;
    for (int i = 0; i < 20; ++i)
        records += "@=R" + std::to_string(i) + "\r\nbody line " + std::to_string(i) + "\r\n";
    const Bytes stored = complemented(bytes(records));
    head.insert(head.end(), stored.begin(), stored.end());
    SCOPED_TRACE("table full in the head");
    checkDecode(head);
}


// The choice from the words real processors give: whether leaf 7 exists,
// leaf 1 ECX and EDX, leaf 7 EBX and XCR0 (0 where OSXSAVE is clear and
// xgetbv may not run). The QEMU rows are what qemu-x86_64 7.2 answers for
// that -cpu; the states no emulator here reaches (a system that saves SSE
// but not YMM) only this table can show. The 32-bit DLL still runs on
// processors without SSE2, which run the word kernels.
struct Processor {
    const char *name;
    vellomar::ProcessorWords words;
    const char *runs; // the widest set it runs
};

const Processor kProcessors[] = {
    {"Pentium III (Coppermine), serial number on: SSE, no SSE2", {false, 0, 0x0387FBFF, 0, 0},
     "words"},
    {"Athlon XP (Thoroughbred): SSE, no SSE2", {false, 0, 0x0383FBFF, 0, 0}, "words"},
    {"Pentium Pro: no MMX, no SSE", {false, 0, 0x0000FBFF, 0, 0}, "words"},
    {"Pentium 4 (Northwood): SSE2, no leaf 7", {false, 0x00004400, 0xBFEBFBFF, 0, 0}, "sse2"},
    {"Core 2 Duo E6600: no leaf 7, no AVX", {false, 0x0000E3BD, 0xBFEBFBFF, 0, 0}, "sse2"},
    {"Core i7-920 (Nehalem): SSE4.2, no AVX", {true, 0x0098E3BD, 0xBFEBFBFF, 0, 0}, "sse2"},
    {"QEMU -cpu Nehalem", {true, 0x80982201, 0x078BFBFD, 0, 0}, "sse2"},
    {"Core i7-2600K (Sandy Bridge): AVX without AVX2", {true, 0x1FBAE3FF, 0xBFEBFBFF, 0, 0x7},
     "sse2"},
    {"FX-8350 (Piledriver): AVX and BMI1, no AVX2", {true, 0x3E98320B, 0x178BFBFF, 0x8, 0x7},
     "sse2"},
    {"QEMU -cpu Nehalem,+xsave,+avx,+bmi1: AVX and BMI1, no AVX2",
     {true, 0x9C982201, 0x078BFBFD, 0x8, 0x7}, "sse2"},
    {"Core i7-4770 (Haswell)", {true, 0x7FFAFBFF, 0xBFEBFBFF, 0x27AB, 0x7}, "avx2"},
    {"Haswell, the system saves x87 and SSE state but not YMM",
     {true, 0x7FFAFBFF, 0xBFEBFBFF, 0x27AB, 0x3}, "sse2"},
    {"QEMU -cpu Haswell,-xsave: AVX2, but the system cannot save YMM",
     {true, 0xF2D83203, 0x078BFBFD, 0x3A9, 0}, "sse2"},
    // Past the highest leaf a processor answers with another leaf's words.
    {"Haswell with the highest leaf capped at 3 (BIOS: Limit CPUID Maxval)",
     {false, 0x7FFAFBFF, 0xBFEBFBFF, 0x27AB, 0x7}, "sse2"},
    {"a hypervisor hiding AVX in leaf 1 but not AVX2 in leaf 7",
     {true, 0x6ED8320B, 0x178BFBFF, 0x219C91A9, 0x7}, "sse2"},
    {"Ryzen 7 3700X (Zen 2)", {true, 0x7ED8320B, 0x178BFBFF, 0x219C91A9, 0x7}, "avx2"},
    {"a KVM guest with AVX-512 state in XCR0 too", {true, 0xFFFA3203, 0x0F8BFBFF, 0xF1BF07AB, 0xE7},
     "avx2"},
};

TEST(Kernels, ChoiceFromTheProcessorsWords) {
    // The rows are x86 processors: where this build has every x86 set, the
    // library's choice goes by the same words.
    std::string sets;
    for (uint32_t i = 0; i < vellomar::kKernelSetCount; ++i)
        sets += std::string(vellomar::kKernelSets[i]->name) + " ";
    const bool x86Sets = sets == "avx2 sse2 words scalar ";
    for (const Processor &p : kProcessors) {
        const char *runs = vellomar::avx2Runs(p.words)   ? "avx2"
                           : vellomar::sse2Runs(p.words) ? "sse2"
                                                         : "words";
        EXPECT_STREQ(runs, p.runs) << p.name;
        if (x86Sets)
            EXPECT_STREQ(vellomar::kernelsFor(p.words).name, p.runs) << p.name;
    }
}

// The words from what cpuid and xgetbv answer, raw: leaf 7 is read up to
// the highest leaf, and XCR0 only where OSXSAVE lets xgetbv run (AVX alone
// does not: xgetbv would raise SIGILL where the system has XSAVE off).
struct Answers {
    const char *name;
    vellomar::CpuidAnswers answers;
    bool xgetbvRuns;
    const char *runs;
};

const Answers kAnswers[] = {
    {"Haswell with the highest leaf exactly 7", {7, 0x7FFAFBFF, 0xBFEBFBFF, 0x27AB, 0x7}, true,
     "avx2"},
    {"Haswell with the highest leaf capped at 6", {6, 0x7FFAFBFF, 0xBFEBFBFF, 0x27AB, 0x7}, true,
     "sse2"},
    {"AVX and AVX2 said, OSXSAVE clear (XSAVE off)", {13, 0x77FAFBFF, 0xBFEBFBFF, 0x27AB, 0x7},
     false, "sse2"},
    {"Pentium III: highest leaf 3", {3, 0, 0x0383FBFF, 0xFFFFFFFF, 0xFFFFFFFF}, false, "words"},
};

TEST(Kernels, ChoiceFromWhatCpuidAnswers) {
    for (const Answers &a : kAnswers) {
        const vellomar::ProcessorWords words = vellomar::wordsFrom(a.answers);
        EXPECT_EQ(vellomar::xgetbvRuns(a.answers.leaf1Ecx), a.xgetbvRuns) << a.name;
        const char *runs = vellomar::avx2Runs(words)   ? "avx2"
                           : vellomar::sse2Runs(words) ? "sse2"
                                                       : "words";
        EXPECT_STREQ(runs, a.runs) << a.name;
    }
}

// Odd starting addresses: blocks lie on aligned addresses, so the data's
// first and last blocks are partial at every offset but one.
TEST(Kernels, MatchReferenceAtEveryAlignment) {
    std::mt19937 random(9);
    const Bytes text = recordText(1000, random);
    const Bytes marked = markedText(1000, random);
    for (size_t shift = 0; shift < kBlock; ++shift) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        // A heap block of exactly the slice's length would lie at the
        // allocator's alignment; these lie shift bytes past a page's start.
        static const GuardedPages pages;
        for (const TableMode mode : {TableMode::plain, TableMode::record}) {
            const Bytes slice(text.begin() + static_cast<ptrdiff_t>(shift), text.end());
            const Outcome want = build(vellomar::buildLineTableScalar, slice, mode, Place::heap);
            for (const KernelSet &kernel : kernels()) {
                std::vector<uint16_t> table(want.table.size(), kHostFill);
                std::copy(text.begin(), text.end(), pages.afterGuard());
                const uint32_t result =
                    kernel.build(pages.afterGuard() + shift, static_cast<uint32_t>(slice.size()),
                                 table.data(), mode);
                EXPECT_EQ(result, want.result) << kernel.name;
                EXPECT_EQ(table, want.table) << kernel.name;
            }
        }
        Bytes wantData(marked);
        std::vector<uint16_t> wantTable(VELLOMAR_RECORD_TABLE_WORDS + kCanaryWords, kHostFill);
        const uint32_t length = static_cast<uint32_t>(marked.size() - shift);
        const uint32_t wantResult =
            vellomar::decodeMarkedAndBuildScalar(wantData.data() + shift, length, wantTable.data());
        for (const KernelSet &kernel : kernels()) {
            std::vector<uint16_t> table(wantTable.size(), kHostFill);
            std::copy(marked.begin(), marked.end(), pages.afterGuard());
            const uint32_t result =
                kernel.decodeAndBuild(pages.afterGuard() + shift, length, table.data());
            EXPECT_EQ(result, wantResult) << kernel.name;
            EXPECT_EQ(table, wantTable) << kernel.name;
            EXPECT_TRUE(std::equal(wantData.begin(), wantData.end(), pages.afterGuard()))
                << kernel.name;
        }
    }
}

} // namespace
