// vellomar-dump: a host program. Reads a file through StringTable, as any
// host of the library does, and prints the table it got back.
#include <vellomar.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/output.h"

namespace {

// Bytes whose vector leaves them as they are when it makes room: the call
// fills what it indexes, and an expected size the file does not have, up to
// 4 GiB - 1, then costs address space rather than memory cleared in vain.
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

struct Options {
    bool record = false;
    bool json = false;
    bool strict = false;
    bool expectGiven = false;
    uint32_t expect = 0;
    const char *file = nullptr;
};

// One entry as the text has it. The table's word holds only the low 16
// bits of the length: stored differs from length for an entry of 64 KiB or
// more.
struct Entry {
    uint64_t offset;
    uint64_t length;
    uint16_t stored;
};

constexpr int kWarningStatus = 3;

int usage(FILE *out) {
    std::fputs("usage: vellomar-dump [--record] [--expect N] [--json] [--strict] FILE\n"
               "  --record    index in record mode (head, marker lines, bodies)\n"
               "  --expect N  pass N as the expected size instead of the file's size\n"
               "  --json      print one JSON document instead of a table\n"
               "  --strict    exit with status 3 when there is any warning\n",
               out);
    return out == stdout ? 0 : 2;
}

bool parseSize(const char *text, uint32_t *value) {
    if (*text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool parseOptions(int argc, char **argv, Options *options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--record") {
            options->record = true;
        } else if (arg == "--json") {
            options->json = true;
        } else if (arg == "--strict") {
            options->strict = true;
        } else if (arg == "--expect" && i + 1 < argc) {
            if (!parseSize(argv[++i], &options->expect))
                return false;
            options->expectGiven = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            return false;
        } else {
            if (arg == "--" && i + 1 < argc)
                ++i;
            if (options->file != nullptr || i + 1 != argc)
                return false;
            options->file = argv[i];
        }
    }
    return options->file != nullptr;
}

// What the file on disk shows that the buffer no longer can: whether it
// starts with the mark, and whether a scrambled part (the stored bytes
// 0xBF 0xC2) was there to decode. Decoding rewrites both: a repaired line
// break may even land on the mark's last byte.
struct Stored {
    bool marked = false;
    bool scrambledPart = false;
};

Stored lookAtStoredFile(const char *path, uint32_t size) {
    Stored stored;
    FILE *in = std::fopen(path, "rb");
    if (in == nullptr)
        return stored;
    std::vector<unsigned char> chunk(1 << 16);
    uint64_t seen = 0;
    unsigned char previous = 0;
    while (seen < size && !stored.scrambledPart) {
        const size_t want = static_cast<size_t>(
            size - seen < chunk.size() ? size - seen : chunk.size());
        const size_t got = std::fread(chunk.data(), 1, want, in);
        if (got == 0)
            break;
        if (seen == 0) {
            stored.marked = got >= 4 && std::memcmp(chunk.data(), "_PW_", 4) == 0;
            if (!stored.marked)
                break;
        }
        for (size_t i = 0; i < got && !stored.scrambledPart; ++i) {
            stored.scrambledPart = previous == 0xBF && chunk[i] == 0xC2;
            previous = chunk[i];
        }
        seen += got;
    }
    std::fclose(in);
    return stored;
}

// Cuts the text into entries by the table's own rules: in plain mode every
// CR LF closes an entry; in record mode only the CR LF before a record
// marker ("@=" right after the break) and the one that ends a marker line.
// Stops, as the table does, with the entry that goes past the limit. The
// lengths are whole, not cut to 16 bits.
std::vector<uint64_t> entriesOfText(const Bytes &data, bool record,
                                    uint32_t limit) {
    std::vector<uint64_t> lengths;
    const uint64_t size = data.size();
    if (size == 0)
        return {3}; // as the table counts an empty file
    bool markerPending = false;
    uint64_t start = 0;
    for (uint64_t at = 0; at + 1 < size; ++at) {
        if (data[at] != '\r' || data[at + 1] != '\n')
            continue;
        const uint64_t next = at + 2;
        bool closes = true;
        if (record) {
            const bool markerFollows = next + 1 < size && data[next] == '@' && data[next + 1] == '=';
            closes = markerPending || markerFollows;
            markerPending = markerFollows;
        }
        if (closes) {
            lengths.push_back(next - start);
            if (lengths.size() > limit)
                return lengths;
            start = next;
        }
        ++at; // the LF cannot start a break
    }
    lengths.push_back(size - start + 2);
    return lengths;
}

// The rows: the text's own entries, checked against the table. Each
// stored word must be its entry's length modulo 65536, and the counts must
// agree; where they do not, the rows follow the table from that entry on
// and *disagreement holds the entry's index.
std::vector<Entry> entriesOf(const Bytes &buffer, const std::vector<uint16_t> &table,
                             uint32_t count, bool record, size_t *disagreement) {
    const std::vector<uint64_t> lengths = entriesOfText(
        buffer, record, record ? VELLOMAR_RECORD_ENTRY_LIMIT : VELLOMAR_PLAIN_ENTRY_LIMIT);
    std::vector<Entry> entries;
    *disagreement = 0;
    uint64_t offset = 0;
    for (uint32_t i = 1; i <= count; ++i) {
        const uint16_t stored = table[i];
        uint64_t length = stored;
        if (*disagreement == 0) {
            if (i <= lengths.size() && static_cast<uint16_t>(lengths[i - 1]) == stored &&
                (i < count || lengths.size() == count))
                length = lengths[i - 1];
            else
                *disagreement = i;
        }
        entries.push_back({offset, length, stored});
        offset += length;
    }
    return entries;
}

std::string escapeForTable(const std::string &text) {
    std::string out;
    char hex[8];
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Bytes from 0x80 up are not UTF-8 here: each one stands for the code point
// of the same value, so that the JSON keeps every byte.
std::string escapeForJson(const std::string &text) {
    std::string out = "\"";
    char hex[8];
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(hex, sizeof hex, "\\u%04X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int columnWidth(uint64_t largest, const char *heading) {
    const int digits = std::snprintf(nullptr, 0, "%llu", static_cast<unsigned long long>(largest));
    const int headingWidth = static_cast<int>(std::strlen(heading));
    return digits > headingWidth ? digits : headingWidth;
}

// mingw's stdio follows C99 here, and says so with its own format name.
#ifdef __MINGW_PRINTF_FORMAT
#define VELLOMAR_PRINTF __MINGW_PRINTF_FORMAT
#else
#define VELLOMAR_PRINTF printf
#endif
std::string format(const char *pattern, ...) __attribute__((format(VELLOMAR_PRINTF, 1, 2)));
std::string format(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

unsigned long long ull(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

// The entry's text without its line break, clipped to the data: the last
// entry's length counts a line break that is not there.
std::string textOf(const Bytes &buffer, const Entry &entry) {
    const uint64_t size = buffer.size();
    const uint64_t from = entry.offset < size ? entry.offset : size;
    const uint64_t end = entry.offset + (entry.length >= 2 ? entry.length - 2 : 0);
    const uint64_t to = end < size ? end : size;
    return std::string(buffer.begin() + static_cast<std::ptrdiff_t>(from),
                       buffer.begin() + static_cast<std::ptrdiff_t>(to));
}

bool isCut(const Entry &entry) {
    return entry.length != entry.stored;
}

// What a reader of the table should know about this text, one sentence
// each.
std::vector<std::string> warningsAbout(const Bytes &buffer, const Stored &stored,
                                       bool record, const std::vector<Entry> &entries,
                                       size_t disagreement) {
    uint64_t crlf = 0, loneLf = 0;
    bool marker = false;
    for (size_t i = 0; i < buffer.size(); ++i) {
        if (buffer[i] != '\n')
            continue;
        if (i > 0 && buffer[i - 1] == '\r') {
            ++crlf;
            marker = marker || (i + 2 < buffer.size() && buffer[i + 1] == '@' && buffer[i + 2] == '=');
        } else {
            ++loneLf;
        }
    }
    std::vector<std::string> warnings;
    if (crlf == 0 && loneLf > 0)
        warnings.push_back(format(
            "LF line breaks: StringTable splits on CR LF only, and this file has %llu LF line "
            "break%s and no CR LF, so the whole text is one entry; convert its line breaks to "
            "CR LF.",
            ull(loneLf), loneLf == 1 ? "" : "s"));
    else if (crlf > 0 && loneLf > 0)
        warnings.push_back(format(
            "Mixed line breaks: %llu CR LF and %llu lone LF; StringTable splits on CR LF only, "
            "so a line that ends in a lone LF runs on into the next one.",
            ull(crlf), ull(loneLf)));

    const Entry *firstCut = nullptr;
    size_t cut = 0;
    for (const Entry &entry : entries)
        if (isCut(entry) && cut++ == 0)
            firstCut = &entry;
    if (cut > 0) {
        const std::string which =
            cut == 1 ? format("Entry %zu is", static_cast<size_t>(firstCut - &entries[0]) + 1)
                     : format("%zu entries are 64 KiB or longer; the first, entry %zu, is", cut,
                              static_cast<size_t>(firstCut - &entries[0]) + 1);
        warnings.push_back(format(
            "%s %llu bytes long, stored as %u: the table keeps only the low 16 bits of a "
            "length, so a host that adds up the stored lengths loses its place after it; the "
            "offsets and lengths shown are the text's own.",
            which.c_str(), ull(firstCut->length), firstCut->stored));
    }

    const uint32_t limit = record ? VELLOMAR_RECORD_ENTRY_LIMIT : VELLOMAR_PLAIN_ENTRY_LIMIT;
    if (entries.size() > limit) {
        const uint64_t end = entries.back().offset + entries.back().length;
        const uint64_t covered = end < buffer.size() ? end : buffer.size();
        warnings.push_back(format(
            "The count %zu is past the %s mode limit of %u entries: the table covers %llu bytes "
            "of %llu, and the rest of the file has no entries.",
            entries.size(), record ? "record" : "plain", limit, ull(covered), ull(buffer.size())));
    }
    if (record && !marker)
        warnings.push_back(
            "Record mode, but the text has no record marker (\"@=\" right after a CR LF line "
            "break), so the whole text is one entry.");
    if (stored.marked && !stored.scrambledPart)
        warnings.push_back(
            "The file starts with the mark \"_PW_\", but its scrambled part (the stored bytes "
            "0xBF 0xC2) was never found: nothing was decoded and the text is indexed as stored.");
    if (disagreement != 0)
        warnings.push_back(format(
            "The table disagrees with the text at entry %zu (stored %u): the rows from there on "
            "show the table's lengths.",
            disagreement, entries[disagreement - 1].stored));
    return warnings;
}

void printTable(const Options &options, const Bytes &buffer, bool marked,
                bool record, const std::vector<Entry> &entries) {
    std::printf("%s: %zu bytes, %s%s mode, %zu entr%s\n", escapeForTable(options.file).c_str(),
                buffer.size(), marked ? "marked and decoded, " : "", record ? "record" : "plain",
                entries.size(), entries.size() == 1 ? "y" : "ies");
    // An entry of 64 KiB or more shows its true length marked with "*", and
    // the table's word for it in a column of its own.
    bool anyCut = false;
    uint64_t longest = 0;
    for (const Entry &entry : entries) {
        anyCut = anyCut || isCut(entry);
        longest = entry.length > longest ? entry.length : longest;
    }
    const int indexWidth = columnWidth(entries.size(), "index");
    const int offsetWidth = columnWidth(buffer.size(), "offset");
    if (!anyCut) {
        std::printf("%*s  %*s  %6s  %s\n", indexWidth, "index", offsetWidth, "offset", "length",
                    "text");
        for (size_t i = 0; i < entries.size(); ++i)
            std::printf("%*zu  %*llu  %6llu  %s\n", indexWidth, i + 1, offsetWidth,
                        ull(entries[i].offset), ull(entries[i].length),
                        escapeForTable(textOf(buffer, entries[i])).c_str());
        return;
    }
    const int lengthWidth = columnWidth(longest * 10, "length ");
    std::printf("%*s  %*s  %*s  %6s  %s\n", indexWidth, "index", offsetWidth, "offset",
                lengthWidth, "length ", "stored", "text");
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool cut = isCut(entries[i]);
        std::printf("%*zu  %*llu  %*llu%c  %6s  %s\n", indexWidth, i + 1, offsetWidth,
                    ull(entries[i].offset), lengthWidth - 1, ull(entries[i].length),
                    cut ? '*' : ' ', cut ? std::to_string(entries[i].stored).c_str() : "",
                    escapeForTable(textOf(buffer, entries[i])).c_str());
    }
}

void printJson(const Options &options, const Bytes &buffer, bool marked,
               bool record, const std::vector<Entry> &entries,
               const std::vector<std::string> &warnings) {
    std::printf("{\"file\": %s, \"size\": %zu, \"marked\": %s, \"mode\": \"%s\", \"count\": %zu, "
                "\"entries\": [",
                escapeForJson(options.file).c_str(), buffer.size(), marked ? "true" : "false",
                record ? "record" : "plain", entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string stored =
            isCut(entries[i]) ? ", \"stored\": " + std::to_string(entries[i].stored) : "";
        std::printf("%s\n  {\"index\": %zu, \"offset\": %llu, \"length\": %llu%s, \"text\": %s}",
                    i == 0 ? "" : ",", i + 1, ull(entries[i].offset), ull(entries[i].length),
                    stored.c_str(), escapeForJson(textOf(buffer, entries[i])).c_str());
    }
    std::printf("\n], \"warnings\": [");
    for (size_t i = 0; i < warnings.size(); ++i)
        std::printf("%s\n  %s", i == 0 ? "" : ",", escapeForJson(warnings[i]).c_str());
    std::printf("%s]}\n", warnings.empty() ? "" : "\n");
}

#ifdef _WIN32
typedef struct _stati64 FileStatus;
#define VELLOMAR_STAT ::_stati64
#else
typedef struct stat FileStatus;
#define VELLOMAR_STAT ::stat
#endif

// The file's length in 64 bits on both platforms: a plain stat on Windows
// cannot tell a file of 2 GiB or more.
bool measure(const char *path, uint64_t *length) {
    FileStatus info;
    if (VELLOMAR_STAT(path, &info) != 0)
        return false;
    *length = static_cast<uint64_t>(info.st_size);
    return true;
}

// The one reason the call returned 0, from a look at the file of our own:
// the library itself says only that it failed.
std::string whyNotIndexed(const char *path, uint32_t expected) {
    FileStatus info;
    if (VELLOMAR_STAT(path, &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return "no such file";
        if (errno == EACCES)
            return "permission denied";
        return std::strerror(errno);
    }
    if ((info.st_mode & S_IFMT) == S_IFDIR)
        return "is a directory";
    if ((info.st_mode & S_IFMT) != S_IFREG)
        return "is not a regular file";
    const uint64_t length = static_cast<uint64_t>(info.st_size);
    if (length > 0xFFFFFFFFu)
        return "is 4 GiB or larger";
    // Regular, so opening it cannot block.
    FILE *in = std::fopen(path, "rb");
    if (in == nullptr)
        return errno == EACCES ? "permission denied" : std::strerror(errno);
    std::fclose(in);
    if (length != expected)
        return format("is %llu bytes, expected %u", ull(length), expected);
    return format("could not be read as %u bytes", expected);
}

// A buffer of size bytes, or false when the process cannot have that much
// memory (a 32-bit process asked for gigabytes, a limit on its address space).
bool allocate(Bytes *buffer, uint32_t size) {
    try {
        buffer->resize(size);
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
    return true;
}

int dumpFile(int argc, char **argv) {
    Options options;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout);
    if (!parseOptions(argc, argv, &options))
        return usage(stderr);
    // One write per 64 KiB rather than per row: the Windows C runtime
    // writes every line apart otherwise, which a table of thousands of rows
    // pays for dearly.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    // A file that cannot be measured, or is too long to index, still goes
    // to the library, with 0: it fails, and the look below says why.
    uint32_t size = options.expect;
    uint64_t length = 0;
    if (!options.expectGiven && measure(options.file, &length) && length <= 0xFFFFFFFFu)
        size = static_cast<uint32_t>(length);

    // The table has the record room whatever the mode: a marked file is
    // always indexed in record mode.
    Bytes buffer;
    if (!allocate(&buffer, size)) {
        std::fprintf(stderr, "vellomar-dump: %s: cannot have %u bytes of memory for the buffer\n",
                     options.file, size);
        return 1;
    }
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    const uint32_t count =
        StringTable(buffer.data(), size, table.data(), options.file, options.record ? 1 : 0);
    if (count == 0) {
        std::fprintf(stderr, "vellomar-dump: %s: not indexed: %s\n", options.file,
                     whyNotIndexed(options.file, size).c_str());
        return 1;
    }
    // Only now that the call has read it is the file known to be a regular
    // one: opening a FIFO before would block.
    const Stored stored = lookAtStoredFile(options.file, size);
    const bool record = options.record || stored.marked;
    size_t disagreement = 0;
    const std::vector<Entry> entries = entriesOf(buffer, table, count, record, &disagreement);
    const std::vector<std::string> warnings =
        warningsAbout(buffer, stored, record, entries, disagreement);
    if (options.json) {
        printJson(options, buffer, stored.marked, record, entries, warnings);
    } else {
        printTable(options, buffer, stored.marked, record, entries);
        // The table before its warnings, where both go to one terminal.
        if (vellomar::tool::finishOutput("vellomar-dump", 0) != 0)
            return 1;
        for (const std::string &warning : warnings)
            std::fprintf(stderr, "vellomar-dump: warning: %s\n", warning.c_str());
    }
    return options.strict && !warnings.empty() ? kWarningStatus : 0;
}

} // namespace

int main(int argc, char **argv) {
    return vellomar::tool::runTool("vellomar-dump", dumpFile, argc, argv);
}
