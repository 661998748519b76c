// Where the slot lies on the target's MTD device, as the device check works it out.
#pragma once

#include "image/image.h"

#include <stdint.h>
#include <sys/ioctl.h>

// The smallest NAND erase block there is: 32 pages of 512 bytes.
inline constexpr uint32_t MIN_NAND_ERASE_SIZE = 0x4000;
inline constexpr uint32_t MAX_PIECES = IMAGE_SIZE / MIN_NAND_ERASE_SIZE;

// The slot image is cut into pieces of one erase block each on NAND, of one erase block but at
// least 128 KiB elsewhere; each piece is erased by one request. Piece k lies at place[k], counted
// in pieces from the start of the device: on NAND the k-th good erase block, elsewhere k itself.
struct slot_layout {
    bool nand;                  // bad blocks are passed over, worn-out blocks marked bad
    bool lockable;              // the driver tells write-protected erase blocks (MEMISLOCKED)
    bool marked_last;           // a block was marked, and the one taken in its place has not
                                // been erased or written since
    unsigned mtd_num;           // N of /dev/mtdN, as the device's own number says
    uint32_t erase_size;        // bytes per erase block
    uint32_t piece_size;        // bytes of the image per piece
    uint32_t unit;              // bytes per write or read request: a piece, at most 128 KiB
    uint32_t pieces;            // pieces in the slot
    uint32_t device_pieces;     // pieces the device holds within reach of an erase request
    uint32_t place[MAX_PIECES]; // where each piece lies
};

extern slot_layout layout;

// The byte offset on the device of a place.
inline uint64_t place_offset(uint32_t place) { return uint64_t{place} * layout.piece_size; }

// An MTD request on the target's device. glibc declares ioctl's request unsigned long, musl int
// (as POSIX does); the kernel takes the low 32 bits either way.
inline int mtd_request(unsigned long request, void *arg) {
#ifdef __GLIBC__
    return ioctl(ctx.fd, request, arg);
#else
    return ioctl(ctx.fd, static_cast<int>(request), arg);
#endif
}

// "refusing /dev/mtd0: reason" on standard error; -1.
int32_t refuse_flash(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Refuses a device that must not or cannot be programmed, with one line on standard error,
// before anything on it is touched; otherwise fills in the layout. The in-use check has given
// layout.mtd_num.
int32_t check_flash();

// -1 with the refusal line check_flash gives when an erase block at this place is
// write-protected, or its lock state cannot be read; 0 when none is, or the driver has no locking.
int32_t check_lock(uint32_t place);

// 1 when the erase block at this place is marked bad, 0 when it is good; -1 with errno set when
// the mark cannot be read, which the caller reports.
int32_t read_bad_block_mark(uint32_t place);
