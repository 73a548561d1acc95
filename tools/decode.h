// Taking a marked file back to its record text, for vellomar-mark --decode:
// decoded by the very step StringTable runs, with what is needed to tell the
// person editing it whether marking the text again gives back the file.
#ifndef VELLOMAR_TOOLS_DECODE_H
#define VELLOMAR_TOOLS_DECODE_H

#include <cstddef>
#include <string>

#include "tools/mark.h"

namespace vellomar {
namespace tool {

enum class DecodeStatus {
    ok,
    notMarked, // shorter than four bytes or not beginning with "_PW_"
    tooLong,   // 4 GiB or longer: StringTable cannot read it
};

// How the file stores the line breaks a reader restores: each one directly
// before a record marker in the scrambled part, and the one ending the file.
enum class Storing {
    none,      // no such break: both storings write the same bytes
    scrambled, // all of them complemented
    plain,     // all of them as CR LF, the --plain-breaks storing
    mixed,     // some one way, some the other
};

struct Decoding {
    DecodeStatus status = DecodeStatus::notMarked;
    // The decoded buffer after its first four bytes: the record text.
    std::string text;
    // Offset in the file of the stored "@=" that starts the scrambled part;
    // npos when it has none and nothing was decoded.
    std::size_t scrambledFrom = std::string::npos;
    Storing storing = Storing::none;
    // The storing of the first of those breaks, which marking again uses.
    Breaks breaks = Breaks::scrambled;
    // mixed: offset in the file of the first break stored the other way.
    std::size_t otherWay = std::string::npos;
    // The repair of a break before the first stored marker reached into the
    // mark: the buffer StringTable leaves does not begin with "_PW_".
    bool markRewritten = false;

    // Marking the text again with `breaks`.
    Status again = Status::noMarker;
    bool comesBack = false;
    // !comesBack and again is not noMarker: the first offset of the file at
    // which that marking differs, the byte it would write there and the
    // file's own.
    std::size_t firstDifference = 0;
    unsigned char markedByte = 0;
    unsigned char fileByte = 0;
    // !comesBack: why, in words.
    std::string why;
};

// Decodes a whole marked file and works out the rest of Decoding.
Decoding decodeFile(const std::string &file);

// What vellomar-mark --decode says about it: a line on the line breaks and a
// line on marking it again, each ending in a newline.
std::string describe(const Decoding &decoding);

} // namespace tool
} // namespace vellomar

#endif
