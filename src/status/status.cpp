// The status file, replaced whole for every line, and the error reports on standard error.
#include "status/status.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char STATUS_DIR[] = "/var";
static const char STATUS_PATH[] = "/var/quarn.status";
static const char STATUS_NEW_PATH[] = "/var/quarn.status.new";

// O_EXCL creates a new regular file or fails: it never follows a link planted at the path
// (quarn runs as root) and never opens a FIFO or device node that would block or swallow the
// line. A file, link, FIFO or node left there is removed first; a directory is not, and the
// line is then lost as on a read-only /var.
static int create_status_file() {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = open(STATUS_NEW_PATH, flags, 0666);
    if (fd < 0 && errno == EEXIST && unlink(STATUS_NEW_PATH) == 0)
        fd = open(STATUS_NEW_PATH, flags, 0666);
    return fd;
}

// The rename is durable only once the directory entry is on storage too.
static void sync_status_dir() {
    int fd = open(STATUS_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// Plain calls rather than a stdio stream: the file is rewritten before every block, and a
// stream would add an allocation and a status query of its own to each line.
static void write_status(const char *line, size_t len, bool durable) {
    int fd = create_status_file();
    if (fd < 0)
        return;
    bool whole = write(fd, line, len) == static_cast<ssize_t>(len);
    // The line is on storage before the rename, or a power cut could leave the renamed file
    // without it: a file system such as UBIFS writes the rename to the flash at once and the
    // data only later. Readers must still learn the line when the storage cannot confirm it,
    // so a failed sync does not hold the rename back.
    if (whole)
        fdatasync(fd);
    // A line that did not reach the file whole (a full /var) must not replace the last good
    // one: readers would see an empty or cut status.
    if (close(fd) != 0 || !whole)
        return;
    // A progress line's rename lost to a power cut leaves the line before it, whole; only the
    // lines a reader relies on after one are waited for.
    if (rename(STATUS_NEW_PATH, STATUS_PATH) == 0 && durable)
        sync_status_dir();
}

void report_status(const char *format, ...) {
    char line[64];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (len < 0 || static_cast<size_t>(len) >= sizeof line)
        return;
    write_status(line, static_cast<size_t>(len), false);
}

void report_milestone(const char *line) { write_status(line, strlen(line), true); }

// errno is left as the failed call set it, so that the caller can still tell what failed.
void report_error(const char *message) {
    int error = errno;
    fprintf(stderr, "%s: %s\n", message, strerror(error));
    errno = error;
}
