#include "tools/decode.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "text/text.h"

namespace vellomar {
namespace tool {

namespace {

std::string hexPair(const std::string &s, std::size_t at) {
    return hexByte(byteAt(s, at)) + " " + hexByte(byteAt(s, at + 1));
}

std::string inInput(std::size_t at) { return "offset " + std::to_string(at) + " of INPUT"; }

std::string withBreaks(Breaks breaks) {
    return breaks == Breaks::plain ? "with --plain-breaks" : "without --plain-breaks";
}

// A line break that a reader restores, at its file offset, and whether the
// file stores it as CR LF. Before a marker the decoder looks only at the LF:
// a stored 0x0A makes it write CR over whatever byte precedes.
struct StoredBreak {
    std::size_t at;
    bool plain;
};

std::vector<StoredBreak> storedBreaks(const std::string &file, const std::string &decoded,
                                      std::size_t from) {
    std::vector<StoredBreak> breaks;
    const std::size_t length = file.size();
    for (std::size_t j = from; j + 1 < length; ++j) {
        if (byteAt(decoded, j) != kCR || byteAt(decoded, j + 1) != kLF)
            continue;
        const bool last = j + 2 == length;
        const bool beforeMarker = j + 3 < length && byteAt(decoded, j + 2) == kMarkerAt &&
                                  byteAt(decoded, j + 3) == kMarkerEquals;
        if (last)
            breaks.push_back({j, byteAt(file, j) == kCR && byteAt(file, j + 1) == kLF});
        else if (beforeMarker)
            breaks.push_back({j, byteAt(file, j + 1) == kLF});
    }
    return breaks;
}

// Why marking the text again writes something else at the first offset that
// differs, from what stands there in the file.
std::string whyItDiffers(const std::string &file, const Decoding &d,
                         const std::vector<StoredBreak> &breaks, bool headRepaired,
                         std::size_t markedFrom) {
    const std::size_t at = d.firstDifference;
    const std::size_t k = d.scrambledFrom;
    if (headRepaired && (at == k - 2 || at == k - 1))
        return "the head ends in " + hexPair(file, k - 2) + " at " + inInput(k - 2) +
               ", directly before the first stored record marker; the decoder's repair makes "
               "them a line break (CR LF), which marking keeps in the head as it is" +
               (k - 2 < kMarkLength ? "; its CR falls on the mark's last byte" : "");
    for (const StoredBreak &b : breaks) {
        if (at != b.at && at != b.at + 1)
            continue;
        std::string why = "the line break at " + inInput(b.at) + " is stored as " +
                          hexPair(file, b.at);
        if (b.plain && byteAt(file, b.at) != kCR)
            why += ", which the decoder's repair turns into CR LF";
        if (d.storing == Storing::mixed && b.plain != (d.breaks == Breaks::plain))
            why += ", the other way from the first break";
        return why + "; marking " + withBreaks(d.breaks) + " stores it as " +
               (d.breaks == Breaks::plain ? "0x0D 0x0A" : "0xF2 0xF5");
    }
    if (k != markedFrom) {
        const std::string where = k == std::string::npos
                                      ? "INPUT has no scrambled part (no stored \"@=\", 0xBF 0xC2)"
                                      : "INPUT's scrambled part begins at " + inInput(k) +
                                            ", its first stored \"@=\" (0xBF 0xC2)";
        return where + ", but marking scrambles from the text's first record marker, at " +
               inInput(markedFrom);
    }
    return std::string();
}

} // namespace

Decoding decodeFile(const std::string &file) {
    Decoding d;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(file.data());
    if (file.size() > UINT32_MAX) {
        d.status = DecodeStatus::tooLong;
        return d;
    }
    const uint32_t length = static_cast<uint32_t>(file.size());
    if (!isMarked(bytes, length)) {
        d.status = DecodeStatus::notMarked;
        return d;
    }
    d.status = DecodeStatus::ok;

    // StringTable's own step on a marked file, table and all, so that the
    // text is what a host would find in its buffer.
    std::string decoded = file;
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    decodeMarkedAndBuild(reinterpret_cast<uint8_t *>(&decoded[0]), length, table.data());
    d.text = decoded.substr(kMarkLength);

    d.scrambledFrom = file.find(storedMarkerStart());
    const std::size_t k = d.scrambledFrom;
    // The break before the first stored marker lies in the head, which
    // marking keeps as it is; the decoder still repairs it when the head
    // ends in 0xF5, and then writes CR over the byte before, even the mark's.
    const bool headRepaired =
        k != std::string::npos && k > kMarkLength && byteAt(file, k - 1) == kStoredLF;
    d.markRewritten = headRepaired && k - 2 < kMarkLength;

    std::vector<StoredBreak> breaks;
    if (k != std::string::npos)
        breaks = storedBreaks(file, decoded, k);
    if (!breaks.empty()) {
        d.breaks = breaks[0].plain ? Breaks::plain : Breaks::scrambled;
        d.storing = breaks[0].plain ? Storing::plain : Storing::scrambled;
        for (const StoredBreak &b : breaks) {
            if (b.plain != breaks[0].plain) {
                d.storing = Storing::mixed;
                d.otherWay = b.at;
                break;
            }
        }
    }

    const Marking again = markText(d.text, d.breaks);
    d.again = again.status;
    if (again.status == Status::noMarker || again.status == Status::tooLong) {
        d.why = "the text has no record marker (a CR LF line break followed by \"@=\")";
        if (d.markRewritten)
            d.why += "; the decoder's repair of the break before the first stored record marker "
                     "wrote its CR over the mark's last byte, so the text begins with the LF "
                     "alone";
        return d;
    }
    if (again.status == Status::ok && again.bytes == file) {
        d.comesBack = true;
        return d;
    }
    std::size_t at = 0;
    while (at < file.size() && again.bytes[at] == file[at])
        ++at;
    d.firstDifference = at;
    if (at < file.size()) {
        d.markedByte = byteAt(again.bytes, at);
        d.fileByte = byteAt(file, at);
    }
    d.why = whyItDiffers(file, d, breaks, headRepaired, kMarkLength + again.scrambledFrom);
    if (again.status == Status::wouldNotComeBack)
        d.why += std::string(d.why.empty() ? "" : "; ") +
                 "vellomar-mark refuses that marking too, as it would not read back";
    return d;
}

std::string describe(const Decoding &d) {
    std::string out = "line breaks: ";
    const std::string otherWay = d.otherWay == std::string::npos
                                     ? std::string()
                                     : inInput(d.otherWay) + " (" +
                                           std::to_string(d.otherWay - kMarkLength) +
                                           " of OUTPUT)";
    switch (d.storing) {
    case Storing::none:
        out += d.scrambledFrom == std::string::npos
                   ? "INPUT has no scrambled part (no stored \"@=\", 0xBF 0xC2), so nothing was "
                     "decoded"
                   : "none in the scrambled part to store either way";
        break;
    case Storing::scrambled:
        out += "all scrambled";
        break;
    case Storing::plain:
        out += "all plain (the --plain-breaks storing)";
        break;
    case Storing::mixed:
        out += d.breaks == Breaks::plain
                   ? "mixed: plain (the --plain-breaks storing), but the one at " + otherWay +
                         " is stored scrambled"
                   : "mixed: scrambled, but the one at " + otherWay + " is stored plain";
        break;
    }
    out += "\nmarking it again ";
    if (d.comesBack)
        return out + withBreaks(d.breaks) + " gives back INPUT byte for byte\n";
    if (d.again == Status::noMarker || d.again == Status::tooLong)
        return out + "is refused: " + d.why + "\n";
    out += withBreaks(d.breaks) + " would not give back INPUT: " + inInput(d.firstDifference) +
           " would be " + hexByte(d.markedByte) + " instead of " + hexByte(d.fileByte);
    return out + (d.why.empty() ? "" : ": " + d.why) + "\n";
}

} // namespace tool
} // namespace vellomar
