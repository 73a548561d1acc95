// A stand-in for the library, linked into a second vellomar-dump: it reads
// the file as StringTable does but gives back a table of one entry, the
// whole text, whatever the file holds. Only a library that is wrong can show
// what the dump says when the table and the text disagree.
#include <vellomar.h>

#include <cstdio>

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
    table[0] = 1;
    table[1] = static_cast<uint16_t>(expectedSize + 2);
    table[2] = VELLOMAR_END_MARKER;
    return 1;
}
