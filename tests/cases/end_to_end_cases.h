/* End-to-end cases for StringTable, as data: the native suite writes each
 * file into a temporary folder and calls the library directly, the Windows
 * suite does the same through the DLL under Wine. Plain C so that any test
 * host can include it. */
#ifndef VELLOMAR_TESTS_END_TO_END_CASES_H
#define VELLOMAR_TESTS_END_TO_END_CASES_H

#include <stdint.h>

typedef struct EndToEndCase {
    const char *name;
    const char *file; /* the file's bytes */
    uint32_t fileSize;
    int32_t sizeDelta; /* expectedSize is fileSize + sizeDelta */
    uint32_t recordMode;
    uint32_t result;
    const uint16_t *entries; /* result words, when result is not 0 */
    const char *buffer;      /* the buffer afterwards when not the file itself */
    const char *boxText;     /* the one box expected, or 0 for none */
} EndToEndCase;

#define VELLOMAR_BYTES(s) s, (uint32_t)(sizeof(s) - 1)

static const uint16_t kEmptyEntries[] = {3};
static const uint16_t kThreeLines[] = {5, 5, 4};
static const uint16_t kThreeLinesAndBreak[] = {5, 5, 4, 2};
static const uint16_t kOneBreak[] = {2, 2};
static const uint16_t kLoneCR[] = {5, 4};
static const uint16_t kRecordTable[] = {5, 5, 16, 5, 7};
static const uint16_t kRecordAsPlain[] = {5, 5, 8, 8, 5, 7};
static const uint16_t kMarkerAtStart[] = {11, 5, 3};
static const uint16_t kMarkerAfterMarker[] = {5, 5, 5, 7, 5, 7};
static const uint16_t kMarkedTable[] = {7, 5, 3, 5, 5};

#define VELLOMAR_RECORD_TEXT "hdr\r\n@=A\r\nbodyA1\r\nbodyA2\r\n@=B\r\nbodyB"
#define VELLOMAR_MARKED_DECODED "_PW_h\r\n@=A\r\nb\r\n@=B\r\nc\r\n"

static const EndToEndCase kEndToEndCases[] = {
    {"empty file", VELLOMAR_BYTES(""), 0, 0, 1, kEmptyEntries, 0, 0},
    {"three lines", VELLOMAR_BYTES("abc\r\ndef\r\nxy"), 0, 0, 3, kThreeLines, 0, 0},
    {"ends with a break", VELLOMAR_BYTES("abc\r\ndef\r\nxy\r\n"), 0, 0, 4, kThreeLinesAndBreak, 0,
     0},
    {"one break", VELLOMAR_BYTES("\r\n"), 0, 0, 2, kOneBreak, 0, 0},
    {"lone CR is text", VELLOMAR_BYTES("ab\r\r\ncd"), 0, 0, 2, kLoneCR, 0, 0},
    {"record text, record mode", VELLOMAR_BYTES(VELLOMAR_RECORD_TEXT), 0, 1, 5, kRecordTable, 0,
     0},
    {"record text, plain mode", VELLOMAR_BYTES(VELLOMAR_RECORD_TEXT), 0, 0, 6, kRecordAsPlain, 0,
     0},
    /* Any nonzero recordMode asks for record mode. */
    {"record text, record mode 2", VELLOMAR_BYTES(VELLOMAR_RECORD_TEXT), 0, 2, 5, kRecordTable, 0,
     0},
    {"record text, record mode 0x80000000", VELLOMAR_BYTES(VELLOMAR_RECORD_TEXT), 0, 0x80000000u,
     5, kRecordTable, 0, 0},
    {"marker at the very start", VELLOMAR_BYTES("@=A\r\nbody\r\n@=B\r\nx"), 0, 1, 3,
     kMarkerAtStart, 0, 0},
    {"marker line after marker line",
     VELLOMAR_BYTES("hdr\r\n@=A\r\n@=B\r\nbodyB\r\n@=C\r\nbodyC"), 0, 1, 6, kMarkerAfterMarker, 0,
     0},
    {"one byte short", VELLOMAR_BYTES("abc\r\ndef"), 1, 0, 0, 0, 0, "DLL error: 8"},
    {"one byte long", VELLOMAR_BYTES("abc\r\ndef"), -1, 1, 0, 0, 0, "DLL error: 8"},
    {"empty file, one byte expected", VELLOMAR_BYTES(""), 1, 0, 0, 0, 0, "DLL error: 0"},
    {"marked, breaks scrambled",
     VELLOMAR_BYTES("_PW_h\r\n\xBF\xC2\xBE\xF2\xF5\x9D\xF2\xF5\xBF\xC2\xBD\xF2\xF5\x9C\xF2\xF5"), 0,
     1, 5, kMarkedTable, VELLOMAR_MARKED_DECODED, 0},
    {"marked, breaks stored plain, plain mode asked",
     VELLOMAR_BYTES("_PW_h\r\n\xBF\xC2\xBE\xF2\xF5\x9D\r\n\xBF\xC2\xBD\xF2\xF5\x9C\r\n"), 0, 0, 5,
     kMarkedTable, VELLOMAR_MARKED_DECODED, 0},
};

#define VELLOMAR_END_TO_END_CASE_COUNT (sizeof kEndToEndCases / sizeof kEndToEndCases[0])

#endif
