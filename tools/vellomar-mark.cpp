// vellomar-mark: writes marked files, the other direction of what StringTable
// reads. A marked file is "_PW_", the text up to its first record marker as
// it is, and everything from that marker on stored as its complement. With
// --decode it goes the other way, so that a marked file can be edited.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "tools/decode.h"
#include "tools/mark.h"
#include "tools/output.h"

namespace {

using vellomar::mark::Breaks;
using vellomar::mark::DecodeStatus;
using vellomar::mark::Decoding;
using vellomar::mark::Marking;
using vellomar::mark::Status;

struct Options {
    Breaks breaks = Breaks::scrambled;
    bool force = false;
    bool plainBreaksAsked = false;
    bool decode = false;
    bool strict = false;
    const char *input = nullptr;
    const char *output = nullptr;
};

int usage(FILE *out) {
    std::fputs(
        "usage: vellomar-mark [--plain-breaks] [--force] INPUT OUTPUT\n"
        "       vellomar-mark --decode [--strict] [--force] INPUT OUTPUT\n"
        "  Writes OUTPUT as the marked file of the record text INPUT (head, then\n"
        "  marker lines and bodies, CR LF line breaks): \"_PW_\", the head as it is,\n"
        "  and everything from the first record marker on stored scrambled.\n"
        "  --plain-breaks  store the line break before each record marker and the\n"
        "                  final line break plain\n"
        "  --force         replace OUTPUT if it exists (never INPUT itself)\n"
        "  -d, --decode    the other way: write OUTPUT as the record text of the\n"
        "                  marked file INPUT, say how INPUT stores its line breaks\n"
        "                  and whether marking the text again gives back INPUT\n"
        "  --strict        with --decode: exit 3 when it would not come back\n"
        "Editing a marked file:\n"
        "  vellomar-mark --decode examples/marked.txt /tmp/record.txt\n"
        "  (edit /tmp/record.txt)\n"
        "  vellomar-mark --force /tmp/record.txt /tmp/marked.txt\n"
        "  (with --plain-breaks where --decode says so)\n",
        out);
    return out == stdout ? 0 : 2;
}

bool parseOptions(int argc, char **argv, Options *options) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg == "--plain-breaks") {
            options->breaks = Breaks::plain;
            options->plainBreaksAsked = true;
        } else if (!optionsEnded && (arg == "--decode" || arg == "-d")) {
            options->decode = true;
        } else if (!optionsEnded && arg == "--strict") {
            options->strict = true;
        } else if (!optionsEnded && arg == "--force") {
            options->force = true;
        } else if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return false;
        } else if (options->input == nullptr) {
            options->input = argv[i];
        } else if (options->output == nullptr) {
            options->output = argv[i];
        } else {
            return false;
        }
    }
    // Decoding finds the storing in the file; --strict is about decoding.
    if (options->decode ? options->plainBreaksAsked : options->strict)
        return false;
    return options->output != nullptr;
}

int refuse(const char *path, const std::string &why) {
    std::fprintf(stderr, "vellomar-mark: %s: %s\n", path, why.c_str());
    return 1;
}

std::string hexByte(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

// Why the marking would not come back, from where it first differs.
std::string whyNotBack(const std::string &text, const Marking &marking) {
    const size_t at = marking.firstDifference;
    std::string where = at < 4 ? "byte " + std::to_string(at) + " of the mark \"_PW_\""
                               : "offset " + std::to_string(at - 4) + " of the input";
    std::string why = "cannot be marked: " + where + " would be read back as " +
                      hexByte(marking.decodedByte) + " instead of " + hexByte(marking.wantedByte);
    if (at < 4 + marking.scrambledFrom) {
        const size_t pair = text.find("\xBF\xC2");
        why += ": the head holds the bytes 0xBF 0xC2 (at offset " + std::to_string(pair) +
               "), which a reader takes for the start of the scrambled part";
    } else if (at + 2 >= marking.bytes.size()) {
        why += ": the text ends in 0xF2 0xF5, which a reader takes for a line break stored plain";
    } else {
        const size_t before = text.find("\xF5@=", marking.scrambledFrom);
        why += ": a byte 0xF5 directly before \"@=\" (at offset " + std::to_string(before) +
               ") is taken by a reader for a line break stored plain";
    }
    return why;
}

// What an OUTPUT path names before anything is written. Only regular files
// are ever written: a device, a FIFO or a socket would be replaced by a
// regular file when the new file is moved into place.
enum class Existing { nothing, file, folder, notRegular, theInput };

// Windows takes either slash in a path.
#ifdef _WIN32
const char kSlashes[] = "/\\";
#else
const char kSlashes[] = "/";
#endif

std::string folderOf(const std::string &path) {
    const size_t slash = path.find_last_of(kSlashes);
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

#ifdef _WIN32

struct FileId {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

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
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    *attributes = info.dwFileAttributes;
    return true;
}

// Reads a regular file whole; on failure says why in *why. Others may go on
// reading and writing it meanwhile, as on POSIX.
bool readInput(const char *path, std::string *text, FileId *id, std::string *why) {
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = "not a regular file";
        return false;
    }
    const HANDLE file =
        ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    }
    char chunk[65536];
    while (ok) {
        DWORD got = 0;
        if (!::ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            *why = lastError();
            ok = false;
        } else if (got == 0) {
            break;
        } else {
            text->append(chunk, got);
        }
    }
    ::CloseHandle(file);
    return ok;
}

