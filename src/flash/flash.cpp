// Programming of the target's MTD device: open, erase, write, verify and close.
#include "flash/flash.h"

#include "flash/device.h"
#include "flash/in_use.h"
#include "flash/marks.h"
#include "image/image.h"
#include "status/status.h"

#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static_assert(MEMERASE == 0x40084D02, "MEMERASE must be the kernel's erase request");
static_assert(sizeof(erase_info_user) == 8, "erase_info_user is two 32-bit fields");

// The percentages are computed in single precision, so that the status lines round
// exactly as they always have (6.25 prints as 6.2).
static float block_percent(uint32_t block) {
    return static_cast<float>(block) * 100.0f * 0.0078125f;
}

// Where a byte of the slot image lies on the device.
static uint64_t device_offset(uint32_t at) {
    return place_offset(layout.place[at / layout.piece_size]) + at % layout.piece_size;
}

// EIO is the NAND chip's own report that a block failed to erase or program: the block is worn
// out, and the slot moves on to the next good one.
static bool worn_out(int error) { return layout.nand && error == EIO; }

static void report_skip(uint32_t place) {
    printf("skipping bad block at offset %llu\n",
           static_cast<unsigned long long>(place_offset(place)));
}

// The mark is permanent: nothing writes the block again, and boot loaders pass over it too.
static int32_t mark_bad(uint32_t place) {
    __kernel_loff_t at = static_cast<__kernel_loff_t>(place_offset(place));
    if (mtd_request(MEMSETBADBLOCK, &at) != 0) {
        report_error("mark bad");
        record_unsure_mark(layout.mtd_num, place_offset(place));
        return -1;
    }
    printf("marking bad block at offset %llu\n", static_cast<unsigned long long>(at));
    return 0;
}

// A block taken in a marked one's place that fails its first erase or write too is not marked:
// two worn blocks in a row are rarer than a chip that fails everywhere (its write-protect pin held,
// a controller timing out), and a mark is for ever where a refused run costs a rerun.
static int32_t mark_worn(uint32_t place) {
    if (layout.marked_last) {
        fprintf(stderr, "not marking a second block in a row at offset %llu\n",
                static_cast<unsigned long long>(place_offset(place)));
        return -1;
    }
    if (mark_bad(place) != 0)
        return -1;
    layout.marked_last = true;
    return 0;
}

// Set before the request: one that fails may still have erased part of the block.
static int32_t erase_place(uint32_t place) {
    erase_info_user erase = {static_cast<uint32_t>(place_offset(place)), layout.piece_size};
    ctx.erase_sent = true;
    if (mtd_request(MEMERASE, &erase) != 0) {
        report_error("erase");
        return -1;
    }
    return 0;
}

// Marks the block of a piece that wore out bad and moves that piece and every later one up by
// one good block. The block newly needed at the end is looked for past the last one, and must not
// be write-protected; after the erase phase it is erased at once, its bad blocks reported as they
// are passed. A failure ends the target, and the layout, half moved, is not used again.
static int32_t retire_piece(uint32_t piece, bool erase_now) {
    if (mark_worn(layout.place[piece]) != 0)
        return -1;
    uint32_t last = layout.pieces - 1, place = layout.place[last];
    memmove(&layout.place[piece], &layout.place[piece + 1],
            (last - piece) * sizeof layout.place[0]);
    for (;;) {
        if (++place >= layout.device_pieces) {
            fputs("no good block left for the slot\n", stderr);
            return -1;
        }
        int32_t bad = read_bad_block_mark(place);
        if (bad < 0) {
            report_error("read bad block mark");
            return -1;
        }
        if (bad > 0) {
            if (erase_now)
                report_skip(place);
            continue;
        }
        if (check_lock(place) != 0)
            return -1;
        if (!erase_now || erase_place(place) == 0)
            break;
        // Right after the mark above: never marked in its turn.
        if (worn_out(errno))
            mark_worn(place);
        return -1;
    }
    layout.place[last] = place;
    return 0;
}

// Bad blocks are reported once, as the erase passes them on its way to a piece's place.
static int32_t erase_piece(uint32_t piece, uint32_t *passed) {
    for (;;) {
        for (; *passed < layout.place[piece]; ++*passed)
            report_skip(*passed);
        *passed = layout.place[piece] + 1;
        if (erase_place(layout.place[piece]) == 0) {
            layout.marked_last = false;
            return 0;
        }
        if (!worn_out(errno) || retire_piece(piece, false) != 0)
            return -1;
    }
}

// Every block is erased, present or not: blocks without file data must verify as 0xFF. Each
// block gets its status line, and the pieces that start in it are erased.
int32_t erase_flash() {
    puts("erasing...");
    uint32_t passed = 0;
    for (uint32_t block = 0; block < BLOCK_COUNT; block++) {
        report_status("erasing %5.1f %%\n", static_cast<double>(block_percent(block)));
        printf("erase %u\n", block);
        uint32_t start = block * BLOCK_SIZE, end = start + BLOCK_SIZE;
        for (uint32_t piece = (start + layout.piece_size - 1) / layout.piece_size;
             piece * layout.piece_size < end; piece++) {
            if (erase_piece(piece, &passed) != 0)
                return -1;
        }
    }
    return 0;
}

