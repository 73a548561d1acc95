// vellomar-dump: a host program. Reads a file through StringTable, as any
// host of the library does, and prints the table it got back.
#include <vellomar.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Options {
    bool record = false;
    bool json = false;
    bool expectGiven = false;
    uint32_t expect = 0;
    const char *file = nullptr;
};

struct Entry {
    uint32_t offset;
    uint32_t length;
    std::string text; // without its line break, clipped to the data
};

int usage(FILE *out) {
    std::fputs("usage: vellomar-dump [--record] [--expect N] [--json] FILE\n"
               "  --record    index in record mode (head, marker lines, bodies)\n"
               "  --expect N  pass N as the expected size instead of the file's size\n"
               "  --json      print one JSON document instead of a table\n",
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

// Whether the file on disk starts with the mark; the buffer cannot tell
// afterwards, since decoding may rewrite the bytes just before a marker.
bool fileIsMarked(const char *path) {
    FILE *in = std::fopen(path, "rb");
    if (in == nullptr)
        return false;
    char head[4];
    const bool marked = std::fread(head, 1, 4, in) == 4 && std::memcmp(head, "_PW_", 4) == 0;
    std::fclose(in);
    return marked;
}

// Walks the table the way every host does: each entry starts where the one
// before it started plus that one's length, and its text is 2 bytes shorter.
std::vector<Entry> walkTable(const uint8_t *buffer, uint32_t size,
                             const std::vector<uint16_t> &table, uint32_t count) {
    std::vector<Entry> entries;
    uint64_t offset = 0;
    for (uint32_t i = 1; i <= count; ++i) {
        const uint32_t length = table[i];
        const uint64_t textEnd = offset + (length >= 2 ? length - 2 : 0);
        const uint64_t from = offset < size ? offset : size;
        const uint64_t to = textEnd < size ? textEnd : size;
        entries.push_back({static_cast<uint32_t>(offset), length,
                           std::string(buffer + from, buffer + to)});
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

void printTable(const Options &options, uint32_t size, bool marked, bool record,
                const std::vector<Entry> &entries) {
    std::printf("%s: %u bytes, %s%s mode, %zu entries\n", escapeForTable(options.file).c_str(),
                size, marked ? "marked and decoded, " : "", record ? "record" : "plain",
                entries.size());
    const int indexWidth = columnWidth(entries.size(), "index");
    const int offsetWidth = columnWidth(size, "offset");
    std::printf("%*s  %*s  %6s  %s\n", indexWidth, "index", offsetWidth, "offset", "length",
                "text");
    for (size_t i = 0; i < entries.size(); ++i)
        std::printf("%*zu  %*u  %6u  %s\n", indexWidth, i + 1, offsetWidth, entries[i].offset,
                    entries[i].length, escapeForTable(entries[i].text).c_str());
}

void printJson(const Options &options, uint32_t size, bool marked, bool record,
               const std::vector<Entry> &entries) {
    std::printf("{\"file\": %s, \"size\": %u, \"marked\": %s, \"mode\": \"%s\", \"count\": %zu, "
                "\"entries\": [",
                escapeForJson(options.file).c_str(), size, marked ? "true" : "false",
                record ? "record" : "plain", entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        std::printf("%s\n  {\"index\": %zu, \"offset\": %u, \"length\": %u, \"text\": %s}",
                    i == 0 ? "" : ",", i + 1, entries[i].offset, entries[i].length,
                    escapeForJson(entries[i].text).c_str());
    std::printf("\n]}\n");
}

// The file's length in 64 bits on both platforms: a plain stat on Windows
// cannot tell a file of 2 GiB or more.
bool measure(const char *path, uint64_t *length) {
#ifdef _WIN32
    struct _stati64 info;
    if (::_stati64(path, &info) != 0)
        return false;
#else
    struct stat info;
    if (::stat(path, &info) != 0)
        return false;
#endif
    *length = static_cast<uint64_t>(info.st_size);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout);
    if (!parseOptions(argc, argv, &options))
        return usage(stderr);

    uint32_t size = options.expect;
    if (!options.expectGiven) {
        uint64_t length = 0;
        if (!measure(options.file, &length)) {
            std::fprintf(stderr, "vellomar-dump: %s: %s\n", options.file, std::strerror(errno));
            return 1;
        }
        if (length > 0xFFFFFFFFu) {
            std::fprintf(stderr, "vellomar-dump: %s: 4 GiB or longer, too long to index\n",
                         options.file);
            return 1;
        }
        size = static_cast<uint32_t>(length);
    }

    // The table has the record room whatever the mode: a marked file is
    // always indexed in record mode. The buffer is not cleared: the call
    // fills what it indexes, and an expected size the file does not have,
    // up to 4 GiB - 1, then costs address space, not memory.
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    const uint32_t count =
        StringTable(buffer.get(), size, table.data(), options.file, options.record ? 1 : 0);
    if (count == 0) {
        std::fprintf(stderr,
                     "vellomar-dump: %s: not indexed: it cannot be opened, is not a regular "
                     "file, is 4 GiB or longer, or is not %u bytes long\n",
                     options.file, size);
        return 1;
    }
    // Only now that the call has read it is the file known to be a regular
    // one: opening a FIFO before would block.
    const bool marked = fileIsMarked(options.file);
    const bool record = options.record || marked;
    const std::vector<Entry> entries = walkTable(buffer.get(), size, table, count);
    if (options.json)
        printJson(options, size, marked, record, entries);
    else
        printTable(options, size, marked, record, entries);
    return 0;
}
