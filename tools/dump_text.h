// What vellomar-dump finds in a text besides the table StringTable gives:
// each entry's true extent, what the file on disk showed before decoding,
// and the warnings a reader of the table needs. In the tools' library, so
// that the dump built on a stand-in library in the tests shares it.
#ifndef VELLOMAR_TOOLS_DUMP_TEXT_H
#define VELLOMAR_TOOLS_DUMP_TEXT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vellomar {
namespace tool {

// The buffer a host hands StringTable holds the expected size, which the
// file need not have: a vector that cleared it first would write every
// byte of up to 4 GiB - 1 only for the call to overwrite them, or to fail
// without reading anything. This allocator leaves new bytes as they are
// (construct without a value), so such a size costs address space rather
// than memory cleared in vain.
template <class T> struct LeftAsAllocated : std::allocator<T> {
    template <class U> struct rebind {
        using other = LeftAsAllocated<U>;
    };
    template <class U> void construct(U *place) { ::new (static_cast<void *>(place)) U; }
    template <class U, class... Args> void construct(U *place, Args &&...args) {
        ::new (static_cast<void *>(place)) U(std::forward<Args>(args)...);
    }
};
using Bytes = std::vector<uint8_t, LeftAsAllocated<uint8_t>>;

// One entry as the text has it. The table's word holds only the low 16
// bits of the length: stored differs from length for an entry of 64 KiB or
// more.
struct Entry {
    uint64_t offset;
    uint64_t length;
    uint16_t stored;
};

inline bool isCut(const Entry &entry) { return entry.length != entry.stored; }

// What the file on disk shows that the buffer no longer can: whether it
// starts with the mark, and whether a scrambled part (the stored bytes
// 0xBF 0xC2) was there to decode. Decoding rewrites both: a repaired line
// break may even land on the mark's last byte.
struct Stored {
    bool marked = false;
    bool scrambledPart = false;
};

// Looks at the first size bytes of the file as stored. Call it only once
// StringTable has read the file: opening a FIFO first would block.
Stored lookAtStoredFile(const char *path, uint32_t size);

// The rows: the text's own entries, checked against the table. Each stored
// word must be its entry's length modulo 65536, and the counts must agree;
// where they do not, the rows follow the table from that entry on and
// *disagreement holds the entry's index (1-based; 0 when they agree).
std::vector<Entry> entriesOf(const Bytes &buffer, const std::vector<uint16_t> &table,
                             uint32_t count, bool record, size_t *disagreement);

// What a reader of the table should know about this text, one sentence each.
std::vector<std::string> warningsAbout(const Bytes &buffer, const Stored &stored, bool record,
                                       const std::vector<Entry> &entries, size_t disagreement);

// printf into a string, for the tools' sentences.
// mingw's stdio follows C99 here, and says so with its own format name.
#ifdef __MINGW_PRINTF_FORMAT
#define VELLOMAR_PRINTF __MINGW_PRINTF_FORMAT
#else
#define VELLOMAR_PRINTF printf
#endif
std::string formatText(const char *pattern, ...) __attribute__((format(VELLOMAR_PRINTF, 1, 2)));

inline unsigned long long ull(uint64_t value) { return static_cast<unsigned long long>(value); }

} // namespace tool
} // namespace vellomar

#endif
