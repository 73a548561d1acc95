// How the native and the Windows suites run and judge an end-to-end case.
// Host memory is filled with known bytes before each call, so that every
// byte the call writes shows.
#ifndef VELLOMAR_TESTS_CASE_CHECK_H
#define VELLOMAR_TESTS_CASE_CHECK_H

#include <stdint.h>

#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cases/end_to_end_cases.h"
#include "cases/host_fills.h"
#include "text/text.h"
#include "vellomar.h"

struct Call {
    uint32_t result = 0;
    std::vector<uint8_t> buffer; // expectedSize bytes and one guard byte
    std::vector<uint16_t> table;
};

// Calls stringTable (the library's function, or one wrapping it) with a
// filled buffer of expectedSize bytes plus a guard byte and a filled table
// of the record room.
template <class StringTableFn>
Call callFilled(StringTableFn stringTable, const std::string &path, uint32_t expectedSize,
                uint32_t recordMode) {
    Call c;
    c.buffer.assign(static_cast<size_t>(expectedSize) + 1, kBufferFill);
    c.table.assign(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
    c.result = stringTable(c.buffer.data(), expectedSize, c.table.data(), path.c_str(), recordMode);
    return c;
}

inline bool tableUntouched(const Call &c) {
    for (uint16_t word : c.table)
        if (word != kTableFill)
            return false;
    return true;
}

inline bool bufferUntouched(const Call &c) {
    for (uint8_t byte : c.buffer)
        if (byte != kBufferFill)
            return false;
    return true;
}

inline bool untouched(const Call &c) { return tableUntouched(c) && bufferUntouched(c); }

// Each byte complemented, as a marked file's scrambled part stores it.
inline std::string flip(const std::string &s) {
    std::string out;
    for (unsigned char c : s)
        out += static_cast<char>(~c);
    return out;
}

inline uint32_t expectedSizeOf(const EndToEndCase &e) {
    return e.fileSize + static_cast<uint32_t>(e.sizeDelta);
}

// The first way the call's outcome differs from the case, or "" when it is
// as the case says. boxTexts: the texts of the boxes the call showed.
inline std::string caseMismatch(const EndToEndCase &e, const Call &c,
                                const std::vector<std::string> &boxTexts) {
    char why[160];
    const uint32_t expectedSize = expectedSizeOf(e);
    if (c.result != e.result) {
        std::snprintf(why, sizeof why, "result %u, expected %u", c.result, e.result);
        return why;
    }
    if (c.buffer[expectedSize] != kBufferFill)
        return "wrote past expectedSize";
    if (boxTexts.size() != (e.boxText != nullptr ? 1u : 0u))
        return std::to_string(boxTexts.size()) + " boxes shown" +
               (boxTexts.empty() ? "" : ", first '" + boxTexts[0] + "'");
    if (e.boxText != nullptr && boxTexts[0] != e.boxText)
        return "box text '" + boxTexts[0] + "', expected '" + e.boxText + "'";
    if (e.result == 0) {
        if (!tableUntouched(c))
            return "table written on failure";
        // A short file leaves what arrived; a long one is not read at all.
        const uint32_t arrived = e.sizeDelta > 0 ? e.fileSize : 0;
        for (uint32_t i = 0; i < expectedSize; ++i)
            if (c.buffer[i] != (i < arrived ? static_cast<uint8_t>(e.file[i]) : kBufferFill))
                return "buffer byte " + std::to_string(i) + " is " + std::to_string(c.buffer[i]);
        return "";
    }
    const char *text = e.buffer != nullptr ? e.buffer : e.file;
    if (std::string(c.buffer.begin(), c.buffer.end() - 1) != std::string(text, e.fileSize))
        return "buffer differs from the expected text";
    if (c.table[0] != e.result)
        return "count word " + std::to_string(c.table[0]);
    for (uint32_t i = 0; i < e.result; ++i)
        if (c.table[i + 1] != e.entries[i])
            return "entry " + std::to_string(i + 1) + " is " + std::to_string(c.table[i + 1]) +
                   ", expected " + std::to_string(e.entries[i]);
    if (c.table[e.result + 1] != VELLOMAR_END_MARKER)
        return "no end marker after the entries";
    if (c.table[e.result + 2] != kTableFill)
        return "wrote past the end marker";
    return "";
}

// What StringTable must leave for a file of these bytes read at its own
// size, from text/'s byte-at-a-time reference: the buffer afterwards (a
// marked file decoded) and words 0 to count + 1 of the table.
struct Reference {
    std::string text;
    std::vector<uint16_t> table;
    uint32_t count = 0;
};

inline Reference referenceOf(const std::string &file, uint32_t recordMode) {
    Reference r{file, std::vector<uint16_t>(VELLOMAR_RECORD_TABLE_WORDS, kTableFill), 0};
    auto *data = reinterpret_cast<uint8_t *>(&r.text[0]);
    const auto length = static_cast<uint32_t>(file.size());
    const vellomar::TableMode mode =
        recordMode != 0 ? vellomar::TableMode::record : vellomar::TableMode::plain;
    r.count = vellomar::isMarked(data, length)
                  ? vellomar::decodeMarkedAndBuildScalar(data, length, r.table.data())
                  : vellomar::buildLineTableScalar(data, length, r.table.data(), mode);
    r.table.resize(r.count + 2);
    return r;
}

// A row's name as a GoogleTest name: each run of other characters becomes
// one underscore ("one byte short" gives one_byte_short).
inline std::string testNameOf(const char *rowName) {
    std::string name;
    for (const char *c = rowName; *c != 0; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)))
            name += *c;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

// Names the tests of a parameterised suite after the rows' name fields.
struct RowName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row> &info) const {
        return testNameOf(info.param.name);
    }
};

// A failing row shows by its name, not as bytes.
inline void PrintTo(const EndToEndCase &e, std::ostream *out) { *out << e.name; }

#endif
