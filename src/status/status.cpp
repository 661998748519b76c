#include "status/status.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static const char STATUS_PATH[] = "/var/quarn.status";
static const char STATUS_NEW_PATH[] = "/var/quarn.status.new";

// Plain calls rather than a stdio stream: the file is rewritten before every block, and a
// stream would add an allocation and a status query of its own to each line.
static void write_status(const char *line, size_t len) {
    int fd = open(STATUS_NEW_PATH, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return;
    bool whole = write(fd, line, len) == static_cast<ssize_t>(len);
    // A line that did not reach the file whole (a full /var) must not replace the
    // last good one: readers would see an empty or cut status.
    if (close(fd) != 0 || !whole)
        return;
    rename(STATUS_NEW_PATH, STATUS_PATH);
}

void report_status(const char *format, ...) {
    char line[64];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (len < 0 || static_cast<size_t>(len) >= sizeof line)
        return;
    write_status(line, static_cast<size_t>(len));
}

void report_error(const char *message) {
    int error = errno;
    fprintf(stderr, "%s: %s\n", message, strerror(error));
}
