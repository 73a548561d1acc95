// The seam between the library and the operating system: the four file
// operations StringTable needs and the message box. Nothing else in the
// library calls the platform. os_posix.cpp and os_win.cpp each fill in one
// OsLayer; tests build their own to inject faults.
#ifndef VELLOMAR_LIBRARY_OS_H
#define VELLOMAR_LIBRARY_OS_H

#include <stdint.h>

#include "report/report.h"

namespace vellomar {

// A file descriptor on POSIX, a HANDLE on Windows.
using OsFile = intptr_t;

struct OsLayer {
    // Opens an existing file for reading, letting other readers share it.
    // False when it cannot be opened. Opening never blocks.
    bool (*open)(const char *fileName, OsFile *file);
    // The file's full length. False when it cannot be taken. Anything that
    // is not a regular file fails here if opening let it through, so that
    // the call ends as silently as for a file that cannot be opened.
    bool (*size)(OsFile file, uint64_t *length);
    // Reads up to length bytes into buffer in one request from the caller's
    // side; returns how many arrived before end of file or an error.
    uint32_t (*read)(OsFile file, uint8_t *buffer, uint32_t length);
    void (*close)(OsFile file);
    MessageBoxFn messageBox;
};

// The layer of the platform this library was built for.
extern const OsLayer platformOs;

} // namespace vellomar

#endif
