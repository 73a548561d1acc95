// The file-system operations the tools need, one file per platform
// (files_posix.cpp, files_win.cpp), so that the tools' mains hold no
// platform calls. The library keeps its own seam, library/os.h: the tools
// allocate and throw where the library may not.
#ifndef VELLOMAR_TOOLS_FILES_H
#define VELLOMAR_TOOLS_FILES_H

#include <cstdint>
#include <string>

namespace vellomar {
namespace tool {

// Which file a path leads to: the same file may stand under another name (a
// hard link, a symbolic link, another spelling), so files are compared by
// where they are stored, never by name.
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
};

inline bool operator==(const FileId &a, const FileId &b) {
    return a.volume == b.volume && a.index == b.index;
}

// Reads a regular file whole into *text and says which file it was. Anything
// else (a folder, a device, a FIFO) is refused before a byte is read, so a
// FIFO without a writer never blocks. On failure false, with why in *why.
bool readRegularFile(const char *path, std::string *text, FileId *id, std::string *why);

// What an output path names before anything is written. Only regular files
// are ever written: a device, a FIFO or a socket would be replaced by a
// regular file when the new file is moved into place.
enum class OutputPath { nothing, file, folder, notRegular, theInput };
OutputPath classifyOutput(const char *path, const FileId &input);

// Writes bytes into a new file beside path and moves it into place, so that
// path is either untouched or complete. Without replace, a file that appeared
// at path since it was classified is still not replaced (exists). A symbolic
// link at path stays a link, and the regular file it names is replaced; a
// device or a reparse point is never written through.
enum class Written { ok, exists, failed };
Written replaceFile(const char *path, const std::string &bytes, bool replace, std::string *why);

// What a look at a path shows without opening it, for explaining why a file
// could not be read.
enum class PathKind { regular, folder, other };
struct PathStatus {
    PathKind kind = PathKind::other;
    uint64_t length = 0; // in 64 bits on both platforms
};
// False, with errno set, when the path cannot be looked at.
bool statusOf(const char *path, PathStatus *status);

// The folder a path lies in: "." for a bare name. Windows takes either
// slash in a path.
inline std::string folderOf(const std::string &path) {
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
#else
    const size_t slash = path.find_last_of('/');
#endif
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace tool
} // namespace vellomar

#endif
