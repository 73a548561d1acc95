/* A minimal host: reads FILE through StringTable and prints each entry.
 *
 *   walk [--record] FILE
 *
 * Each output line is "index offset length text", the text without its line
 * break and with backslash, tab, CR, LF and other bytes outside printable
 * ASCII escaped. */
#include <vellomar.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

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
        fputs("usage: walk [--record] FILE\n", stderr);
        return 2;
    }
    const char *fileName = argv[argc - 1];
    struct stat info;
    if (stat(fileName, &info) != 0) {
        perror(fileName);
        return 1;
    }
    /* The buffer holds exactly the size we expect; the table has the record
     * room, since a marked file is indexed in record mode whatever we ask. */
    const uint32_t size = (uint32_t)info.st_size;
    uint8_t *buffer = malloc(size ? size : 1);
    uint16_t *table = malloc(VELLOMAR_RECORD_TABLE_WORDS * sizeof *table);
    if (buffer == NULL || table == NULL)
        return 1;

    const uint32_t count = StringTable(buffer, size, table, fileName, record);
    if (count == 0) {
        fprintf(stderr, "%s: could not be read as %u bytes\n", fileName, size);
        return 1;
    }
    /* The walk every host does: each entry starts where the one before it
     * started plus that one's length, and its text is 2 bytes shorter. */
    uint64_t offset = 0;
    for (uint32_t i = 1; i <= count; ++i) {
        const uint32_t length = table[i];
        uint64_t textEnd = offset + (length >= 2 ? length - 2 : 0);
        if (textEnd > size) /* the last entry of an empty file, or a clipped length */
            textEnd = size;
        printf("%u %llu %u ", i, (unsigned long long)offset, length);
        if (offset < textEnd)
            printEscaped(buffer + offset, (uint32_t)(textEnd - offset));
        putchar('\n');
        offset += length;
    }
    free(buffer);
    free(table);
    return 0;
}
