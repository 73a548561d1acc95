/* Preloaded into vellomar-mark (LD_PRELOAD) to make an OUTPUT appear after
 * the tool has checked that none is there and before it renames its
 * temporary file into place, at that moment and no other: the file named by
 * VELLOMAR_APPEARS is created, holding "appeared\n", just before the first
 * renameat2 or rename goes to the system. No timing is involved. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

static void appear(void) {
    const char *path = getenv("VELLOMAR_APPEARS");
    if (path == NULL)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
        if (write(fd, "appeared\n", 9) != 9)
            abort();
        close(fd);
    }
}

int renameat2(int fromFolder, const char *from, int toFolder, const char *to, unsigned flags) {
    appear();
    return (int)syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags);
}

int rename(const char *from, const char *to) {
    appear();
    return (int)syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0);
}
