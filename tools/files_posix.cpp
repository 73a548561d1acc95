// The tools' file operations on POSIX systems (see files.h).
#include "tools/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vellomar {
namespace tool {

namespace {

std::string lastError() { return std::strerror(errno); }

bool readAll(int fd, std::string *text, std::string *why) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            text->append(chunk, static_cast<size_t>(got));
        } else if (got == 0) {
            return true;
        } else if (errno != EINTR) {
            *why = lastError();
            return false;
        }
    }
}

bool writeAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno != EINTR)
            return false;
        if (wrote > 0)
            done += static_cast<size_t>(wrote);
    }
    return true;
}

// Where the new file goes: a symbolic link at path keeps being the link, and
// the file it names is the one replaced.
std::string whereToWrite(const char *path) {
    struct stat info;
    if (::lstat(path, &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    char *target = ::realpath(path, nullptr);
    if (target == nullptr)
        return path;
    const std::string resolved = target;
    std::free(target);
    return resolved;
}

// Moves temp to target; without replace, never over a file that is there.
bool moveIntoPlace(const std::string &temp, const std::string &target, bool replace) {
    if (replace)
        return ::rename(temp.c_str(), target.c_str()) == 0;
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    // File systems without that flag: the path was classified just before.
    if (errno == EINVAL || errno == ENOSYS)
        return ::rename(temp.c_str(), target.c_str()) == 0;
    return false;
}

// The permissions the new file takes: those of the file it replaces, whose
// group it keeps too where this user may give it that group (as sed -i does:
// a private file stays private), or for a new file the mode the umask gives.
bool takePermissions(int fd, const std::string &target) {
    struct stat replaced;
    if (::stat(target.c_str(), &replaced) == 0) {
        if (::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
            // Not a group of this user's: the file gets the user's own.
        }
        return ::fchmod(fd, replaced.st_mode & 0777) == 0;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(fd, 0666 & ~mask) == 0;
}

// Fills a new temporary file with the bytes and the permissions it is to
// have, and has them on disk before it is moved.
bool fillTemporary(int fd, const std::string &bytes, const std::string &target,
                   std::string *why) {
    bool ok = takePermissions(fd, target) && writeAll(fd, bytes) && ::fsync(fd) == 0;
    if (!ok)
        *why = lastError();
    if (::close(fd) != 0 && ok) {
        *why = lastError();
        ok = false;
    }
    return ok;
}

FileId idOf(const struct stat &info) {
    return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// Reads an open file whole, once fstat says it is a regular one.
bool readIfRegular(int fd, std::string *text, FileId *id, std::string *why) {
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        *why = lastError();
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *why = "not a regular file";
        return false;
    }
    *id = idOf(info);
    return readAll(fd, text, why);
}

} // namespace

bool readRegularFile(const char *path, std::string *text, FileId *id, std::string *why) {
    // Not blocking: a FIFO opens at once and is then refused as what it is.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = lastError();
        return false;
    }
    const bool ok = readIfRegular(fd, text, id, why);
    ::close(fd);
    return ok;
}

OutputPath classifyOutput(const char *path, const FileId &input) {
    struct stat info;
    // A symbolic link to nothing names no file that could be written.
    if (::stat(path, &info) != 0)
        return ::lstat(path, &info) == 0 ? OutputPath::notRegular : OutputPath::nothing;
    if (idOf(info) == input)
        return OutputPath::theInput;
    if (S_ISDIR(info.st_mode))
        return OutputPath::folder;
    return S_ISREG(info.st_mode) ? OutputPath::file : OutputPath::notRegular;
}

Written replaceFile(const char *path, const std::string &bytes, bool replace, std::string *why) {
    const std::string target = whereToWrite(path);
    const std::string folder = folderOf(target);
    std::string temp = folder + "/.vellomar-mark.XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) {
        *why = "cannot create a temporary file in " + folder + ": " + lastError();
        return Written::failed;
    }
    if (!fillTemporary(fd, bytes, target, why)) {
        ::unlink(temp.c_str());
        return Written::failed;
    }
    if (moveIntoPlace(temp, target, replace))
        return Written::ok;
    const bool exists = errno == EEXIST;
    *why = lastError();
    ::unlink(temp.c_str());
    return exists ? Written::exists : Written::failed;
}

bool statusOf(const char *path, PathStatus *status) {
    struct stat info;
    if (::stat(path, &info) != 0)
        return false;
    status->kind = S_ISREG(info.st_mode)   ? PathKind::regular
                   : S_ISDIR(info.st_mode) ? PathKind::folder
                                           : PathKind::other;
    status->length = static_cast<uint64_t>(info.st_size);
    return true;
}

} // namespace tool
} // namespace vellomar
