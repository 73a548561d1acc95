// Windows: CreateFileA, GetFileSize, ReadFile and CloseHandle from kernel32
// and MessageBoxA from user32. These five are the DLL's only imports, so
// nothing here may reach for another Windows call, however small.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "library/os.h"

namespace vellomar {

namespace {

// GetLastError would be a sixth import. All it does is read the calling
// thread's last-error word in the thread environment block: at offset 0x34
// of the block fs points to on 32-bit Windows, at 0x68 of the one gs points
// to on 64-bit Windows. So the word is read there directly.
DWORD threadLastError() {
    DWORD value;
#if defined(__x86_64__)
    __asm__ __volatile__("movl %%gs:0x68, %0" : "=r"(value) : : "memory");
#else
    __asm__ __volatile__("movl %%fs:0x34, %0" : "=r"(value) : : "memory");
#endif
    return value;
}

HANDLE handleOf(OsFile file) { return reinterpret_cast<HANDLE>(file); }

bool openFile(const char *fileName, OsFile *file) {
    // Other readers may share the file; a writer, or a reader that shares
    // nothing, makes the open fail.
    const HANDLE handle = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    *file = reinterpret_cast<OsFile>(handle);
    return true;
}

bool fileSize(OsFile file, uint64_t *length) {
    // A low word of 0xFFFFFFFF is also the failure value: GetFileSize sets
    // the last error to NO_ERROR when it is a real size (a file of exactly
    // 4 GiB - 1 bytes, or a larger one that the high word then rules out).
    DWORD high = 0;
    const DWORD low = GetFileSize(handleOf(file), &high);
    if (low == INVALID_FILE_SIZE && threadLastError() != NO_ERROR)
        return false;
    *length = static_cast<uint64_t>(high) << 32 | low;
    return true;
}

uint32_t readFile(OsFile file, uint8_t *buffer, uint32_t length) {
    // One request for the whole length. A read that fails part way still
    // reports what it delivered, and that number alone decides the call.
    DWORD delivered = 0;
    static_cast<void>(ReadFile(handleOf(file), buffer, length, &delivered, nullptr));
    return delivered;
}

void closeFile(OsFile file) { CloseHandle(handleOf(file)); }

int showBox(const char *text, const char *caption) {
    return MessageBoxA(nullptr, text, caption, MB_OKCANCEL);
}

} // namespace

const OsLayer platformOs = {openFile, fileSize, readFile, closeFile, showBox};

} // namespace vellomar
