/* Preloaded (LD_PRELOAD) into a tool or a host to make the system give the
 * answers a test row names, rather than waiting for a race or a full disk to
 * give them. VELLOMAR_ANSWERS holds the rules, separated by spaces:
 *
 *   CALL:ERRNO[:N]     the first N calls of CALL (every call without N) fail
 *                      with ERRNO: open:EINTR:1, renameat2:ENOSYS
 *   write:ERRNO:@N     a write fails with ERRNO once N bytes have gone to
 *                      regular files: write:ENOSPC:@100 (writes answer only
 *                      for regular files, never standard output or error)
 *
 * CALL is open (open, open64, openat), read, write, fsync, rename,
 * renameat2, unlink or sigtimedwait; ERRNO is EINTR, ENOSYS, ENOSPC, EIO or
 * EXDEV. VELLOMAR_CALL_LOG names a file to which the name of every fsync,
 * rename, renameat2 and unlink is appended, one a line, in the order made.
 * VELLOMAR_APPEARS names a file created, holding "appeared\n", just before
 * the first rename or renameat2: an OUTPUT that appears after a tool looked.
 * Every call that is let through goes to the system directly. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static const struct { const char *name; int value; } kErrors[] = {
    {"EINTR", EINTR}, {"ENOSYS", ENOSYS}, {"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EXDEV", EXDEV}};

static long callsOf[16]; /* by the rule's place in VELLOMAR_ANSWERS */
static long bytesToFiles;

/* The error CALL is to fail with now, or 0 to let it through; bytes is what
 * a write would add to the files. */
static int answerFor(const char *call, size_t bytes) {
    const char *rules = getenv("VELLOMAR_ANSWERS");
    const size_t callLength = strlen(call);
    for (int rule = 0; rules != NULL && *rules != '\0' && rule < 16; ++rule) {
        const char *end = strchr(rules, ' ');
        const size_t length = end != NULL ? (size_t)(end - rules) : strlen(rules);
        if (length > callLength && strncmp(rules, call, callLength) == 0 &&
            rules[callLength] == ':') {
            const char *error = rules + callLength + 1;
            const char *count = memchr(error, ':', length - callLength - 1);
            const size_t errorLength = count != NULL ? (size_t)(count - error)
                                                     : length - callLength - 1;
            int value = 0;
            for (size_t e = 0; e < sizeof kErrors / sizeof kErrors[0]; ++e)
                if (strlen(kErrors[e].name) == errorLength &&
                    strncmp(kErrors[e].name, error, errorLength) == 0)
                    value = kErrors[e].value;
            if (count == NULL)
                return value;
            if (count[1] == '@')
                return bytesToFiles + (long)bytes > atol(count + 2) ? value : 0;
            if (callsOf[rule]++ < atol(count + 1))
                return value;
        }
        rules = end != NULL ? end + 1 : "";
    }
    return 0;
}

static int fail(int error) {
    errno = error;
    return -1;
}

static void logCall(const char *call) {
    const char *path = getenv("VELLOMAR_CALL_LOG");
    if (path == NULL)
        return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        if (syscall(SYS_write, fd, call, strlen(call)) < 0 || syscall(SYS_write, fd, "\n", 1) < 0)
            abort();
        syscall(SYS_close, fd);
    }
}

static void appear(void) {
    const char *path = getenv("VELLOMAR_APPEARS");
    if (path == NULL)
        return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
        if (syscall(SYS_write, fd, "appeared\n", 9) != 9)
            abort();
        syscall(SYS_close, fd);
    }
}

static int openAt(int folder, const char *path, int flags, va_list rest) {
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(rest, mode_t) : 0;
    const int error = answerFor("open", 0);
    return error != 0 ? fail(error) : (int)syscall(SYS_openat, folder, path, flags, mode);
}

int openat(int folder, const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = openAt(folder, path, flags, rest);
    va_end(rest);
    return fd;
}

int open(const char *path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int fd = openAt(AT_FDCWD, path, flags, rest);
    va_end(rest);
    return fd;
}

int open64(const char *path, int flags, ...) __attribute__((alias("open")));

ssize_t read(int fd, void *bytes, size_t length) {
    const int error = answerFor("read", 0);
    return error != 0 ? fail(error) : syscall(SYS_read, fd, bytes, length);
}

/* Only writes to regular files are answered: the tool's output file, never
 * its standard output or error. */
ssize_t write(int fd, const void *bytes, size_t length) {
    struct stat info;
    const int toFile = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const int error = toFile ? answerFor("write", length) : 0;
    if (error != 0)
        return fail(error);
    const ssize_t wrote = syscall(SYS_write, fd, bytes, length);
    if (wrote > 0 && toFile)
        bytesToFiles += wrote;
    return wrote;
}

int fsync(int fd) {
    logCall("fsync");
    const int error = answerFor("fsync", 0);
    return error != 0 ? fail(error) : (int)syscall(SYS_fsync, fd);
}

int renameat2(int fromFolder, const char *from, int toFolder, const char *to, unsigned flags) {
    logCall("renameat2");
    appear();
    const int error = answerFor("renameat2", 0);
    return error != 0 ? fail(error)
                      : (int)syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags);
}

int rename(const char *from, const char *to) {
    logCall("rename");
    appear();
    const int error = answerFor("rename", 0);
    return error != 0 ? fail(error)
                      : (int)syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0);
}

int unlink(const char *path) {
    logCall("unlink");
    const int error = answerFor("unlink", 0);
    return error != 0 ? fail(error) : (int)syscall(SYS_unlinkat, AT_FDCWD, path, 0);
}

int sigtimedwait(const sigset_t *set, siginfo_t *info, const struct timespec *timeout) {
    const int error = answerFor("sigtimedwait", 0);
    return error != 0 ? fail(error)
                      : (int)syscall(SYS_rt_sigtimedwait, set, info, timeout, _NSIG / 8);
}
