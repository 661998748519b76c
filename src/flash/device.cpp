// The device check: whether the slot fits the target's MTD device, where it goes, and whether it
// may be written there.
#include "flash/device.h"

#include "flash/marks.h"

#include <errno.h>
#include <inttypes.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
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

static int32_t check_unsure_marks() {
    uint64_t offset = 0;
    const char *unreadable = nullptr;
    int32_t found = find_unsure_mark(layout.mtd_num, &offset, &unreadable);
    if (found < 0)
        return refuse_flash("cannot read %s: %s", unreadable, strerror(errno));
    if (found > 0)
        return refuse_flash("a bad-block mark at offset %" PRIu64 " did not reach the chip; "
                            "reboot before programming it",
                            offset);
    return 0;
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
// firmware without writing the new: a device with a bad-block mark that may not have reached the
// chip, a partition smaller than the slot, erase blocks or pages that whole-block requests cannot
// address, too few good blocks for the slot, or an erase block of the slot that is
// write-protected.
int32_t check_flash() {
    layout.marked_last = false;
    if (check_unsure_marks() != 0)
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
