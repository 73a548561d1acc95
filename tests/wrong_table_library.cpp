// A stand-in for the library, linked into a second vellomar-dump: it reads
// the file as StringTable does but gives back a wrong table. Only a library
// that is wrong can show what the dump says when the table and the text
// disagree. By default the table is one entry, the whole text, whatever the
// file holds; with VELLOMAR_WRONG_TABLE=short it is each line that ends in
// CR LF, every word right, and stops there: the text's last entry is missing
// (a text without a CR LF is not indexed at all).
#include <vellomar.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t linesBeforeTheLast(const uint8_t *text, uint32_t size, uint16_t *table) {
    uint32_t count = 0, start = 0;
    for (uint32_t i = 1; i < size && count < VELLOMAR_PLAIN_ENTRY_LIMIT; ++i) {
        if (text[i - 1] == '\r' && text[i] == '\n') {
            table[++count] = static_cast<uint16_t>(i + 1 - start);
            start = i + 1;
        }
    }
    return count;
}

} // namespace

extern "C" uint32_t VELLOMAR_CALL StringTable(uint8_t *buffer, uint32_t expectedSize,
                                              uint16_t *table, const char *fileName,
                                              uint32_t) {
    FILE *in = std::fopen(fileName, "rb");
    if (in == nullptr)
        return 0;
    const size_t got = std::fread(buffer, 1, expectedSize, in);
    const bool atEnd = std::fgetc(in) == EOF;
    std::fclose(in);
    if (got != expectedSize || !atEnd)
        return 0;
    const char *wrong = std::getenv("VELLOMAR_WRONG_TABLE");
    uint32_t count = 1;
    if (wrong != nullptr && std::strcmp(wrong, "short") == 0)
        count = linesBeforeTheLast(buffer, expectedSize, table);
    else
        table[1] = static_cast<uint16_t>(expectedSize + 2);
    table[0] = static_cast<uint16_t>(count);
    table[count + 1] = VELLOMAR_END_MARKER;
    return count;
}
