#include "flash/flash.h"

#include "image/image.h"
#include "status/status.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/major.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static_assert(MEMERASE == 0x40084D02, "MEMERASE must be the kernel's erase request");
static_assert(sizeof(erase_info_user) == 8, "erase_info_user is two 32-bit fields");

// The percentages are computed in single precision, so that the status lines round
// exactly as they always have (6.25 prints as 6.2).
static float block_percent(uint32_t block) {
    return static_cast<float>(block) * 100.0f * 0.0078125f;
}

// "refusing /dev/mtd0: reason" on standard error: the device is left as it was.
__attribute__((format(printf, 1, 2))) static int32_t refuse_flash(const char *format, ...) {
    fprintf(stderr, "refusing %s: ", ctx.target);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    return -1;
}

static bool is_nand(const mtd_info_user &info) {
    return info.type == MTD_NANDFLASH || info.type == MTD_MLCNANDFLASH;
}

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
static int32_t check_in_use() {
    struct stat st;
    if (fstat(ctx.fd, &st) != 0)
        return refuse_flash("cannot read its device number: %s", strerror(errno));
    if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != MTD_CHAR_MAJOR)
        return refuse_flash("not an MTD character device");
    unsigned mtd_num = minor(st.st_rdev) / 2; // /dev/mtdN is 90:2N, /dev/mtdNro 90:2N+1
    if (check_ubi(mtd_num) != 0)
        return -1;
    return check_mounts(mtd_num);
}

// Checked before the first erase, since a failure halfway through the erase destroys the old
// firmware without writing the new: a device in use, a partition smaller than the slot, erase
// blocks or pages that whole-block requests cannot address, or a bad block that the erase
// would stop at.
static int32_t check_flash() {
    if (check_in_use() != 0)
        return -1;
    mtd_info_user info;
    if (ioctl(ctx.fd, MEMGETINFO, &info) != 0)
        return refuse_flash("cannot read its geometry: %s", strerror(errno));
    // MEMGETINFO gives the size in 32 bits, which wrap on a partition of 4 GiB or more; the end
    // of the device as lseek finds it is the whole size.
    uint64_t size = info.size;
    if (size < IMAGE_SIZE) {
        off_t end = lseek(ctx.fd, 0, SEEK_END);
        if (end >= 0)
            size = static_cast<uint64_t>(end);
    }
    if (size < IMAGE_SIZE)
        return refuse_flash("size of %" PRIu64 " bytes is less than the %u bytes of a slot", size,
                            IMAGE_SIZE);
    // Smaller erase blocks are fine: one request then erases several of them.
    if (info.erasesize == 0 || BLOCK_SIZE % info.erasesize != 0)
        return refuse_flash("erase block size of %u bytes does not divide %u bytes", info.erasesize,
                            BLOCK_SIZE);
    if (info.writesize == 0 || BLOCK_SIZE % info.writesize != 0)
        return refuse_flash("write size of %u bytes does not divide %u bytes", info.writesize,
                            BLOCK_SIZE);
    if (!is_nand(info))
        return 0;
    for (uint32_t offset = 0; offset < IMAGE_SIZE; offset += info.erasesize) {
        __kernel_loff_t at = offset;
        int bad = ioctl(ctx.fd, MEMGETBADBLOCK, &at);
        if (bad < 0)
            return refuse_flash("cannot read the bad block mark at offset %u: %s", offset,
                                strerror(errno));
        if (bad > 0)
            return refuse_flash("bad erase block at offset %u", offset);
    }
    return 0;
}

// A refused device is closed by close_flash, like any other failed target.
int32_t open_flash() {
    puts("opening MTD device...");
    ctx.fd = open(ctx.target, O_RDWR | O_SYNC);
    if (ctx.fd < 0) {
        report_error("failed to open MTD device");
        return -1;
    }
    return check_flash();
}

// Every block is erased, present or not: blocks without file data must verify as 0xFF.
int32_t erase_flash() {
    puts("erasing...");
    for (uint32_t block = 0; block < BLOCK_COUNT; block++) {
        report_status("erasing %5.1f %%\n", static_cast<double>(block_percent(block)));
        printf("erase %u\n", block);
        erase_info_user erase = {block * BLOCK_SIZE, BLOCK_SIZE};
        if (ioctl(ctx.fd, MEMERASE, &erase) != 0) {
            report_error("erase");
            return -1;
        }
    }
    return 0;
}

int32_t write_flash() {
    puts("writing...");
    uint32_t handled = 0;
    for (uint32_t block = 0; block < BLOCK_COUNT; block++) {
        if (ctx.block_present[block] == 0)
            continue;
        float percent =
            static_cast<float>(handled) * 100.0f / static_cast<float>(ctx.loaded_blocks);
        report_status("writing %5.1f %%\n", static_cast<double>(percent));
        handled++;
        printf("write %u\n", block);
        off_t offset = off_t{block} * BLOCK_SIZE;
        if (lseek(ctx.fd, offset, SEEK_SET) < 0) {
            report_error("lseek failed");
            return -1;
        }
        if (write(ctx.fd, ctx.flash_image + offset, BLOCK_SIZE) != BLOCK_SIZE) {
            report_error("write failed");
            return -1;
        }
    }
    return 0;
}

// A block without file data must read back as erased flash: all bytes equal, and 0xFF.
static bool block_matches(uint32_t block, const uint8_t *readback) {
    if (ctx.block_present[block] == 0)
        return readback[0] == 0xFF && memcmp(readback, readback + 1, BLOCK_SIZE - 1) == 0;
    return memcmp(readback, ctx.flash_image + size_t{block} * BLOCK_SIZE, BLOCK_SIZE) == 0;
}

int32_t verify_flash() {
    uint8_t readback[BLOCK_SIZE];
    puts("verifying...");
    if (lseek(ctx.fd, 0, SEEK_SET) < 0) {
        report_error("lseek failed");
        return -1;
    }
    for (uint32_t block = 0; block < BLOCK_COUNT; block++) {
        report_status("verifying %5.1f %%\n", static_cast<double>(block_percent(block)));
        printf("read %u\n", block);
        if (read(ctx.fd, readback, BLOCK_SIZE) != BLOCK_SIZE) {
            report_error("read failed");
            return -1;
        }
        if (!block_matches(block, readback)) {
            printf("verify error in block %u\n", block);
            return -1;
        }
    }
    return 0;
}

void close_flash() {
    if (ctx.fd >= 0) {
        close(ctx.fd);
        ctx.fd = -1;
    }
}
