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
    // The file's full length. False when it cannot be taken, and the call
    // then ends as silently as for a file that cannot be opened. On POSIX
    // anything that is not a regular file fails here if opening let it
    // through (folders, FIFOs, devices). On Windows the five imports leave
    // no way to ask a handle's type, so this goes by GetFileSize alone: a
    // named pipe has no size and fails, but a device that reports a size is
    // taken at its word, NUL at 0, and is then read like a file that long.
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