static int32_t write_unit(uint32_t at, uint32_t size) {
    if (lseek(ctx.fd, static_cast<off_t>(device_offset(at)), SEEK_SET) < 0) {
        report_error("lseek failed");
        return -1;
    }
    ssize_t written = write(ctx.fd, ctx.flash_image + at, size);
    if (written != static_cast<ssize_t>(size)) {
        int error = written < 0 ? errno : 0;
        report_error("write failed");
        // A short count is no report from the chip.
        errno = error;
        return -1;
    }
    layout.marked_last = false;
    return 0;
}

// The 128 KiB blocks that overlap the slot's first erase block: a boot ROM takes the slot for
// good by what that erase block holds, so it is written after every other block of the slot,
// and erased again when the slot turns out bad.
static uint32_t head_blocks() {
    return layout.piece_size > BLOCK_SIZE ? layout.piece_size / BLOCK_SIZE : 1;
}

// NOR takes the bytes of an erased block in any order, so the slot's first 4 KiB, where a boot ROM
// reads the image's header, are written after the rest of the first erase block: a power cut
// in that write leaves no header rather than a header over a torn image. Most NAND chips need
// the pages of a block programmed in order, so on NAND the block is written from its start.
static uint32_t header_size() { return layout.nand ? 0 : 0x1000; }

// Raw NAND's kernel erases a block before it marks it bad, SPI NAND's does not: a worn block of
// the first erase block is erased here, so that it never holds a boot image a boot ROM that reads
// bad blocks could take. A failure is reported; the block is marked all the same.
static void erase_worn_head(uint32_t place) { erase_place(place); }

// Writes the image from at to end, a unit at a time or what is left of one. When a NAND block
// wears out, its piece moves on and is written again from its start: units of it already written
// went to the block now marked bad. A piece of the first erase block cannot move, since every piece
// after it is written already: it is marked, and the next run lays the slot out past it.
static int32_t write_span(uint32_t at, uint32_t end, uint32_t *worn) {
    while (at < end) {
        uint32_t size = end - at < layout.unit ? end - at : layout.unit;
        if (ctx.block_present[at / BLOCK_SIZE] == 0 || write_unit(at, size) == 0) {
            at += size;
            continue;
        }
        uint32_t piece = at / layout.piece_size;
        if (!worn_out(errno))
            return -1;
        if (at < head_blocks() * BLOCK_SIZE) {
            erase_worn_head(layout.place[piece]);
            if (mark_worn(layout.place[piece]) == 0) {
                *worn = layout.place[piece];
                fputs("first erase block worn out: the next run lays the slot out past it\n",
                      stderr);
            }
            return -1;
        }
        if (retire_piece(piece, true) != 0)
            return -1;
        at -= at % layout.piece_size;
    }
    return 0;
}

// Takes the first erase block away again, with the requests that erased it, so that a slot that
// failed holds no boot image; a block just marked bad is left alone, and one without file data
// was never written.
static void erase_head(uint32_t worn) {
    bool written = false, erased = false;
    for (uint32_t block = 0; block < head_blocks(); block++)
        written = written || ctx.block_present[block] != 0;
    for (uint32_t piece = 0; written && piece * layout.piece_size < head_blocks() * BLOCK_SIZE;
         piece++) {
        if (layout.place[piece] == worn)
            continue;
        if (erase_place(layout.place[piece]) != 0)
            return;
        erased = true;
    }
    if (erased)
        puts("first erase block erased again: the slot holds no boot image");
}

static int32_t write_block(uint32_t block, uint32_t *handled, uint32_t *worn) {
    if (ctx.block_present[block] == 0)
        return 0;
    float percent = static_cast<float>(*handled) * 100.0f / static_cast<float>(ctx.loaded_blocks);
    report_status("writing %5.1f %%\n", static_cast<double>(percent));
    ++*handled;
    printf("write %u\n", block);
    uint32_t start = block * BLOCK_SIZE;
    return write_span(start > 0 ? start : header_size(), start + BLOCK_SIZE, worn);
}

int32_t write_flash() {
    puts("writing...");
    uint32_t handled = 0, head = head_blocks(), worn = UINT32_MAX;
    for (uint32_t block = head; block < BLOCK_COUNT; block++)
        if (write_block(block, &handled, &worn) != 0)
            return -1;
    bool failed = false;
    for (uint32_t block = 0; block < head && !failed; block++)
        failed = write_block(block, &handled, &worn) != 0;
    if (failed || write_span(0, header_size(), &worn) != 0) {
        erase_head(worn);
        return -1;
    }
    return 0;
}

// Sixteen bytes, compared four at a time without an early exit: all 16 MiB of a slot pass through
// here, and musl's memcmp goes a byte at a time. The read-back and the image are 16-byte aligned.
typedef uint64_t chunk __attribute__((vector_size(16), may_alias));

