#include "status/status.h"

#include <cerrno>
#include <cstdint>
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

void report_status(const char *line) { write_status(line, strlen(line)); }

// Done here rather than by printf: its floating-point conversion is most of the cost of a
// status line and pulls a good part of the C library into memory. A float times ten is
// exact in double precision, so rounding that product to the nearest integer, ties to
// even, is exactly how printf rounds to one decimal.
void format_percent(float percent, char *text) {
    double tenths = static_cast<double>(percent) * 10.0;
    uint32_t rounded = static_cast<uint32_t>(tenths);
    double fraction = tenths - rounded;
    if (fraction > 0.5 || (fraction == 0.5 && (rounded & 1) != 0))
        rounded++;
    text[5] = '\0';
    text[4] = static_cast<char>('0' + rounded % 10);
    text[3] = '.';
    rounded /= 10;
    int at = 2;
    do {
        text[at--] = static_cast<char>('0' + rounded % 10);
        rounded /= 10;
    } while (rounded != 0 && at >= 0);
    while (at >= 0)
        text[at--] = ' ';
}

void report_progress(const char *phase, float percent) {
    char line[32];
    size_t len = strlen(phase);
    memcpy(line, phase, len);
    line[len++] = ' ';
    format_percent(percent, line + len);
    len += 5;
    memcpy(line + len, " %\n", 3);
    write_status(line, len + 3);
}

void print_number(const char *before, uint64_t number, const char *after) {
    char digits[20];
    size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    fputs(before, stdout);
    fwrite(digits + at, 1, sizeof digits - at, stdout);
    fputs(after, stdout);
}

void report_error(const char *message) {
    int error = errno;
    fprintf(stderr, "%s: %s\n", message, strerror(error));
}
