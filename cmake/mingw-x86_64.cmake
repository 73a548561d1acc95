# Cross-builds for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# Its programs run under 64-bit Wine (Debian: wine64). Debian's `wine` script
# takes the 32-bit loader whenever wine32 is installed, even for a 64-bit
# program, so the 64-bit loader is named by its own path.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELLOMAR_MINGW_PREFIX x86_64-w64-mingw32)
set(VELLOMAR_WINE_NAMES wine64)
set(VELLOMAR_WINE_PATHS /usr/lib/wine)
set(VELLOMAR_WINE_RUNNER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
