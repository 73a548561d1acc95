// Writing marked files: the producer's side of "_PW_" decoding. In the
// tools' library, which vellomar-mark and the tests link, so that what the
// tests prove about a marking is what the tool writes.
#ifndef VELLOMAR_TOOLS_MARK_H
#define VELLOMAR_TOOLS_MARK_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vellomar {
namespace tool {

// How the line breaks of the scrambled part are stored.
enum class Breaks {
    scrambled, // complemented like every other byte there
    plain,     // the break before each record marker and a final break stored as CR LF
};

enum class Status {
    ok,
    noMarker,      // no CR LF followed by "@=": nothing to scramble
    tooLong,       // the marked file would be 4 GiB or longer
    wouldNotComeBack,
};

struct Marking {
    Status status = Status::noMarker;
    // The marked file: "_PW_", the text up to its first record marker as it
    // is, then the rest scrambled. Filled for ok and wouldNotComeBack.
    std::string bytes;
    // Offset of the first record marker's "@" in the text.
    std::size_t scrambledFrom = 0;
    // wouldNotComeBack: the first offset in the marked file at which decoding
    // it gives something other than "_PW_" followed by the text (offsets
    // below 4 lie in the mark), and the bytes found and wanted there.
    std::size_t firstDifference = 0;
    unsigned char decodedByte = 0;
    unsigned char wantedByte = 0;
};

// Marks a record text and checks, by decoding the result with the library's
// reference decoder, that it comes back byte for byte.
Marking markText(const std::string &text, Breaks breaks);

// The marked file of the text, without any check. No marker: empty.
std::string encode(const std::string &text, Breaks breaks);

// Why a wouldNotComeBack marking would not come back, in words, from where
// it first differs.
std::string whyNotBack(const std::string &text, const Marking &marking);

// "0x0D": how the tools' messages write a byte.
std::string hexByte(unsigned char byte);

// The byte at i, as the file format's bytes are written: unsigned.
inline uint8_t byteAt(const std::string &s, std::size_t i) {
    return static_cast<uint8_t>(s[i]);
}

// The first two bytes of a stored record marker, 0xBF 0xC2, where a
// scrambled part begins.
std::string storedMarkerStart();

// Offset of the "@" of the text's first record marker (CR LF then "@="), or
// std::string::npos when it has none.
std::size_t firstRecordMarker(const std::string &text);

} // namespace tool
} // namespace vellomar

#endif
