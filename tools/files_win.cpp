// The tools' file operations on Windows (see files.h). Files are opened so
// that others may go on reading, writing and deleting them meanwhile, as on
// POSIX.
#include "tools/files.h"

#include <windows.h>

#include <sys/stat.h>

namespace vellomar {
namespace tool {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system's words for the last error, or its number.
std::string lastError() {
    const DWORD code = ::GetLastError();
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "No such file or directory";
    case ERROR_ACCESS_DENIED:
        return "Permission denied";
    case ERROR_SHARING_VIOLATION:
        return "in use by another program";
    default:
        return "Windows error " + std::to_string(code);
    }
}

bool identify(HANDLE file, FileId *id, DWORD *attributes) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info))
        return false;
    id->volume = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    *attributes = info.dwFileAttributes;
    return true;
}

bool readAll(HANDLE file, std::string *text, std::string *why) {
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            *why = lastError();
            return false;
        }
        if (got == 0)
            return true;
        text->append(chunk, got);
    }
}

bool writeAll(HANDLE file, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD want = left < (1u << 30) ? static_cast<DWORD>(left) : (1u << 30);
        DWORD wrote = 0;
        if (!::WriteFile(file, bytes.data() + done, want, &wrote, nullptr))
            return false;
        done += wrote;
    }
    return true;
}

// A new file beside path that no one else has, named by the process and a
// number; INVALID_HANDLE_VALUE when none can be made.
HANDLE createTemporary(const char *path, std::string *temp) {
    const std::string stem =
        folderOf(path) + "/.vellomar-mark." + std::to_string(::GetCurrentProcessId()) + ".";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        *temp = stem + std::to_string(attempt);
        const HANDLE file = ::CreateFileA(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

bool fillTemporary(HANDLE file, const std::string &bytes, std::string *why) {
    bool ok = writeAll(file, bytes) && ::FlushFileBuffers(file);
    if (!ok)
        *why = lastError();
    if (!::CloseHandle(file) && ok) {
        *why = lastError();
        ok = false;
    }
    return ok;
}

} // namespace

bool readRegularFile(const char *path, std::string *text, FileId *id, std::string *why) {
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = "not a regular file";
        return false;
    }
    const HANDLE file = ::CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = lastError();
        return false;
    }
    // The type first: a device such as NUL has no file information to give.
    DWORD unused = 0;
    bool ok = ::GetFileType(file) == FILE_TYPE_DISK;
    if (!ok) {
        *why = "not a regular file";
    } else if (!identify(file, id, &unused)) {
        *why = lastError();
        ok = false;
    } else {
        ok = readAll(file, text, why);
    }
    ::CloseHandle(file);
    return ok;
}

// Opening asks for no access, so even a file that others hold open can be
// looked at; the flag lets a folder be opened too.
OutputPath classifyOutput(const char *path, const FileId &input) {
    const HANDLE file = ::CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES ? OutputPath::nothing
                                                                      : OutputPath::file;
    FileId id;
    DWORD attributes = 0;
    const bool disk = ::GetFileType(file) == FILE_TYPE_DISK;
    const bool known = disk && identify(file, &id, &attributes);
    ::CloseHandle(file);
    if (!disk)
        return OutputPath::notRegular; // NUL, CON, a pipe
    if (known && id == input)
        return OutputPath::theInput;
    if (known && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return OutputPath::folder;
    // The move would replace a link itself, not the file it names.
    if (known && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return OutputPath::notRegular;
    return OutputPath::file;
}

Written replaceFile(const char *path, const std::string &bytes, bool replace, std::string *why) {
    std::string temp;
    const HANDLE file = createTemporary(path, &temp);
    if (file == INVALID_HANDLE_VALUE) {
        *why = "cannot create a temporary file in " + folderOf(path) + ": " + lastError();
        return Written::failed;
    }
    if (!fillTemporary(file, bytes, why)) {
        ::DeleteFileA(temp.c_str());
        return Written::failed;
    }
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (::MoveFileExA(temp.c_str(), path, flags))
        return Written::ok;
    const DWORD code = ::GetLastError();
    *why = lastError();
    ::DeleteFileA(temp.c_str());
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS ? Written::exists
                                                                     : Written::failed;
}

// _stati64: a plain stat cannot tell a file of 2 GiB or more.
bool statusOf(const char *path, PathStatus *status) {
    struct _stati64 info;
    if (::_stati64(path, &info) != 0)
        return false;
    const unsigned type = info.st_mode & S_IFMT;
    status->kind = type == S_IFREG   ? PathKind::regular
                   : type == S_IFDIR ? PathKind::folder
                                     : PathKind::other;
    status->length = static_cast<uint64_t>(info.st_size);
    return true;
}

} // namespace tool
} // namespace vellomar
