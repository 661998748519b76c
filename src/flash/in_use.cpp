// The in-use check: whether UBI or a mounted file system uses the target's MTD device.
#include "flash/in_use.h"

#include "flash/device.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/major.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// "ubi" and a number names a UBI device; its volumes are "ubiX_Y".
static bool is_ubi_device(const char *name) {
    if (strncmp(name, "ubi", 3) != 0 || name[3] == '\0')
        return false;
    for (const char *c = name + 3; *c != '\0'; c++)
        if (*c < '0' || *c > '9')
            return false;
    return true;
}

// Reads the MTD device number from /sys/class/ubi/ubiX/mtd_num.
static int32_t read_ubi_mtd_num(const char *ubi, unsigned *mtd_num) {
    char path[sizeof "/sys/class/ubi//mtd_num" + sizeof dirent::d_name], text[16];
    snprintf(path, sizeof path, "/sys/class/ubi/%s/mtd_num", ubi);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return refuse_flash("cannot read %s: %s", path, strerror(errno));
    ssize_t len = read(fd, text, sizeof text - 1);
    int error = errno;
    close(fd);
    if (len < 0)
        return refuse_flash("cannot read %s: %s", path, strerror(error));
    text[len] = '\0';
    char *end;
    *mtd_num = static_cast<unsigned>(strtoul(text, &end, 10));
    if (end == text)
        return refuse_flash("no MTD device number in %s", path);
    return 0;
}

// UBI owns every block of a device it is attached to; each UBI device has a folder. Without
// /sys/class/ubi there is no UBI, but only where sysfs is mounted: without sysfs nothing can be
// told.
static int32_t check_ubi(unsigned mtd_num) {
    DIR *dir = opendir("/sys/class/ubi");
    if (dir == nullptr) {
        int error = errno;
        if (error == ENOENT && access("/sys/class", F_OK) == 0)
            return 0;
        return refuse_flash("cannot read /sys/class/ubi: %s", strerror(error));
    }
    int32_t rc = 0;
    // readdir tells the end of the folder from an error by errno alone.
    errno = 0;
    for (const dirent *entry; rc == 0 && (entry = readdir(dir)) != nullptr; errno = 0) {
        unsigned attached = 0;
        if (!is_ubi_device(entry->d_name))
            continue;
        rc = read_ubi_mtd_num(entry->d_name, &attached);
        if (rc == 0 && attached == mtd_num)
            rc = refuse_flash("attached to UBI as %s", entry->d_name);
    }
    if (rc == 0 && errno != 0)
        rc = refuse_flash("cannot read /sys/class/ubi: %s", strerror(errno));
    closedir(dir);
    return rc;
}

// A file system on MTD device N has the device number 31:N, whether it was mounted straight
// from the MTD device (jffs2, "mtdN" or "mtd:NAME") or through /dev/mtdblockN. The third field of
// a mountinfo line is that number and the fifth is the mount point; lines can be as long as
// two paths, so the file is scanned a byte at a time rather than a line at a time.
static int32_t check_mounts(unsigned mtd_num) {
    static const char MOUNTINFO[] = "/proc/self/mountinfo";
    char wanted[24];
    snprintf(wanted, sizeof wanted, "%u:%u", MTD_BLOCK_MAJOR, mtd_num);
    int fd = open(MOUNTINFO, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return refuse_flash("cannot read %s: %s", MOUNTINFO, strerror(errno));
    char chunk[4096], device[24] = "", mount_point[256] = "";
    size_t field = 1, used = 0;
    bool mounted = false;
    ssize_t len = 0;
    while (!mounted && (len = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < len && !mounted; i++) {
            char c = chunk[i];
            if (c == '\n') {
                mounted = strcmp(device, wanted) == 0;
                device[0] = '\0';
                field = 1;
                used = 0;
            } else if (c == ' ') {
                field++;
                used = 0;
            } else if (field == 3 || field == 5) {
                char *text = field == 3 ? device : mount_point;
                size_t size = field == 3 ? sizeof device : sizeof mount_point;
                if (used + 1 < size)
                    text[used++] = c;
                text[used] = '\0';
            }
        }
    }
    int error = errno;
    close(fd);
    if (mounted)
        return refuse_flash("mounted on %s", mount_point);
    if (len < 0)
        return refuse_flash("cannot read %s: %s", MOUNTINFO, strerror(error));
    return 0;
}

// Erasing a partition that UBI or a mounted file system uses destroys the running system under
// it. The number of the MTD device is taken from the opened device itself, so that a device node
// under another name is still recognised.
int32_t check_in_use(unsigned *mtd_num) {
    struct stat st;
    if (fstat(ctx.fd, &st) != 0)
        return refuse_flash("cannot read its device number: %s", strerror(errno));
    if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != MTD_CHAR_MAJOR)
        return refuse_flash("not an MTD character device");
    *mtd_num = minor(st.st_rdev) / 2; // /dev/mtdN is 90:2N, /dev/mtdNro 90:2N+1
    if (check_ubi(*mtd_num) != 0)
        return -1;
    return check_mounts(*mtd_num);
}
