// The in-memory image of one firmware slot and the context shared by every step.
#pragma once

#include <stdint.h>

inline constexpr uint32_t BLOCK_SIZE = 0x20000;                  // erase block, 128 KiB
inline constexpr uint32_t BLOCK_COUNT = 128;                     // blocks handled per slot
inline constexpr uint32_t IMAGE_SIZE = BLOCK_SIZE * BLOCK_COUNT; // 16 MiB from offset 0
inline constexpr uint32_t BOOT_FIRST_BLOCK = 0;
inline constexpr uint32_t BOOT_MAX_BLOCKS = 8;   // 1 MiB boot region
inline constexpr uint32_t MAIN_FIRST_BLOCK = 8;  // the main image always starts at 1 MiB
inline constexpr uint32_t MAIN_MAX_BLOCKS = 120; // 15 MiB main region

// Blocks that are not present must read back erased (0xFF); their part of flash_image is
// never touched, so that its memory is never faulted in.
struct update_ctx {
    const char *target;                          // entry of the target table being programmed
    int32_t fd;                                  // MTD device descriptor, -1 while closed
    alignas(16) uint8_t flash_image[IMAGE_SIZE]; // what the present blocks must hold afterwards
    uint8_t block_present[BLOCK_COUNT];          // 1 for each block that received file data
    uint32_t loaded_blocks;                      // how many blocks received file data
    bool erase_sent;                             // an erase request went to the device
};

// The one context of the process: static, never allocated or freed.
extern update_ctx ctx;

// Where the current target's two images are staged; switched for the second slot.
extern const char *boot_image_path;
extern const char *main_image_path;

int32_t reset_target(const char *device);
int32_t stage_images();
int32_t load_image_file(const char *path, uint32_t first_block, uint32_t max_blocks);
