#include "status/status.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static const char STATUS_PATH[] = "/var/quarn.status";
static const char STATUS_NEW_PATH[] = "/var/quarn.status.new";

void report_status(const char *format, ...) {
    FILE *stream = fopen(STATUS_NEW_PATH, "wb");
    if (stream == nullptr)
        return;
    va_list args;
    va_start(args, format);
    int written = vfprintf(stream, format, args);
    va_end(args);
    // A line that did not reach the file whole (a full /var) must not replace the
    // last good one: readers would see an empty or cut status.
    if (fclose(stream) != 0 || written < 0)
        return;
    rename(STATUS_NEW_PATH, STATUS_PATH);
}

void report_error(const char *message) {
    int error = errno;
    fprintf(stderr, "%s: %s\n", message, strerror(error));
}
