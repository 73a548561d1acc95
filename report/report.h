// The error report: the library's only way of telling the user anything. A
// size mismatch shows "DLL error: " and the count in a box with OK and
// Cancel; Cancel silences every later report while the library is loaded.
#ifndef VELLOMAR_REPORT_REPORT_H
#define VELLOMAR_REPORT_REPORT_H

#include <stdint.h>

#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

namespace vellomar {

// Shows text with caption in a box with OK and Cancel and no owner; answers
// IDOK, IDCANCEL, or 0 when the box could not be shown.
using MessageBoxFn = int (*)(const char *text, const char *caption);

constexpr char kReportCaption[] = "Tarvoni DLL";
constexpr char kReportPrefix[] = "DLL error: ";
// Room behind the prefix: a sign, ten digits and the terminator.
constexpr unsigned kDigitRoom = 12;
static_assert(kDigitRoom >= sizeof "-2147483648", "the longest number dwtoa writes must fit");

// Writes value, read as a signed 32-bit number, as decimal with a
// terminating zero: at most 12 bytes.
void dwtoa(uint32_t value, char *text);

// Tells the user, through box, that count bytes arrived where another number
// was expected, unless the user has pressed Cancel before.
void reportSizeError(uint32_t count, MessageBoxFn box);

// The answer of the last box: 0 at load, then IDOK, IDCANCEL or 0.
int lastReportAnswer();

// Forgets every answer, as a fresh load of the library would.
void resetReport();

} // namespace vellomar

#endif
