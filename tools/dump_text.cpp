#include "tools/dump_text.h"

#include <vellomar.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "text/text.h"

namespace vellomar {
namespace tool {

namespace {

bool isPairAt(const Bytes &data, uint64_t at, uint8_t first, uint8_t second) {
    return at + 1 < data.size() && data[at] == first && data[at + 1] == second;
}

// The text's own entries, whole: the table keeps each length in 16 bits, so
// an entry of 64 KiB or more cannot be told from a short one by the table
// alone. These let the dump show true offsets past 64 KiB and notice where
// the table disagrees with the text.
std::vector<uint64_t> entriesOfText(const Bytes &data, bool record) {
    const TableMode mode = record ? TableMode::record : TableMode::plain;
    std::vector<uint64_t> lengths(entryLimit(mode) + 1);
    lengths.resize(entryLengthsScalar(data.data(), static_cast<uint32_t>(data.size()), mode,
                                      lengths.data()));
    return lengths;
}

// The line breaks' warnings: StringTable splits on CR LF only. Says too
// whether any CR LF is followed by a record marker.
void addLineBreakWarnings(const Bytes &buffer, std::vector<std::string> *warnings,
                          bool *anyMarker) {
    uint64_t crlf = 0, loneLf = 0;
    for (size_t i = 0; i < buffer.size(); ++i) {
        if (buffer[i] != kLF)
            continue;
        if (i > 0 && buffer[i - 1] == kCR) {
            ++crlf;
            *anyMarker = *anyMarker || isPairAt(buffer, i + 1, kMarkerAt, kMarkerEquals);
        } else {
            ++loneLf;
        }
    }
    if (crlf == 0 && loneLf > 0)
        warnings->push_back(formatText(
            "LF line breaks: StringTable splits on CR LF only, and this file has %llu LF line "
            "break%s and no CR LF, so the whole text is one entry; convert its line breaks to "
            "CR LF.",
            ull(loneLf), loneLf == 1 ? "" : "s"));
    else if (crlf > 0 && loneLf > 0)
        warnings->push_back(formatText(
            "Mixed line breaks: %llu CR LF and %llu lone LF; StringTable splits on CR LF only, "
            "so a line that ends in a lone LF runs on into the next one.",
            ull(crlf), ull(loneLf)));
}

// Entries of 64 KiB or more, whose stored word is not their length.
void addCutWarning(const std::vector<Entry> &entries, std::vector<std::string> *warnings) {
    const Entry *firstCut = nullptr;
    size_t cut = 0;
    for (const Entry &entry : entries)
        if (isCut(entry) && cut++ == 0)
            firstCut = &entry;
    if (cut == 0)
        return;
    const size_t index = static_cast<size_t>(firstCut - &entries[0]) + 1;
    const std::string which =
        cut == 1 ? formatText("Entry %zu is", index)
                 : formatText("%zu entries are 64 KiB or longer; the first, entry %zu, is", cut,
                              index);
    warnings->push_back(formatText(
        "%s %llu bytes long, stored as %u: the table keeps only the low 16 bits of a "
        "length, so a host that adds up the stored lengths loses its place after it; the "
        "offsets and lengths shown are the text's own.",
        which.c_str(), ull(firstCut->length), firstCut->stored));
}

void addLimitWarning(const Bytes &buffer, bool record, const std::vector<Entry> &entries,
                     std::vector<std::string> *warnings) {
    const uint32_t limit = record ? VELLOMAR_RECORD_ENTRY_LIMIT : VELLOMAR_PLAIN_ENTRY_LIMIT;
    if (entries.size() <= limit)
        return;
    const uint64_t end = entries.back().offset + entries.back().length;
    const uint64_t covered = end < buffer.size() ? end : buffer.size();
    warnings->push_back(formatText(
        "The count %zu is past the %s mode limit of %u entries: the table covers %llu bytes "
        "of %llu, and the rest of the file has no entries.",
        entries.size(), record ? "record" : "plain", limit, ull(covered), ull(buffer.size())));
}

} // namespace

std::vector<std::string> warningsAbout(const Bytes &buffer, const Stored &stored, bool record,
                                       const std::vector<Entry> &entries, size_t disagreement) {
    std::vector<std::string> warnings;
    bool anyMarker = false;
    addLineBreakWarnings(buffer, &warnings, &anyMarker);
    addCutWarning(entries, &warnings);
    addLimitWarning(buffer, record, entries, &warnings);
    if (record && !anyMarker)
        warnings.push_back(
            "Record mode, but the text has no record marker (\"@=\" right after a CR LF line "
            "break), so the whole text is one entry.");
    if (stored.marked && !stored.scrambledPart)
        warnings.push_back(
            "The file starts with the mark \"_PW_\", but its scrambled part (the stored bytes "
            "0xBF 0xC2) was never found: nothing was decoded and the text is indexed as stored.");
    if (disagreement != 0)
        warnings.push_back(formatText(
            "The table disagrees with the text at entry %zu (stored %u): the rows from there on "
            "show the table's lengths.",
            disagreement, entries[disagreement - 1].stored));
    return warnings;
}

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
            stored.marked = got >= kMarkLength && std::memcmp(chunk.data(), kMark, kMarkLength) == 0;
            if (!stored.marked)
                break;
        }
        for (size_t i = 0; i < got && !stored.scrambledPart; ++i) {
            stored.scrambledPart = previous == kStoredAt && chunk[i] == kStoredEquals;
            previous = chunk[i];
        }
        seen += got;
    }
    std::fclose(in);
    return stored;
}

std::vector<Entry> entriesOf(const Bytes &buffer, const std::vector<uint16_t> &table,
                             uint32_t count, bool record, size_t *disagreement) {
    const std::vector<uint64_t> lengths = entriesOfText(buffer, record);
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

std::string formatText(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

} // namespace tool
} // namespace vellomar
