// A simulated pair of MTD devices and a sandboxed file system root for the host tests.
// The test build links the program with -Wl,--wrap over its system calls; the wrappers
// send /dev/mtd0 and /dev/mtd1 to RAM devices with NOR flash physics and every path under
// /sideload and /var into a sandbox directory.
#pragma once

#include "image/image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class fault_kind {
    none,
    erase_fails,  // MEMERASE fails with EIO at the block
    seek_fails,   // lseek to the block fails with EINVAL
    write_fails,  // write of the block fails with EIO
    write_short,  // write of the block stores and returns only half of it
    read_short,   // read of the block returns only half of it
    read_corrupt, // read of the block returns one byte changed
    erase_zeros,  // MEMERASE of the block succeeds but leaves it all 0x00
};

struct fault {
    fault_kind kind = fault_kind::none;
    int device = 0;     // 0 for /dev/mtd0, 1 for /dev/mtd1
    uint32_t block = 0; // block the fault hits
};

struct device {
    bool present = true;          // the device node exists
    int storage = -1;             // memfd with the IMAGE_SIZE bytes of flash
    std::vector<uint32_t> erases; // erase count per block
    std::vector<uint32_t> writes; // write count per block
    std::vector<std::string> ops; // "erase N", "write OFFSET+LEN", "read OFFSET+LEN"
    int open_flags = -1;          // flags of the last open
    int fd = -1;                  // descriptor number of the last open
};

// Opening for writing and renaming under /var fail with EROFS.
void set_var_read_only(bool read_only);
// Both devices present, filled with an old-firmware pattern, no fault, sandbox at root.
void reset(const std::string &root);
device &dev(int n);
void inject(const fault &f);
// The whole flash of a device. The flash lives in a memfd, out of the process's resident
// memory, so that a run's peak memory is the program's own.
std::vector<uint8_t> contents(int n);
// Every status line that a rename made current, in order.
const std::vector<std::string> &status_history();
// Number of device descriptors still open.
int open_devices();

} // namespace sim
