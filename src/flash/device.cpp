// The device check: whether the target's MTD device may be programmed, and where the slot goes.
#include "flash/device.h"

#include "flash/marks.h"
#include "status/status.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <linux/major.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

slot_layout layout;

// MEMERASE takes a 32-bit start: the slot is only ever placed in a device's first 4 GiB.
static constexpr uint64_t ERASE_REACH = uint64_t{1} << 32;

// "refusing /dev/mtd0: reason" on standard error. Before the first erase the device is left as it
// was; a spare taken at the slot's end after a worn-out block fails the target the same way. The
// longest reason holds a path of up to 255 bytes and a system error text.
int32_t refuse_flash(const char *format, ...) {
    char reason[512];
    va_list args;
    va_start(args, format);
    vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    fprintf(stderr, "refusing %s: %s\n", ctx.target, reason);
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
    layout.mtd_num = minor(st.st_rdev) / 2; // /dev/mtdN is 90:2N, /dev/mtdNro 90:2N+1
    if (check_ubi(layout.mtd_num) != 0)
        return -1;
    return check_mounts(layout.mtd_num);
}

// Erase blocks that divide 128 KiB are erased a block of 128 KiB at a time (on NAND one at a
// time, so that a bad one can be passed over); larger ones one at a time, which needs them to
// divide the slot. Whole-block writes need pages that divide 128 KiB.
static int32_t check_geometry(const mtd_info_user &info, uint64_t size) {
    uint32_t erase_size = info.erasesize;
    if (size < IMAGE_SIZE)
        return refuse_flash("size of %" PRIu64 " bytes is less than the %u bytes of a slot", size,
                            IMAGE_SIZE);
    if (erase_size == 0 || (BLOCK_SIZE % erase_size != 0 && erase_size % BLOCK_SIZE != 0))
        return refuse_flash("erase block size of %u bytes does not divide %u bytes", erase_size,
                            BLOCK_SIZE);
    if (IMAGE_SIZE % erase_size != 0)
        return refuse_flash("erase block size of %u bytes does not divide the %u bytes of a slot",
                            erase_size, IMAGE_SIZE);
    if (is_nand(info) && erase_size < MIN_NAND_ERASE_SIZE)
        return refuse_flash("NAND erase block size of %u bytes is less than %u bytes", erase_size,
                            MIN_NAND_ERASE_SIZE);
    if (info.writesize == 0 || BLOCK_SIZE % info.writesize != 0)
        return refuse_flash("write size of %u bytes does not divide %u bytes", info.writesize,
                            BLOCK_SIZE);
    return 0;
}

int32_t read_bad_block_mark(uint32_t place) {
    __kernel_loff_t at = static_cast<__kernel_loff_t>(place_offset(place));
    int bad = mtd_request(MEMGETBADBLOCK, &at);
    if (bad < 0)
        return -1;
    return bad > 0 ? 1 : 0;
}

// On NAND the slot is laid over the good erase blocks in order, as nandwrite, U-Boot's
// "nand write" and "nand read" and the NAND boot loaders lay an image out and read it back.
// The marks are read from the start of the device until the slot has enough good blocks.
static int32_t place_slot(const mtd_info_user &info, uint64_t size) {
    layout.nand = is_nand(info);
    layout.erase_size = info.erasesize;
    layout.piece_size = layout.nand || info.erasesize > BLOCK_SIZE ? info.erasesize : BLOCK_SIZE;
    layout.unit = layout.piece_size < BLOCK_SIZE ? layout.piece_size : BLOCK_SIZE;
    layout.pieces = IMAGE_SIZE / layout.piece_size;
    uint64_t reach = size < ERASE_REACH ? size : ERASE_REACH;
    layout.device_pieces = static_cast<uint32_t>(reach / layout.piece_size);
    uint32_t found = 0;
    for (uint32_t place = 0; found < layout.pieces && place < layout.device_pieces; place++) {
        int32_t bad = layout.nand ? read_bad_block_mark(place) : 0;
        if (bad < 0)
            return refuse_flash("cannot read the bad block mark at offset %" PRIu64 ": %s",
                                place_offset(place), strerror(errno));
        if (bad == 0)
            layout.place[found++] = place;
    }
    if (found < layout.pieces)
        return refuse_flash("only %u good erase blocks, the slot needs %u", found, layout.pieces);
    return 0;
}

// Asked an erase block at a time: over a range the SPI NOR core answers 1 only when all of it is
// locked, the CFI drivers when any block in it is. A driver without locking says EOPNOTSUPP, and
// is not asked again. Nothing is ever unlocked here: a lock may be intended, and block-protect
// schemes cover ranges that may reach beyond the slot.
int32_t check_lock(uint32_t place) {
    erase_info_user block = {static_cast<uint32_t>(place_offset(place)), layout.erase_size};
    for (uint32_t n = layout.piece_size / layout.erase_size; layout.lockable && n > 0; n--) {
        int locked = mtd_request(MEMISLOCKED, &block);
        if (locked > 0)
            return refuse_flash("locked at offset %u", block.start);
        if (locked < 0 && errno != EOPNOTSUPP)
            return refuse_flash("cannot read its lock state: %s", strerror(errno));
        layout.lockable = locked == 0;
        block.start += layout.erase_size;
    }
    return 0;
}

// Checked before the first erase, since a failure halfway through the erase destroys the old
// firmware without writing the new: a device in use or with a bad-block mark that may not have
// reached the chip, a partition smaller than the slot, erase
// blocks or pages that whole-block requests cannot address, too few good blocks for the slot,
// or an erase block of the slot that is write-protected.
int32_t check_flash() {
    layout.marked_last = false;
    if (check_in_use() != 0 || check_unsure_marks() != 0)
        return -1;
    mtd_info_user info;
    if (mtd_request(MEMGETINFO, &info) != 0)
        return refuse_flash("cannot read its geometry: %s", strerror(errno));
    // MEMGETINFO gives the size in 32 bits, which wrap on a partition of 4 GiB or more, to any
    // value; the end of the device as lseek finds it is the whole size.
    off_t end = lseek(ctx.fd, 0, SEEK_END);
    uint64_t size = end >= 0 ? static_cast<uint64_t>(end) : info.size;
    if (check_geometry(info, size) != 0 || place_slot(info, size) != 0)
        return -1;
    layout.lockable = true;
    for (uint32_t piece = 0; piece < layout.pieces; piece++)
        if (check_lock(layout.place[piece]) != 0)
            return -1;
    return 0;
}
