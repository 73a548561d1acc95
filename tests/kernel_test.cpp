// Every kernel against the byte-at-a-time reference: the table build in both
// modes, the marked decoding, and decoding and build as one step. Patterns
// are placed at every offset of a 64-byte block (the widest kernel's) and at
// the very end of the data; the data always sits in a heap block of exactly
// its own length, so AddressSanitizer sees any read past its end.
#include "text/kernels.h"
#include "text/line_table.h"
#include "text/marked.h"

#include <gtest/gtest.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using vellomar::TableMode;

namespace {

using Bytes = std::vector<uint8_t>;
using BuildFn = uint32_t (*)(const uint8_t *, uint32_t, uint16_t *, TableMode);
using DecodeFn = void (*)(uint8_t *, uint32_t);
using FusedFn = uint32_t (*)(uint8_t *, uint32_t, uint16_t *);

struct Kernel {
    const char *name;
    BuildFn build;
    DecodeFn decode;
    FusedFn fused;
};

// The kernels this processor can run, and the choice the library makes.
std::vector<Kernel> kernels() {
    std::vector<Kernel> list = {
        {"chosen", vellomar::buildLineTable, vellomar::decodeMarked,
         vellomar::decodeMarkedAndBuild},
    };
#if VELLOMAR_KERNELS_SSE2
    list.push_back({"sse2", vellomar::buildLineTableSse2, vellomar::decodeMarkedSse2,
                    vellomar::decodeMarkedAndBuildSse2});
#endif
#if VELLOMAR_KERNELS_AVX2
    if (vellomar::cpuHasAvx2())
        list.push_back({"avx2", vellomar::buildLineTableAvx2, vellomar::decodeMarkedAvx2,
                        vellomar::decodeMarkedAndBuildAvx2});
#endif
    return list;
}

// Whether this processor runs AVX2 code, asked here apart from the library:
// AVX2 in CPUID leaf 7, and the AVX state saved by the system (OSXSAVE, then
// XCR0's SSE and AVX bits).
bool processorRunsAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
        return false;
    unsigned xcr0Low, xcr0High;
    __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    if ((xcr0Low & 6) != 6)
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_AVX2) != 0;
#else
    return false;
#endif
}

const char *nameOf(vellomar::KernelSet set) {
    switch (set) {
    case vellomar::KernelSet::avx2:
        return "avx2";
    case vellomar::KernelSet::sse2:
        return "sse2";
    case vellomar::KernelSet::scalar:
        return "scalar";
    }
    return "unknown";
}

// The library runs the widest set that both the build and the processor
// have. VELLOMAR_EXPECT_KERNELS, when set, names the set the run must get:
// the run on an emulated processor without AVX2 sets it to sse2, so that the
// run cannot pass on the AVX2 path.
TEST(Kernels, ChoiceFollowsTheProcessor) {
    vellomar::KernelSet want = vellomar::KernelSet::scalar;
#if VELLOMAR_KERNELS_AVX2
    want = processorRunsAvx2() ? vellomar::KernelSet::avx2 : vellomar::KernelSet::sse2;
#elif VELLOMAR_KERNELS_SSE2
    want = vellomar::KernelSet::sse2;
#endif
    EXPECT_STREQ(nameOf(vellomar::chosenKernels()), nameOf(want));
    if (const char *expected = std::getenv("VELLOMAR_EXPECT_KERNELS"))
        EXPECT_STREQ(nameOf(vellomar::chosenKernels()), expected);
}

constexpr uint16_t kHostFill = 0xA5A5;
constexpr size_t kCanaryWords = 8;
constexpr uint32_t kBlock = 64;

struct Outcome {
    uint32_t result = 0;
    std::vector<uint16_t> table; // limit + 4 words, then canary words
    Bytes data;                  // the data after the call
};

std::vector<uint16_t> hostTable(TableMode mode) {
    return std::vector<uint16_t>(vellomar::entryLimit(mode) + 4 + kCanaryWords, kHostFill);
}

Outcome build(BuildFn fn, const Bytes &data, TableMode mode) {
    Outcome out;
    out.table = hostTable(mode);
    out.data = data; // a block of exactly data.size() bytes
    out.result = fn(out.data.data(), static_cast<uint32_t>(out.data.size()), out.table.data(), mode);
    return out;
}

Outcome decode(DecodeFn fn, const Bytes &data) {
    Outcome out;
    out.data = data;
    fn(out.data.data(), static_cast<uint32_t>(out.data.size()));
    return out;
}

