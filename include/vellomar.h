/*
 * Vellomar: reads a text file whole into the host's buffer and indexes its
 * entries (lines, or head, marker lines and record bodies) in the host's
 * table.
 *
 * The table the call fills is an array of little-endian 16-bit words:
 *   word 0       the entry count N
 *   words 1..N   the length of each entry, line break included; the last
 *                entry counts as though a CR LF followed it
 *   word N + 1   VELLOMAR_END_MARKER
 * Words after the end marker keep what the host had in them.
 */
#ifndef VELLOMAR_H
#define VELLOMAR_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VELLOMAR_CALL __stdcall
#else
#define VELLOMAR_CALL
#endif

#if defined(VELLOMAR_BUILDING_LIBRARY)
#if defined(_WIN32)
#define VELLOMAR_API __declspec(dllexport)
#else
#define VELLOMAR_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define VELLOMAR_API __declspec(dllimport)
#else
#define VELLOMAR_API
#endif

/* The word after the last entry, -999 as a signed 16-bit value. */
#define VELLOMAR_END_MARKER ((uint16_t)0xFC19u)

/* Most entries a table describes: the count never goes above limit + 1. */
#define VELLOMAR_PLAIN_ENTRY_LIMIT 16384u
#define VELLOMAR_RECORD_ENTRY_LIMIT 32768u

/* Words of table a host must provide: the limit plus 4. A marked file is
 * always indexed in record mode, so a host that may meet one provides the
 * record size whatever mode it asks for. */
#define VELLOMAR_PLAIN_TABLE_WORDS (VELLOMAR_PLAIN_ENTRY_LIMIT + 4u)
#define VELLOMAR_RECORD_TABLE_WORDS (VELLOMAR_RECORD_ENTRY_LIMIT + 4u)

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Reads fileName whole into buffer (at least expectedSize bytes), checks that
 * exactly expectedSize bytes arrived, restores a "_PW_"-marked file in place
 * and writes the line table into table. recordMode nonzero asks for record
 * mode; marked files are always indexed in record mode.
 *
 * Returns the entry count (at least 1), or 0 when the file could not be
 * opened, is not a regular file (on Linux: a FIFO, a device, a socket; on
 * Windows a handle with no size, such as a named pipe), is 4 GiB or longer,
 * or did not have expectedSize bytes. Only the last case is reported to the
 * user, with a message box.
 */
VELLOMAR_API uint32_t VELLOMAR_CALL StringTable(uint8_t *buffer, uint32_t expectedSize,
                                                uint16_t *table, const char *fileName,
                                                uint32_t recordMode);

#ifdef __cplusplus
}
#endif

#endif
