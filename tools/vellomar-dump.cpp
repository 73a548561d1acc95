// vellomar-dump: a host program. Reads a file through StringTable, as any
// host of the library does, and prints the table it got back.
#include <vellomar.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/command_line.h"
#include "tools/dump_text.h"
#include "tools/files.h"
#include "tools/output.h"

namespace {

using namespace vellomar::tool;

constexpr const char *kTool = "vellomar-dump";
// --strict: the text has something a reader of the table should know.
constexpr int kWarningStatus = 3;
enum OptionIndex { record, expect, json, strict, optionCount };
static_assert(optionCount <= GivenOptions::kMostOptions, "more options than GivenOptions holds");
constexpr OptionRule kOptions[optionCount] = {
    {"record", 0, false}, {"expect", 0, true}, {"json", 0, false}, {"strict", 0, false}};

// A size is digits only, up to 4 GiB - 1: no sign, no space, no suffix.
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

struct Options : GivenOptions {
    uint32_t expected = 0;
    const char *file = nullptr;

    // --expect is the one option with a value.
    bool takeValue(int, const char *value) override { return parseSize(value, &expected); }
};

constexpr const char *kUsage =
    "usage: vellomar-dump [--record] [--expect N] [--json] [--strict] FILE\n"
    "  Options and FILE go in any order; \"--\" ends the options.\n"
    "  --record    index in record mode (head, marker lines, bodies)\n"
    "  --expect N  pass N as the expected size instead of the file's size\n"
    "  --json      print one JSON document instead of a table\n"
    "  --strict    exit with status 3 when there is any warning\n"
    "  -h, --help  print this and exit\n"
    "  --version   print the version and exit\n";

// The command line, or the status to exit with at once.
bool parseOptions(int argc, char **argv, Options *options, int *exitStatus) {
    const CommandLineRules rules = {kTool, kUsage, kOptions, optionCount, {"FILE"}};
    std::vector<const char *> operands;
    if (!readCommandLine(rules, argc, argv, options, &operands, exitStatus))
        return false;
    options->file = operands[0];
    return true;
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

// How many bytes of valid UTF-8 start at text[at] (a code point from U+0080
// up, shortest form, no surrogate), or 0.
size_t utf8Length(const std::string &text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    // The second byte's range narrows for the leads that could give an
    // overlong form, a surrogate or a code point past U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (lead < 0xC2 || lead > 0xF4 || at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

// Valid UTF-8 stays as it is (a name such as "é.txt" reads as itself);
// every other byte from 0x80 up is written as the code point of the same
// value, so that a byte that is no UTF-8 still shows, and the JSON stays valid.
std::string escapeForJson(const std::string &text) {
    std::string out = "\"";
    char hex[8];
    for (size_t at = 0; at < text.size(); ++at) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t sequence = c >= 0x80 ? utf8Length(text, at) : 0;
        if (sequence > 0) {
            out.append(text, at, sequence);
            at += sequence - 1;
        } else if (c == '"' || c == '\\') {
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


void printTable(const Options &options, const Bytes &buffer, bool marked,
                bool recordMode, const std::vector<Entry> &entries) {
    std::printf("%s: %zu bytes, %s%s mode, %zu entr%s\n", escapeForTable(options.file).c_str(),
                buffer.size(), marked ? "marked and decoded, " : "", recordMode ? "record" : "plain",
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
               bool recordMode, const std::vector<Entry> &entries,
               const std::vector<std::string> &warnings) {
    std::printf("{\"file\": %s, \"size\": %zu, \"marked\": %s, \"mode\": \"%s\", \"count\": %zu, "
                "\"entries\": [",
                escapeForJson(options.file).c_str(), buffer.size(), marked ? "true" : "false",
                recordMode ? "record" : "plain", entries.size());
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

// The one reason the call returned 0, from a look at the file of our own:
// the library itself says only that it failed.
std::string whyNotIndexed(const char *path, uint32_t expected) {
    PathStatus status;
    if (!statusOf(path, &status)) {
        if (errno == ENOENT || errno == ENOTDIR)
            return "no such file";
        if (errno == EACCES)
            return "permission denied";
        return std::strerror(errno);
    }
    if (status.kind == PathKind::folder)
        return "is a directory";
    if (status.kind != PathKind::regular)
        return "is not a regular file";
    if (status.length > 0xFFFFFFFFu)
        return "is 4 GiB or larger";
    // Regular, so opening it cannot block.
    FILE *in = std::fopen(path, "rb");
    if (in == nullptr)
        return errno == EACCES ? "permission denied" : std::strerror(errno);
    std::fclose(in);
    if (status.length != expected)
        return formatText("is %llu bytes, expected %u", ull(status.length), expected);
    return formatText("could not be read as %u bytes", expected);
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
    // One write per 64 KiB rather than per row: the Windows C runtime
    // writes every line apart otherwise, which a table of thousands of rows
    // pays for dearly.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    int exitStatus = 0;
    if (!parseOptions(argc, argv, &options, &exitStatus))
        return exitStatus;

    // A file that cannot be measured, or is too long to index, still goes
    // to the library, with 0: it fails, and the look below says why.
    uint32_t size = options.expected;
    PathStatus status;
    if (!options.given[expect] && statusOf(options.file, &status) && status.length <= 0xFFFFFFFFu)
        size = static_cast<uint32_t>(status.length);

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
        StringTable(buffer.data(), size, table.data(), options.file, options.given[record] ? 1 : 0);
    if (count == 0) {
        std::fprintf(stderr, "vellomar-dump: %s: not indexed: %s\n", options.file,
                     whyNotIndexed(options.file, size).c_str());
        return 1;
    }
    // Only now that the call has read it is the file known to be a regular
    // one: opening a FIFO before would block.
    const Stored stored = lookAtStoredFile(options.file, size);
    const bool recordMode = options.given[record] || stored.marked;
    size_t disagreement = 0;
    const std::vector<Entry> entries = entriesOf(buffer, table, count, recordMode, &disagreement);
    const std::vector<std::string> warnings =
        warningsAbout(buffer, stored, recordMode, entries, disagreement);
    if (options.given[json]) {
        printJson(options, buffer, stored.marked, recordMode, entries, warnings);
    } else {
        printTable(options, buffer, stored.marked, recordMode, entries);
        // The table before its warnings, where both go to one terminal.
        if (finishOutput(kTool, 0) != 0)
            return 1;
        for (const std::string &warning : warnings)
            std::fprintf(stderr, "vellomar-dump: warning: %s\n", warning.c_str());
    }
    return options.given[strict] && !warnings.empty() ? kWarningStatus : 0;
}

} // namespace

int main(int argc, char **argv) {
    return runTool(kTool, dumpFile, argc, argv);
}