Outcome fused(FusedFn fn, const Bytes &data) {
    Outcome out;
    out.table = hostTable(TableMode::record);
    out.data = data;
    out.result = fn(out.data.data(), static_cast<uint32_t>(out.data.size()), out.table.data());
    return out;
}

void expectSame(const Outcome &got, const Outcome &want) {
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.table, want.table);
    EXPECT_EQ(got.data, want.data);
}

// Compares every kernel's build in both modes with the reference.
void checkBuild(const Bytes &data) {
    for (const TableMode mode : {TableMode::plain, TableMode::record}) {
        const Outcome want = build(vellomar::buildLineTableScalar, data, mode);
        for (const Kernel &kernel : kernels()) {
            SCOPED_TRACE(std::string(kernel.name) +
                         (mode == TableMode::record ? " record" : " plain"));
            expectSame(build(kernel.build, data, mode), want);
        }
    }
}

// Compares every kernel's decoding, and decoding with the build, with the
// reference pair.
void checkDecode(const Bytes &data) {
    const Outcome wantDecoded = decode(vellomar::decodeMarkedScalar, data);
    const Outcome wantFused = fused(vellomar::decodeMarkedAndBuildScalar, data);
    for (const Kernel &kernel : kernels()) {
        SCOPED_TRACE(kernel.name);
        expectSame(decode(kernel.decode, data), wantDecoded);
        expectSame(fused(kernel.fused, data), wantFused);
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
// combination of breaks, markers and repairs meets every block position.
TEST(Kernels, MatchReferenceOnRandomData) {
    std::mt19937 random(2024);
    const uint8_t textAlphabet[] = {0x0D, 0x0A, '@', '=', 'a'};
    const uint8_t storedAlphabet[] = {0x0D, 0x0A, 0xBF, 0xC2, 0xF2, 0xF5, 'a'};
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
// here and there; the data mostly complemented. The longer one is past the
// length from which the decoding asks for data ahead, and so goes over from
// that loop to the one without.
TEST(Kernels, MatchReferenceOnLongMarkedText) {
    std::mt19937 random(5);
    for (const size_t length : {size_t(300 * 1024 + 13), size_t((4u << 20) + 300 * 1024 + 13)}) {
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
                                   40000u}) {
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

#if VELLOMAR_KERNELS_AVX2 && defined(__linux__)
// The library asks the processor itself, since the Windows DLL has no C
// runtime to ask; here the compiler's runtime gives a second opinion, and
// the answer must not change once it is cached.
TEST(Kernels, ProcessorAnswersLikeTheCompilerRuntime) {
    __builtin_cpu_init();
    const bool runtime = __builtin_cpu_supports("avx2") != 0;
    EXPECT_EQ(vellomar::cpuHasAvx2(), runtime);
    EXPECT_EQ(vellomar::cpuHasAvx2(), runtime);
    // And the requests for data ahead are withheld as this processor's
    // words say.
    unsigned int eax = 0, vendorEbx = 0, ecx = 0, edx = 0;
    ASSERT_TRUE(__get_cpuid(0, &eax, &vendorEbx, &ecx, &edx));
    unsigned int leaf1Eax = 0, ebx = 0;
    ASSERT_TRUE(__get_cpuid(1, &leaf1Eax, &ebx, &ecx, &edx));
    EXPECT_EQ(vellomar::prefetchWithheld.load(),
              vellomar::prefetchPaysOn(vendorEbx, leaf1Eax) ? 0u : UINT32_MAX);
}
#endif

#if VELLOMAR_KERNELS_AVX2
// The choice from the words real processors give: whether leaf 7 exists,
// leaf 1 ECX, leaf 7 EBX and XCR0 (0 where OSXSAVE is clear and xgetbv may
// not run). The QEMU rows are what qemu-x86_64 7.2 answers for that -cpu;
// the states no emulator here reaches (an operating system that saves SSE
// but not YMM) only this table can show.
struct Processor {
    const char *name;
    bool hasLeaf7;
    uint32_t leaf1Ecx;
    uint32_t leaf7Ebx;
    uint32_t xcr0;
    bool runsAvx2;
};

const Processor kProcessors[] = {
    {"Core 2 Duo E6600: no leaf 7, no AVX", false, 0x0000E3BD, 0, 0, false},
    {"Core i7-920 (Nehalem): SSE4.2, no AVX", true, 0x0098E3BD, 0, 0, false},
    {"Core i7-2600K (Sandy Bridge): AVX without AVX2", true, 0x1FBAE3FF, 0, 0x7, false},
    {"FX-8350 (Piledriver): AVX and BMI1, no AVX2", true, 0x3E98320B, 0x00000008, 0x7, false},
    {"QEMU -cpu Nehalem,+xsave,+avx,+bmi1: AVX and BMI1, no AVX2", true, 0x9C982201,
     0x00000008, 0x7, false},
    {"Core i7-4770 (Haswell)", true, 0x7FFAFBFF, 0x000027AB, 0x7, true},
    {"Haswell, the system saves x87 and SSE state but not YMM", true, 0x7FFAFBFF, 0x000027AB,
     0x3, false},
    {"QEMU -cpu Haswell,-xsave: AVX2, but the system cannot save YMM", true, 0xF2D83203,
     0x000003A9, 0, false},
    // Past the highest leaf a processor answers with another leaf's words.
    {"Haswell with the highest leaf capped at 3 (BIOS: Limit CPUID Maxval)", false, 0x7FFAFBFF,
     0x000027AB, 0x7, false},
    {"a hypervisor hiding AVX in leaf 1 but not AVX2 in leaf 7", true, 0x6ED8320B, 0x219C91A9,
     0x7, false},
    {"Ryzen 7 3700X (Zen 2)", true, 0x7ED8320B, 0x219C91A9, 0x7, true},
    {"a KVM guest with AVX-512 state in XCR0 too", true, 0xFFFA3203, 0xF1BF07AB, 0xE7, true},
};

TEST(Kernels, ChoiceFromTheProcessorsWords) {
    for (const Processor &p : kProcessors)
        EXPECT_EQ(vellomar::avx2Runs(p.hasLeaf7, p.leaf1Ecx, p.leaf7Ebx, p.xcr0), p.runsAvx2)
            << p.name;
}

// Whether the kernels ask for data ahead, from leaf 0 EBX and leaf 1 EAX:
// the family is the base family, plus the extended one where the base is 15.
TEST(Kernels, RequestsAheadFromTheProcessorsFamily) {
    constexpr uint32_t kAmd = 0x68747541, kIntel = 0x756E6547, kHygon = 0x6F677948;
    const struct {
        const char *name;
        uint32_t vendorEbx, leaf1Eax;
        bool pays;
    } processors[] = {
        {"EPYC 7551 (Zen, family 23)", kAmd, 0x00800F12, true},
        {"Ryzen 7 3700X (Zen 2, family 23)", kAmd, 0x00870F10, true},
        {"Ryzen 9 5950X (Zen 3, family 25)", kAmd, 0x00A20F10, false},
        {"EPYC 9004 (Zen 4, family 25)", kAmd, 0x00A10F11, false},
        {"Ryzen 9 9950X (Zen 5, family 26)", kAmd, 0x00B40F40, true},
        {"Hygon Dhyana (family 24)", kHygon, 0x00900F01, true},
        {"Athlon 64 X2 (K8, family 15)", kAmd, 0x00020FB1, true},
        {"Core i7-4770 (Haswell, family 6)", kIntel, 0x000306C3, true},
    };
    for (const auto &p : processors)
        EXPECT_EQ(vellomar::prefetchPaysOn(p.vendorEbx, p.leaf1Eax), p.pays) << p.name;
}
#endif

// Odd starting addresses: the kernels load without regard to alignment.
TEST(Kernels, MatchReferenceAtEveryAlignment) {
    std::mt19937 random(9);
    const Bytes text = recordText(1000, random);
    const Bytes marked = markedText(1000, random);
    for (size_t shift = 1; shift < 40; ++shift) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        for (const TableMode mode : {TableMode::plain, TableMode::record}) {
            Bytes slice(text.begin() + static_cast<ptrdiff_t>(shift), text.end());
            const Outcome want = build(vellomar::buildLineTableScalar, slice, mode);
            for (const Kernel &kernel : kernels()) {
                std::vector<uint16_t> table = hostTable(mode);
                Bytes shifted = text; // the same bytes, starting shift bytes in
                const uint32_t result =
                    kernel.build(shifted.data() + shift, static_cast<uint32_t>(slice.size()),
                                 table.data(), mode);
                EXPECT_EQ(result, want.result) << kernel.name;
                EXPECT_EQ(table, want.table) << kernel.name;
            }
        }
        Bytes decodedWant(marked);
        vellomar::decodeMarkedScalar(decodedWant.data() + shift,
                                     static_cast<uint32_t>(marked.size() - shift));
        for (const Kernel &kernel : kernels()) {
            Bytes decoded(marked);
            kernel.decode(decoded.data() + shift, static_cast<uint32_t>(marked.size() - shift));
            EXPECT_EQ(decoded, decodedWant) << kernel.name;
        }
    }
}

} // namespace