// A block without file data must read back as erased flash, every byte 0xFF; its part of the
// image is never read.
static bool block_matches(uint32_t block, const uint8_t *readback) {
    const chunk *got = reinterpret_cast<const chunk *>(readback), *end = got + BLOCK_SIZE / 16;
    if (ctx.block_present[block] == 0) {
        chunk erased = ~chunk{};
        for (; got < end; got += 4)
            erased &= got[0] & got[1] & got[2] & got[3];
        return (erased[0] & erased[1]) == ~uint64_t{0};
    }
    const chunk *want =
        reinterpret_cast<const chunk *>(ctx.flash_image + size_t{block} * BLOCK_SIZE);
    chunk diff = {};
    for (; got < end; got += 4, want += 4)
        diff |= (got[0] ^ want[0]) | (got[1] ^ want[1]) | (got[2] ^ want[2]) | (got[3] ^ want[3]);
    return (diff[0] | diff[1]) == 0;
}

// The uncorrectable ECC errors the NAND device has counted so far. The MTD character device
// returns what a page read gave, with success, even when its ECC could not correct it.
static int32_t read_ecc_failures(uint32_t *failed) {
    mtd_ecc_stats stats;
    if (mtd_request(ECCGETSTATS, &stats) != 0) {
        report_error("ECC statistics");
        return -1;
    }
    *failed = stats.failed;
    return 0;
}

// Reads the unit of the slot at device offset at, seeking only when the device is not there
// already; on NAND, failed then holds the uncorrectable ECC errors counted after the read.
static int32_t read_unit(uint64_t at, uint8_t *into, uint64_t *position, uint32_t *failed) {
    if (at != *position && lseek(ctx.fd, static_cast<off_t>(at), SEEK_SET) < 0) {
        report_error("lseek failed");
        return -1;
    }
    if (read(ctx.fd, into, layout.unit) != static_cast<ssize_t>(layout.unit)) {
        report_error("read failed");
        return -1;
    }
    *position = at + layout.unit;
    return layout.nand ? read_ecc_failures(failed) : 0;
}

// The device is read in order, and seeks only where the slot passes over a bad block. On NAND a
// read that the ECC could not correct fails the verify whatever bytes it gave: the block is worn,
// and is marked so that the next run lays the slot past it instead of failing here for ever.
// A partition's statistics also count failed reads of other partitions of the chip made at the
// same moment (a UBI volume scrubbed): only a failure that comes back when the unit is read
// again marks the block.
static int32_t verify_slot(uint32_t *worn) {
    alignas(16) uint8_t readback[BLOCK_SIZE];
    puts("verifying...");
    uint32_t failed = 0;
    uint64_t position = device_offset(0);
    if (layout.nand && read_ecc_failures(&failed) != 0)
        return -1;
    if (lseek(ctx.fd, static_cast<off_t>(position), SEEK_SET) < 0) {
        report_error("lseek failed");
        return -1;
    }
    for (uint32_t block = 0; block < BLOCK_COUNT; block++) {
        report_status("verifying %5.1f %%\n", static_cast<double>(block_percent(block)));
        printf("read %u\n", block);
        for (uint32_t done = 0; done < BLOCK_SIZE; done += layout.unit) {
            uint32_t image_at = block * BLOCK_SIZE + done, before = failed;
            uint64_t at = device_offset(image_at);
            if (read_unit(at, readback + done, &position, &failed) != 0)
                return -1;
            if (failed != before) {
                before = failed;
                if (read_unit(at, readback + done, &position, &failed) != 0)
                    return -1;
            }
            if (failed == before)
                continue;
            printf("verify error in block %u\n", block);
            uint32_t piece = image_at / layout.piece_size;
            if (image_at < head_blocks() * BLOCK_SIZE)
                erase_worn_head(layout.place[piece]);
            if (mark_bad(layout.place[piece]) == 0)
                *worn = layout.place[piece];
            return -1;
        }
        if (!block_matches(block, readback)) {
            printf("verify error in block %u\n", block);
            return -1;
        }
    }
    return 0;
}

// A slot that fails its verify was written whole, its first erase block too.
int32_t verify_flash() {
    uint32_t worn = UINT32_MAX;
    if (verify_slot(&worn) == 0)
        return 0;
    erase_head(worn);
    return -1;
}

// A refused device is closed by close_flash, like any other failed target. A device in use is
// refused before anything else is asked of it.
int32_t open_flash() {
    puts("opening MTD device...");
    ctx.fd = open(ctx.target, O_RDWR | O_SYNC);
    if (ctx.fd < 0) {
        report_error("failed to open MTD device");
        return -1;
    }
    if (check_in_use(&layout.mtd_num) != 0)
        return -1;
    return check_flash();
}

void close_flash() {
    if (ctx.fd >= 0) {
        close(ctx.fd);
        ctx.fd = -1;
    }
}
