// A simulated pair of MTD devices and a sandboxed file system root for the host tests.
// The test build links the program with -Wl,--wrap over its system calls; the wrappers
// send /dev/mtd0 and /dev/mtd1 to RAM devices with NOR flash physics, and every path under
// /sideload, /var and /run (the run lock) into a sandbox directory, so that tests may run side
// by side.
#pragma once

#include "image/image.h"

#include <cerrno>
#include <cstdint>
#include <mtd/mtd-user.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

enum class fault_kind {
    none,
    erase_fails,   // MEMERASE fails with EIO at the block
    seek_fails,    // lseek to the block fails with EINVAL
    write_fails,   // write of the block fails with EIO
    write_short,   // write of the block stores and returns only half of it
    read_short,    // read of the block returns only half of it
    read_corrupt,  // read of the block returns one byte changed
    erase_zeros,   // MEMERASE of the block succeeds but leaves it all 0x00
    signal,        // MEMERASE of the block raises a signal first
    ecc_failed,    // read of the block returns its bytes, but counts an uncorrectable ECC error
    ecc_corrected, // read of the block returns its bytes, and counts a corrected bit flip
};

// A fault at this block hits every block.
inline constexpr uint32_t EVERY_BLOCK = UINT32_MAX;

struct fault {
    fault_kind kind = fault_kind::none;
    int device = 0;              // 0 for /dev/mtd0, 1 for /dev/mtd1
    uint32_t block = 0;          // block the fault hits
    uint32_t byte = 1000;        // read_corrupt: the byte of the block that is changed
    int signal_number = 0;       // signal: the signal raised
    int error = EIO;             // erase_fails, write_fails: the error number
    uint32_t after = 0;          // erase_fails, write_fails: requests on the block that succeed
                                 // first
    uint32_t times = UINT32_MAX; // ecc_failed: reads that count an error before it reads clean
};

// Flash the simulated devices hold: a slot and eight spare 128 KiB blocks. A larger device
// answers for its size but fails requests beyond this.
inline constexpr uint32_t STORAGE_SIZE = IMAGE_SIZE + 8 * BLOCK_SIZE;

struct device {
    bool present = true;                     // the device node exists
    dev_t rdev = 0;                          // its device number, 90:2N for /dev/mtdN
    uint64_t size = IMAGE_SIZE;              // as lseek(SEEK_END) finds it
    mtd_info_user info;                      // what MEMGETINFO answers, the size's low 32 bits
    bool info_fails = false;                 // MEMGETINFO fails with ENOTTY
    std::vector<uint32_t> bad_blocks;        // erase blocks marked bad, in the order marked
    bool bad_block_query_fails = false;      // MEMGETBADBLOCK fails with EIO
    bool mark_fails = false;                 // MEMSETBADBLOCK fails with EIO
    std::vector<uint64_t> bad_block_queries; // offsets MEMGETBADBLOCK was asked about
    std::vector<uint32_t> locked;            // write-protected erase blocks, which fail to erase
    int lock_error = 0;                      // MEMISLOCKED fails with it (EOPNOTSUPP: no locking)
    size_t lock_queries = 0;                 // MEMISLOCKED requests
    mtd_ecc_stats ecc = {};                  // what ECCGETSTATS answers
    int storage = -1;                        // memfd with the STORAGE_SIZE bytes of flash
    std::vector<uint32_t> erases;            // erase count per erase block
    std::vector<uint32_t> writes;            // write count per 128 KiB block
    std::vector<std::string> ops; // "erase N", "write OFFSET+LEN", "read OFFSET+LEN", "ecc stats"
    int open_flags = -1;          // flags of the last open
    int fd = -1;                  // descriptor number of the last open
};

// What /var does with the status file.
enum class var_state {
    writable,
    read_only,   // creating, removing and renaming fail with EROFS
    full,        // a write to a file stores nothing and fails with ENOSPC
    short_write, // a write to a file stores only half of what it is given
};
void set_var(var_state state);
// /run: creating and removing files fails with EROFS, as does opening one for writing.
void set_run_read_only();
// /var/quarn.status.new synced ("sync file"), renamed over the status file ("rename LINE", or
// "rename unlocked LINE" when no run held the run lock) and /var synced ("sync dir"), in order.
const std::vector<std::string> &var_events();

// Both devices present as 16 MiB NOR flash with 128 KiB erase blocks, filled with an
// old-firmware pattern, no fault, sandbox at root.
void reset(const std::string &root);
device &dev(int n);
// Adds a fault; a case may inject several.
void inject(const fault &f);
// The whole flash of a device, up to STORAGE_SIZE. The flash lives in a memfd, out of the
// process's resident memory, so that a run's peak memory is the program's own.
std::vector<uint8_t> contents(int n);
// The same, seen in place rather than copied: STORAGE_SIZE bytes.
const uint8_t *flash(int n);
// Every status line that a rename made current, in order.
const std::vector<std::string> &status_history();
// An update agent at work on a staged file while quarn reads it: change runs once, with the
// file's path in the sandbox, right after the program's first read of path (as the program
// names it, /sideload/lnximg.bin say) has returned.
void change_after_first_read(const char *path, void (*change)(const std::string &file));
// /dev/null cannot be opened (ENOENT), as in an initramfs without devtmpfs.
void remove_dev_null();
// Every wrapped call the program makes between begin_run and end_run is numbered, from 0, and
// one of them can be made to fail; the harness brackets each run with them.
enum class call_fault {
    error,        // fails with an error number fitting the call
    short_count,  // a read or write moves half of what it was asked for
    no_effect,    // MEMERASE or a device write succeeds and changes nothing
    changed_byte, // a device read returns one byte changed
};
struct call {
    std::string name;   // the wrapped function, and an ioctl's request: "ioctl MEMERASE"
    std::string target; // the path the program named, or opened the descriptor by
};
void begin_run();
void end_run();
// The calls of the last run, in order.
const std::vector<call> &calls();
// Makes call number n of the next run fail so.
void fail_call(size_t n, call_fault how);
// The error number a call fails with: EACCES for an open, EINVAL for a seek, ENOLCK for flock,
// else EIO.
int error_of(const std::string &name);

// Holds the run lock so that no run of quarn can take it; closing the descriptor releases it.
int take_run_lock();
// Number of device descriptors still open.
int open_devices();

} // namespace sim
