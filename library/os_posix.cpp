// POSIX stand-ins for CreateFileA, GetFileSize, ReadFile, CloseHandle and
// MessageBoxA.
#include "library/os.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellomar {

namespace {

bool openFile(const char *fileName, OsFile *file) {
    // O_NONBLOCK so that opening a FIFO with no writer returns at once; it
    // changes nothing for regular files. Directories, FIFOs and devices are
    // turned away by fileSize, which asks fstat anyway: one system call
    // fewer on every call.
    int fd;
    do {
        fd = ::open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    *file = fd;
    return true;
}

bool fileSize(OsFile file, uint64_t *length) {
    struct stat info;
    // fstat of a descriptor just opened does not fail on a 64-bit system,
    // and a regular file's size is never negative: checked all the same.
    if (::fstat(static_cast<int>(file), &info) != 0 || // GCOVR_EXCL_BR_LINE
        !S_ISREG(info.st_mode) || info.st_size < 0)    // GCOVR_EXCL_BR_LINE
        return false;
    *length = static_cast<uint64_t>(info.st_size);
    return true;
}

uint32_t readFile(OsFile file, uint8_t *buffer, uint32_t length) {
    // read() may deliver less than asked (and Linux never more than about
    // 2 GiB at once), so keep asking until the length, end of file or an error.
    uint32_t delivered = 0;
    while (delivered < length) {
        const ssize_t got = ::read(static_cast<int>(file), buffer + delivered, length - delivered);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        delivered += static_cast<uint32_t>(got);
    }
    return delivered;
}

void closeFile(OsFile file) { ::close(static_cast<int>(file)); }

// Whether a SIGPIPE is pending for this thread or the process.
bool sigpipePending() {
    sigset_t pending;
    // sigpending fails only for a bad address: checked all the same.
    if (sigpending(&pending) != 0) // GCOVR_EXCL_BR_LINE
        return false;              // GCOVR_EXCL_LINE
    return sigismember(&pending, SIGPIPE) == 1;
}

// A write to a pipe or socket with no reader raises SIGPIPE, whose default
// action ends the process: the host's, for a report it may never see. So
// SIGPIPE is blocked in this thread for the write only, and the one that the
// write itself raised is taken before the mask is restored. One that was
// pending already is the host's and stays pending; the host's disposition and
// handlers are never touched.
ssize_t writeWithoutSigpipe(int fd, const char *bytes, size_t length) {
    sigset_t sigpipe, previous;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    // pthread_sigmask fails only for an unknown `how`: checked all the same.
    if (pthread_sigmask(SIG_BLOCK, &sigpipe, &previous) != 0) // GCOVR_EXCL_BR_LINE
        return -1;                                            // GCOVR_EXCL_LINE
    const bool hostsPending = sigpipePending();
    ssize_t written;
    do {
        written = ::write(fd, bytes, length);
    } while (written < 0 && errno == EINTR);
    if (!hostsPending && sigpipePending()) {
        const struct timespec noWait = {0, 0};
        while (sigtimedwait(&sigpipe, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

// One line on standard error, "Tarvoni DLL: DLL error: N", written at once so
// that lines from several threads never mix; a text too long for the line is
// cut, its line break kept. A written line counts as OK.
int writeBox(const char *text, const char *caption) {
    char line[128];
    unsigned length = 0;
    const char *const parts[] = {caption, ": ", text};
    for (const char *part : parts)
        for (const char *c = part; *c != '\0' && length < sizeof line - 1; ++c)
            line[length++] = *c;
    line[length++] = '\n';
    const ssize_t written = writeWithoutSigpipe(STDERR_FILENO, line, length);
    return written == static_cast<ssize_t>(length) ? IDOK : 0;
}

} // namespace

const OsLayer platformOs = {openFile, fileSize, readFile, closeFile, writeBox};

} // namespace vellomar
