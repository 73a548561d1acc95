#include "tools/mark.h"

#include <cstdint>

#include "text/marked.h"

namespace vellomar {
namespace mark {

namespace {

constexpr char kMark[] = "_PW_";
constexpr std::size_t kMarkLength = 4;

bool isLineBreakAt(const std::string &text, std::size_t j) {
    return j + 1 < text.size() && text[j] == '\r' && text[j + 1] == '\n';
}

bool isMarkerAt(const std::string &text, std::size_t j) {
    return j + 1 < text.size() && text[j] == '@' && text[j + 1] == '=';
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
            out += "\r\n";
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

} // namespace mark
} // namespace vellomar
