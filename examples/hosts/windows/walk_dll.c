/* A Windows host that loads Vellomar.dll at run time, as a host that cannot
 * link against an import library does.
 *
 *   walk_dll [--record] FILE
 *
 * Prints "index offset length text" per entry, like the other hosts. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* StringTable's table room and end marker, as the header states them. */
#define RECORD_TABLE_WORDS (32768u + 4u)

typedef uint32_t(__stdcall *StringTableFn)(uint8_t *buffer, uint32_t expectedSize,
                                           uint16_t *table, const char *fileName,
                                           uint32_t recordMode);

static void printEscaped(const uint8_t *text, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t c = text[i];
        if (c == '\\') fputs("\\\\", stdout);
        else if (c == '\t') fputs("\\t", stdout);
        else if (c == '\r') fputs("\\r", stdout);
        else if (c == '\n') fputs("\\n", stdout);
        else if (c < 0x20 || c >= 0x7F) printf("\\x%02X", c);
        else putchar(c);
    }
}

int main(int argc, char **argv) {
    const int record = argc == 3 && strcmp(argv[1], "--record") == 0;
    if (argc != 2 + record) {
        fputs("usage: walk_dll [--record] FILE\n", stderr);
        return 2;
    }
    const char *fileName = argv[argc - 1];
    _setmode(_fileno(stdout), _O_BINARY); /* the same bytes as the other hosts print */

    HMODULE library = LoadLibraryA("Vellomar.dll");
    if (library == NULL) {
        fprintf(stderr, "Vellomar.dll cannot be loaded (error %lu)\n", GetLastError());
        return 1;
    }
    StringTableFn stringTable = (StringTableFn)(void *)GetProcAddress(library, "StringTable");
    if (stringTable == NULL) {
        fputs("Vellomar.dll has no StringTable\n", stderr);
        return 1;
    }

    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(fileName, GetFileExInfoStandard, &info) || info.nFileSizeHigh) {
        fprintf(stderr, "%s: not found, or 4 GiB or longer\n", fileName);
        return 1;
    }
    const uint32_t size = info.nFileSizeLow;
    uint8_t *buffer = malloc(size ? size : 1);
    uint16_t *table = malloc(RECORD_TABLE_WORDS * sizeof *table);
    if (buffer == NULL || table == NULL)
        return 1;

    const uint32_t count = stringTable(buffer, size, table, fileName, record);
    if (count == 0) {
        fprintf(stderr, "%s: could not be read as %u bytes\n", fileName, size);
        return 1;
    }
    /* Each entry starts where the one before it started plus that one's
     * length, and its text is 2 bytes shorter. */
    uint64_t offset = 0;
    for (uint32_t i = 1; i <= count; ++i) {
        const uint32_t length = table[i];
        uint64_t textEnd = offset + (length >= 2 ? length - 2 : 0);
        if (textEnd > size)
            textEnd = size;
        printf("%u %llu %u ", i, (unsigned long long)offset, length);
        if (offset < textEnd)
            printEscaped(buffer + offset, (uint32_t)(textEnd - offset));
        putchar('\n');
        offset += length;
    }
    free(buffer);
    free(table);
    FreeLibrary(library);
    return 0;
}
