// The slot image in memory and the staged files read into it.
#include "image/image.h"

#include "status/status.h"

#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

update_ctx ctx;

const char *boot_image_path = "/sideload/boot_kv7m_1.bin";
const char *main_image_path = "/sideload/lnximg.bin";

int32_t reset_target(const char *device) {
    ctx.target = device;
    ctx.fd = -1;
    memset(ctx.block_present, 0, sizeof ctx.block_present);
    ctx.loaded_blocks = 0;
    ctx.erase_sent = false;
    return 0;
}

int32_t stage_images() {
    int32_t rc = load_image_file(boot_image_path, BOOT_FIRST_BLOCK, BOOT_MAX_BLOCKS);
    if (rc != 0)
        return rc;
    return load_image_file(main_image_path, MAIN_FIRST_BLOCK, MAIN_MAX_BLOCKS);
}

// Like fread: as many bytes as the file still holds, up to len.
static size_t read_fully(int fd, uint8_t *data, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, data + got, len - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

static bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// An update agent may still be copying the file, or rewrite it in place: the file must still be
// the one whose size was printed, neither grown nor changed while its blocks were read, or the
// slot would get part of one version and part of another. Returns 0, or -1 once reported.
static int32_t check_unchanged(int fd, const struct stat &before, uint64_t size) {
    uint8_t past_end;
    ssize_t extra = read(fd, &past_end, 1);
    if (extra < 0) {
        report_error("read failed");
        return -1;
    }
    struct stat after;
    if (fstat(fd, &after) != 0) {
        report_error("read failed");
        return -1;
    }
    if (extra != 0 || static_cast<uint64_t>(after.st_size) != size ||
        !same_time(after.st_mtim, before.st_mtim) || !same_time(after.st_ctim, before.st_ctim)) {
        puts("File changed while being read!");
        return -1;
    }
    return 0;
}

// The size is taken as 64 bits (off_t is 64 bits on every target): a file of 4 GiB or
// more must be refused as too large, not wrap round to a small one.
static int32_t read_image(int fd, const struct stat &before, uint32_t first_block,
                          uint32_t max_blocks) {
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
        report_error("seek failed");
        return -1;
    }
    uint64_t size = static_cast<uint64_t>(end);
    uint64_t blocks = (size + (BLOCK_SIZE - 1)) >> 17;
    printf("%" PRIu64 " Bytes (%" PRIu64 " blocks)\n", size, blocks);
    if (blocks > max_blocks) {
        puts("File too large!");
        return -1;
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        report_error("seek failed");
        return -1;
    }
    for (uint32_t i = 0; i < blocks; i++) {
        size_t len = BLOCK_SIZE;
        if (i == blocks - 1)
            len = static_cast<size_t>(size - uint64_t{i} * BLOCK_SIZE);
        uint32_t block = first_block + i;
        uint8_t *data = ctx.flash_image + size_t{block} * BLOCK_SIZE;
        size_t got = read_fully(fd, data, len);
        if (got != len) {
            printf("read failed: %d\n", static_cast<int>(got));
            return -1;
        }
        // The block is written whole: past the end of the file it holds erased flash.
        memset(data + len, 0xFF, BLOCK_SIZE - len);
        ctx.loaded_blocks++;
        ctx.block_present[block] = 1;
    }
    return check_unchanged(fd, before, size);
}

int32_t load_image_file(const char *path, uint32_t first_block, uint32_t max_blocks) {
    printf("reading %s...\n", path);
    // Non-blocking, so that a FIFO or any other file whose open would wait fails the target
    // instead of stopping the run for good; a regular file reads as ever.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        report_error("open failed");
        return -1;
    }
    // A link to /dev/null or any other device reads as an empty or endless image.
    struct stat st;
    int32_t rc = -1;
    if (fstat(fd, &st) != 0)
        report_error("open failed");
    else if (!S_ISREG(st.st_mode))
        fputs("open failed: not a regular file\n", stderr);
    else
        rc = read_image(fd, st, first_block, max_blocks);
    close(fd);
    return rc;
}