// What OUTPUT names now. The same file may stand under another name (a hard
// link, a link, another spelling of the path): compare the volume and the
// file's index, not the names. Opening asks for no access, so even a file
// that others hold open can be looked at.
Existing lookAtOutput(const char *path, const FileId &input) {
    const HANDLE file = ::CreateFileA(
        path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr); // the flag lets a folder be opened too
    if (file == INVALID_HANDLE_VALUE)
        return ::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES ? Existing::nothing
                                                                      : Existing::file;
    FileId id;
    DWORD attributes = 0;
    const bool disk = ::GetFileType(file) == FILE_TYPE_DISK;
    const bool known = disk && identify(file, &id, &attributes);
    ::CloseHandle(file);
    if (!disk)
        return Existing::notRegular; // NUL, CON, a pipe
    if (known && id.volume == input.volume && id.indexHigh == input.indexHigh &&
        id.indexLow == input.indexLow)
        return Existing::theInput;
    if (known && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Existing::folder;
    // The move would replace a link itself, not the file it names.
    if (known && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return Existing::notRegular;
    return Existing::file;
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

// Writes the bytes into a new file beside OUTPUT and moves it into place, so
// that OUTPUT is either untouched or complete. Without --force the move
// itself refuses an OUTPUT that appeared since it was checked.
int writeOutput(const Options &options, const std::string &bytes) {
    const std::string stem = folderOf(options.output) + "/.vellomar-mark." +
                             std::to_string(::GetCurrentProcessId()) + ".";
    std::string temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        temp = stem + std::to_string(attempt);
        file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE)
        return refuse(options.output, "cannot write beside it: " + lastError());
    bool ok = writeAll(file, bytes) && ::FlushFileBuffers(file);
    std::string why = ok ? "" : lastError();
    if (!::CloseHandle(file) && ok) {
        ok = false;
        why = lastError();
    }
    if (ok) {
        const DWORD flags =
            MOVEFILE_WRITE_THROUGH | (options.force ? MOVEFILE_REPLACE_EXISTING : 0);
        ok = ::MoveFileExA(temp.c_str(), options.output, flags) != 0;
        if (!ok) {
            const DWORD code = ::GetLastError();
            why = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
                      ? "exists (--force replaces it)"
                      : lastError();
        }
    }
    if (!ok) {
        ::DeleteFileA(temp.c_str());
        return refuse(options.output, why);
    }
    return 0;
}

#else

struct FileId {
    dev_t device;
    ino_t inode;
};

// Reads a regular file whole; on failure says why in *why.
bool readInput(const char *path, std::string *text, FileId *id, std::string *why) {
    struct stat status;
    struct stat *info = &status;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    bool ok = ::fstat(fd, info) == 0;
    if (!ok) {
        *why = std::strerror(errno);
    } else if (!S_ISREG(info->st_mode)) {
        *why = "not a regular file";
        ok = false;
    }
    char chunk[65536];
    while (ok) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            text->append(chunk, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            *why = std::strerror(errno);
            ok = false;
        }
    }
    ::close(fd);
    *id = {info->st_dev, info->st_ino};
    return ok;
}

// What OUTPUT names now. The same file may stand under another name:
// compare what the names lead to, not the names. A symbolic link to nothing
// names no file that could be written in its place.
Existing lookAtOutput(const char *path, const FileId &input) {
    struct stat info;
    if (::stat(path, &info) != 0)
        return ::lstat(path, &info) == 0 ? Existing::notRegular : Existing::nothing;
    if (info.st_dev == input.device && info.st_ino == input.inode)
        return Existing::theInput;
    if (S_ISDIR(info.st_mode))
        return Existing::folder;
    return S_ISREG(info.st_mode) ? Existing::file : Existing::notRegular;
}

// Where the new file goes: a symbolic link OUTPUT keeps being the link, and
// the file it names is the one replaced.
std::string whereToWrite(const char *output) {
    struct stat info;
    if (::lstat(output, &info) != 0 || !S_ISLNK(info.st_mode))
        return output;
    char *target = ::realpath(output, nullptr);
    if (target == nullptr)
        return output;
    const std::string resolved = target;
    std::free(target);
    return resolved;
}

bool writeAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Writes the bytes into a new file beside OUTPUT and moves it into place, so
// that OUTPUT is either untouched or complete. Without --force, an OUTPUT
// that appeared since it was checked is still not replaced.
int writeOutput(const Options &options, const std::string &bytes) {
    const std::string target = whereToWrite(options.output);
    std::string temp = folderOf(target) + "/.vellomar-mark.XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0)
        return refuse(options.output, std::string("cannot write beside it: ") +
                                          std::strerror(errno));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    std::string why = ok ? "" : std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = std::strerror(errno);
    }
    if (ok) {
        if (options.force) {
            ok = ::rename(temp.c_str(), target.c_str()) == 0;
        } else {
            ok = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(),
                             RENAME_NOREPLACE) == 0;
            // File systems without that flag: OUTPUT was checked just before.
            if (!ok && (errno == EINVAL || errno == ENOSYS))
                ok = ::rename(temp.c_str(), target.c_str()) == 0;
        }
        if (!ok)
            why = errno == EEXIST ? "exists (--force replaces it)" : std::strerror(errno);
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return refuse(options.output, why);
    }
    return 0;
}

