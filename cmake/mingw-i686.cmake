# Cross-builds for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
# Its programs run under 32-bit Wine (Debian: wine32:i386), which needs a
# kernel that runs 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELLOMAR_MINGW_PREFIX i686-w64-mingw32)
set(VELLOMAR_WINE_NAMES wine)
set(VELLOMAR_WINE_RUNNER wine32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
