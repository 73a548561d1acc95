#include "tools/mark.h"

#include <cstdint>
#include <cstdio>

#include "text/text.h"

namespace vellomar {
namespace tool {

namespace {

bool isPairAt(const std::string &text, std::size_t j, uint8_t first, uint8_t second) {
    return j + 1 < text.size() && byteAt(text, j) == first && byteAt(text, j + 1) == second;
}

bool isLineBreakAt(const std::string &text, std::size_t j) {
    return isPairAt(text, j, kCR, kLF);
}

bool isMarkerAt(const std::string &text, std::size_t j) {
    return isPairAt(text, j, kMarkerAt, kMarkerEquals);
}

// The breaks a reader restores when they are stored plain: the one directly
// before a record marker, and the one that ends the file. Any other break
// stored plain would come back as 0xF2 0xF5.
bool isRestorableBreakAt(const std::string &text, std::size_t j) {
    return isLineBreakAt(text, j) && (j + 2 == text.size() || isMarkerAt(text, j + 2));
}

} // namespace

std::size_t firstRecordMarker(const std::string &text) {
    for (std::size_t j = 2; j + 1 < text.size(); ++j)
        if (isMarkerAt(text, j) && isLineBreakAt(text, j - 2))
            return j;
    return std::string::npos;
}

std::string encode(const std::string &text, Breaks breaks) {
    const std::size_t from = firstRecordMarker(text);
    if (from == std::string::npos)
        return std::string();
    std::string out;
    out.reserve(kMarkLength + text.size());
    out.append(kMark, kMarkLength);
    out.append(text, 0, from);
    for (std::size_t j = from; j < text.size(); ++j) {
        if (breaks == Breaks::plain && isRestorableBreakAt(text, j)) {
            out += static_cast<char>(kCR);
            out += static_cast<char>(kLF);
            ++j;
            continue;
        }
        out += static_cast<char>(~static_cast<unsigned char>(text[j]));
    }
    return out;
}

Marking markText(const std::string &text, Breaks breaks) {
    Marking marking;
    marking.scrambledFrom = firstRecordMarker(text);
    if (marking.scrambledFrom == std::string::npos) {
        marking.status = Status::noMarker;
        return marking;
    }
    // StringTable measures files in 32 bits.
    if (text.size() > UINT32_MAX - kMarkLength) {
        marking.status = Status::tooLong;
        return marking;
    }
    marking.bytes = encode(text, breaks);

    // Decode a copy exactly as a reader would, and find the first byte that
    // does not come back.
    std::string decoded = marking.bytes;
    decodeMarkedScalar(reinterpret_cast<uint8_t *>(&decoded[0]),
                       static_cast<uint32_t>(decoded.size()));
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const unsigned char wanted = static_cast<unsigned char>(
            i < kMarkLength ? kMark[i] : text[i - kMarkLength]);
        const unsigned char got = static_cast<unsigned char>(decoded[i]);
        if (got != wanted) {
            marking.status = Status::wouldNotComeBack;
            marking.firstDifference = i;
            marking.decodedByte = got;
            marking.wantedByte = wanted;
            return marking;
        }
    }
    marking.status = Status::ok;
    return marking;
}

std::string hexByte(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::string storedMarkerStart() {
    return {static_cast<char>(kStoredAt), static_cast<char>(kStoredEquals)};
}

std::string whyNotBack(const std::string &text, const Marking &marking) {
    const size_t at = marking.firstDifference;
    const std::string where = at < kMarkLength
                                  ? "byte " + std::to_string(at) + " of the mark \"_PW_\""
                                  : "offset " + std::to_string(at - kMarkLength) + " of the input";
    std::string why = "cannot be marked: " + where + " would be read back as " +
                      hexByte(marking.decodedByte) + " instead of " + hexByte(marking.wantedByte);
    if (at < kMarkLength + marking.scrambledFrom) {
        why += ": the head holds the bytes 0xBF 0xC2 (at offset " +
               std::to_string(text.find(storedMarkerStart())) +
               "), which a reader takes for the start of the scrambled part";
    } else if (at + 2 >= marking.bytes.size()) {
        why += ": the text ends in 0xF2 0xF5, which a reader takes for a line break stored plain";
    } else {
        const std::string storedLFThenMarker = {static_cast<char>(kStoredLF),
                                                static_cast<char>(kMarkerAt),
                                                static_cast<char>(kMarkerEquals)};
        why += ": a byte 0xF5 directly before \"@=\" (at offset " +
               std::to_string(text.find(storedLFThenMarker, marking.scrambledFrom)) +
               ") is taken by a reader for a line break stored plain";
    }
    return why;
}

} // namespace tool
} // namespace vellomar
