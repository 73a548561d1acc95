// The library's boundary: the one export, and on Windows the loader entry.
#include "vellomar.h"

#include "library/os.h"
#include "library/string_table.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

extern "C" VELLOMAR_API uint32_t VELLOMAR_CALL StringTable(uint8_t *buffer, uint32_t expectedSize,
                                                           uint16_t *table, const char *fileName,
                                                           uint32_t recordMode) {
    return vellomar::readStringTable(vellomar::platformOs, buffer, expectedSize, table, fileName,
                                     recordMode);
}

#ifdef _WIN32
// The DLL's entry point itself (there is no C runtime to call it): process
// and thread attach and detach find nothing to set up or tear down, since
// the only state, the report's answer word, starts as 0 in the image.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