#endif

// --decode: writes the record text, then says what marking it again gives.
// The exit status says only whether OUTPUT was written, unless --strict.
int decodeInput(const Options &options, const std::string &file) {
    const Decoding decoding = vellomar::mark::decodeFile(file);
    switch (decoding.status) {
    case DecodeStatus::notMarked:
        return refuse(options.input, "not a marked file: it does not begin with \"_PW_\"");
    case DecodeStatus::tooLong:
        return refuse(options.input, "too long: StringTable reads files under 4 GiB only");
    case DecodeStatus::ok:
        break;
    }
    const int status = writeOutput(options, decoding.text);
    if (status != 0)
        return status;
    std::printf("%s: %zu bytes, the record text of %s\n%s", options.output,
                decoding.text.size(), options.input, vellomar::mark::describe(decoding).c_str());
    return options.strict && !decoding.comesBack ? 3 : 0;
}

int markFile(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout);
    Options options;
    if (!parseOptions(argc, argv, &options))
        return usage(stderr);

    std::string text;
    FileId input;
    std::string why;
    if (!readInput(options.input, &text, &input, &why))
        return refuse(options.input, why);

    switch (lookAtOutput(options.output, input)) {
    case Existing::theInput:
        return refuse(options.output, std::string("is the input ") + options.input +
                                          " itself; it is never overwritten");
    case Existing::folder:
        return refuse(options.output, "is a folder");
    case Existing::notRegular:
        return refuse(options.output,
                      "not a regular file (a device, FIFO, socket, or a link to nothing); only "
                      "regular files are written, even with --force");
    case Existing::file:
        if (!options.force)
            return refuse(options.output, "exists (--force replaces it)");
        break;
    case Existing::nothing:
        break;
    }

    if (options.decode)
        return decodeInput(options, text);
    const Marking marking = vellomar::mark::markText(text, options.breaks);
    switch (marking.status) {
    case Status::noMarker:
        return refuse(options.input,
                      "no record marker (a CR LF line break followed by \"@=\"), so nothing to "
                      "scramble; a text with LF line breaks must be converted to CR LF first");
    case Status::tooLong:
        return refuse(options.input, "too long: a marked file must stay under 4 GiB");
    case Status::wouldNotComeBack:
        return refuse(options.input, whyNotBack(text, marking));
    case Status::ok:
        break;
    }
    const int status = writeOutput(options, marking.bytes);
    if (status == 0)
        std::printf("%s: %zu bytes, marked; scrambled from byte %zu\n", options.output,
                    marking.bytes.size(), marking.scrambledFrom + 4);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    return vellomar::tool::runTool("vellomar-mark", markFile, argc, argv);
}
