// vellomar-mark: writes marked files, the other direction of what StringTable
// reads. A marked file is "_PW_", the text up to its first record marker as
// it is, and everything from that marker on stored as its complement.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/mark.h"

namespace {

using vellomar::mark::Breaks;
using vellomar::mark::Marking;
using vellomar::mark::Status;

struct Options {
    Breaks breaks = Breaks::scrambled;
    bool force = false;
    const char *input = nullptr;
    const char *output = nullptr;
};

int usage(FILE *out) {
    std::fputs(
        "usage: vellomar-mark [--plain-breaks] [--force] INPUT OUTPUT\n"
        "  Writes OUTPUT as the marked file of the record text INPUT (head, then\n"
        "  marker lines and bodies, CR LF line breaks): \"_PW_\", the head as it is,\n"
        "  and everything from the first record marker on stored scrambled.\n"
        "  --plain-breaks  store the line break before each record marker and the\n"
        "                  final line break plain\n"
        "  --force         replace OUTPUT if it exists (never INPUT itself)\n",
        out);
    return out == stdout ? 0 : 2;
}

bool parseOptions(int argc, char **argv, Options *options) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg == "--plain-breaks") {
            options->breaks = Breaks::plain;
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

// Reads a regular file whole; on failure says why in *why.
bool readInput(const char *path, std::string *text, struct stat *info, std::string *why) {
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
    return ok;
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

std::string folderOf(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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
    std::string temp = folderOf(options.output) + "/.vellomar-mark.XXXXXX";
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
            ok = ::rename(temp.c_str(), options.output) == 0;
        } else {
            ok = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, options.output,
                             RENAME_NOREPLACE) == 0;
            // File systems without that flag: OUTPUT was checked just before.
            if (!ok && (errno == EINVAL || errno == ENOSYS))
                ok = ::rename(temp.c_str(), options.output) == 0;
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

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout);
    Options options;
    if (!parseOptions(argc, argv, &options))
        return usage(stderr);

    std::string text;
    struct stat inputInfo;
    std::string why;
    if (!readInput(options.input, &text, &inputInfo, &why))
        return refuse(options.input, why);

    // The same file may stand under another name: compare what the names
    // lead to, not the names.
    struct stat outputInfo;
    if (::stat(options.output, &outputInfo) == 0) {
        if (outputInfo.st_dev == inputInfo.st_dev && outputInfo.st_ino == inputInfo.st_ino)
            return refuse(options.output, std::string("is the input ") + options.input +
                                              " itself; it is never overwritten");
        if (S_ISDIR(outputInfo.st_mode))
            return refuse(options.output, "is a folder");
        if (!options.force)
            return refuse(options.output, "exists (--force replaces it)");
    }

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
