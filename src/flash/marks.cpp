// The record of bad-block marks that may not have reached the chip, kept until the next boot.
// On raw NAND the kernel takes a block for bad in its memory before it writes the mark to the
// chip. When that write fails, the kernel passes over the block until the next boot, but the boot
// loader reads it as good: a slot laid out again in the same boot would lie one block off from
// where the boot loader reads it. So the device is held until a reboot makes both agree.
#include "flash/marks.h"

#include "status/status.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Lines of "BOOT_ID MTD_NUMBER OFFSET". Only root can create a file in /run; it is created
// readable by its owner alone, as the run lock is.
static const char UNSURE_MARKS_PATH[] = "/run/quarn.unsure-marks";
static const char BOOT_ID_PATH[] = "/proc/sys/kernel/random/boot_id";
static constexpr size_t BOOT_ID_LEN = 36;             // a UUID as text
static constexpr size_t LINE_SIZE = BOOT_ID_LEN + 48; // room for the longest line

// The file is small: at most a line for each MTD device, and never another boot's.
static char marks[8192];

static int32_t read_boot_id(char *id) {
    int fd = open(BOOT_ID_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t len = read(fd, id, BOOT_ID_LEN);
    int error = errno;
    close(fd);
    if (len != static_cast<ssize_t>(BOOT_ID_LEN)) {
        errno = len < 0 ? error : EINVAL;
        return -1;
    }
    id[BOOT_ID_LEN] = '\0';
    return 0;
}

// The file's text, NUL-terminated; 0 bytes when there is none. -1 with errno set.
static ssize_t read_marks(int fd) {
    // Room is left for the line a record adds, and the newline it may need before it.
    ssize_t len = read(fd, marks, sizeof marks - LINE_SIZE - 1);
    marks[len > 0 ? len : 0] = '\0';
    return len;
}

static char *next_line(char *line) {
    char *end = strchrnul(line, '\n');
    return end + (*end != '\0');
}

static bool of_boot(const char *line, const char *id) {
    return strncmp(line, id, BOOT_ID_LEN) == 0 && line[BOOT_ID_LEN] == ' ';
}

int32_t find_unsure_mark(unsigned mtd_num, uint64_t *offset, const char **unreadable) {
    int fd = open(UNSURE_MARKS_PATH, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return 0;
    ssize_t len = fd < 0 ? -1 : read_marks(fd);
    int error = errno;
    if (fd >= 0)
        close(fd);
    *unreadable = UNSURE_MARKS_PATH;
    if (len < 0) {
        errno = error;
        return -1;
    }
    char id[BOOT_ID_LEN + 1];
    *unreadable = BOOT_ID_PATH;
    if (len > 0 && read_boot_id(id) != 0)
        return -1;
    for (char *line = marks; *line != '\0'; line = next_line(line)) {
        if (!of_boot(line, id))
            continue;
        char *end;
        if (strtoul(line + BOOT_ID_LEN + 1, &end, 10) == mtd_num) {
            *offset = strtoull(end, nullptr, 10);
            return 1;
        }
    }
    return 0;
}

// The file is written anew with this boot's lines only, so that a /run that outlives a boot
// cannot hold a device for ever.
void record_unsure_mark(unsigned mtd_num, uint64_t offset) {
    char id[BOOT_ID_LEN + 1];
    if (read_boot_id(id) != 0) {
        report_error(BOOT_ID_PATH);
        return;
    }
    int fd = open(UNSURE_MARKS_PATH, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0 || read_marks(fd) < 0) {
        report_error(UNSURE_MARKS_PATH);
        if (fd >= 0)
            close(fd);
        return;
    }
    // Another boot's lines are stale, and one line a device is enough.
    size_t kept = 0;
    for (char *line = marks, *next; *line != '\0'; line = next) {
        next = next_line(line);
        char *end;
        if (!of_boot(line, id) || strtoul(line + BOOT_ID_LEN + 1, &end, 10) == mtd_num)
            continue;
        memmove(marks + kept, line, static_cast<size_t>(next - line));
        kept += static_cast<size_t>(next - line);
    }
    // A last line cut short by a full /run still holds its device.
    if (kept > 0 && marks[kept - 1] != '\n')
        marks[kept++] = '\n';
    int len = snprintf(marks + kept, LINE_SIZE, "%s %u %" PRIu64 "\n", id, mtd_num, offset);
    kept += static_cast<size_t>(len);
    ssize_t written = lseek(fd, 0, SEEK_SET) == 0 ? write(fd, marks, kept) : -1;
    if (written >= 0 && written != static_cast<ssize_t>(kept))
        errno = ENOSPC; // a short count carries no error of its own
    if (written != static_cast<ssize_t>(kept) || ftruncate(fd, static_cast<off_t>(kept)) != 0)
        report_error(UNSURE_MARKS_PATH);
    close(fd);
}
