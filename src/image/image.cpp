#include "image/image.h"

#include "status/status.h"

#include <cstdio>
#include <cstring>
#include <sys/types.h>

update_ctx ctx;

const char *boot_image_path = "/sideload/boot_kv7m_1.bin";
const char *main_image_path = "/sideload/lnximg.bin";

int32_t reset_target(const char *device) {
    ctx.target = device;
    ctx.fd = -1;
    memset(ctx.block_present, 0, sizeof ctx.block_present);
    ctx.loaded_blocks = 0;
    return 0;
}

int32_t stage_images() {
    int32_t rc = load_image_file(boot_image_path, BOOT_FIRST_BLOCK, BOOT_MAX_BLOCKS);
    if (rc != 0)
        return rc;
    return load_image_file(main_image_path, MAIN_FIRST_BLOCK, MAIN_MAX_BLOCKS);
}

// The size is taken as 64 bits (off_t is 64 bits on every target): a file of 4 GiB or
// more must be refused as too large, not wrap round to a small one.
static int32_t read_image_stream(FILE *stream, uint32_t first_block, uint32_t max_blocks) {
    if (fseeko(stream, 0, SEEK_END) != 0) {
        report_error("seek failed");
        return -1;
    }
    off_t end = ftello(stream);
    if (end < 0) {
        report_error("seek failed");
        return -1;
    }
    uint64_t size = static_cast<uint64_t>(end);
    uint64_t blocks = (size + (BLOCK_SIZE - 1)) >> 17;
    print_number("", size, " Bytes (");
    print_number("", blocks, " blocks)\n");
    if (blocks > max_blocks) {
        puts("File too large!");
        return -1;
    }
    if (fseeko(stream, 0, SEEK_SET) != 0) {
        report_error("seek failed");
        return -1;
    }
    for (uint32_t i = 0; i < blocks; i++) {
        size_t len = BLOCK_SIZE;
        if (i == blocks - 1)
            len = static_cast<size_t>(size - uint64_t{i} * BLOCK_SIZE);
        uint32_t block = first_block + i;
        uint8_t *data = ctx.flash_image + size_t{block} * BLOCK_SIZE;
        size_t got = fread(data, 1, len, stream);
        if (got != len) {
            printf("read failed: %d\n", static_cast<int>(got));
            return -1;
        }
        // The block is written whole: past the end of the file it holds erased flash.
        memset(data + len, 0xFF, BLOCK_SIZE - len);
        ctx.loaded_blocks++;
        ctx.block_present[block] = 1;
    }
    return 0;
}

int32_t load_image_file(const char *path, uint32_t first_block, uint32_t max_blocks) {
    fputs("reading ", stdout);
    fputs(path, stdout);
    fputs("...\n", stdout);
    FILE *stream = fopen(path, "rb");
    if (stream == nullptr) {
        report_error("open failed");
        return -1;
    }
    int32_t rc = read_image_stream(stream, first_block, max_blocks);
    fclose(stream);
    return rc;
}
