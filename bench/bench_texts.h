// The benchmark texts, the same bytes on every run and on every platform:
// a record text, the same text marked, and a plain text of long lines.
// Shared by the Linux benchmarks and the Windows benchmark host.
#ifndef VELLOMAR_BENCH_TEXTS_H
#define VELLOMAR_BENCH_TEXTS_H

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

// The sizes every file is measured at: small files, which the read leaves in
// the processor's caches, up to files that no cache holds.
constexpr uint32_t kLarge = 256u << 20;
constexpr std::array<uint32_t, 5> kSizes = {4u << 10, 64u << 10, 1u << 20, 16u << 20, kLarge};
constexpr std::array<const char *, 5> kSizeNames = {"4KiB", "64KiB", "1MiB", "16MiB", "256MiB"};
// A marker line every 400 lines of 20 to 70 bytes (45 on average, line break
// included) keeps 256 MiB within the record limit: about 29 800 entries. At
// 300 lines it would be about 39 800, and the walk would stop near 82 % of
// the file.
constexpr uint32_t kLinesPerRecord = 400;

// xorshift: the same files on every run.
struct Random {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 16);
    }
    uint32_t between(uint32_t low, uint32_t high) { return low + next() % (high - low + 1); }
};

inline void appendLine(Bytes &text, Random &random, uint32_t length, const char *start) {
    const size_t from = text.size();
    for (const char *c = start; *c != '\0'; ++c)
        text.push_back(static_cast<uint8_t>(*c));
    while (text.size() - from + 2 < length)
        text.push_back(static_cast<uint8_t>(random.next() % 5 == 0 ? ' ' : 'a' + random.next() % 26));
    text.push_back('\r');
    text.push_back('\n');
}

// A head line, then records: a marker line and kLinesPerRecord lines, every
// line 20 to 70 bytes with its CR LF. Cut to exactly `size` bytes.
inline Bytes recordText(uint32_t size) {
    Random random{0x9E3779B97F4A7C15u};
    Bytes text;
    text.reserve(size + 256);
    appendLine(text, random, 40, "HEAD vellomar benchmark text ");
    uint32_t record = 0;
    while (text.size() < size) {
        appendLine(text, random, random.between(20, 70),
                   ("@=R" + std::to_string(record++) + " ").c_str());
        for (uint32_t line = 0; line < kLinesPerRecord && text.size() < size; ++line)
            appendLine(text, random, random.between(20, 70), "");
    }
    text.resize(size);
    return text;
}

// The same text marked: "_PW_" in place of the head's first four bytes,
// everything from the first marker on complemented.
inline Bytes markedText(Bytes text) {
    std::memcpy(text.data(), "_PW_", 4);
    size_t start = 2;
    while (!(text[start] == '@' && text[start + 1] == '=' && text[start - 1] == '\n'))
        ++start;
    for (size_t i = start; i < text.size(); ++i)
        text[i] = static_cast<uint8_t>(~text[i]);
    return text;
}

// Plain text for plain mode: lines of 16 400 to 17 000 bytes, few enough that
// the 16 384 entries of plain mode cover the whole file.
inline Bytes plainText(uint32_t size) {
    Random random{0x2545F4914F6CDD1Du};
    Bytes text;
    text.reserve(size + 17000);
    while (text.size() < size)
        appendLine(text, random, random.between(16400, 17000), "");
    text.resize(size);
    return text;
}

} // namespace bench

#endif
