// The fixture shared by the host tests: a sandbox root, staged files, a captured run.
#pragma once

#include "image/image.h"
#include "run/run.h"
#include "sim/sim.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

inline constexpr const char *BOOT = "/sideload/boot_kv7m_1.bin";
inline constexpr const char *MAIN = "/sideload/lnximg.bin";
inline constexpr const char *SLOT1_BOOT = "/sideload/slot1/fsbl.bin";
inline constexpr const char *SLOT1_MAIN = "/sideload/slot1/user.bin";
inline constexpr uint32_t MiB = 1024 * 1024;
// The kernel's id of the running boot, as the sandbox holds it.
inline constexpr const char *BOOT_ID_PATH = "/proc/sys/kernel/random/boot_id";
inline constexpr const char *FIRST_BOOT = "4f0c3a6e-8f4b-4d2c-9a51-0b7e2d9c6f11";
// What a slot0 run prints instead of programming a staged slot 1 after slot 0's erase began.
#define LEFT_ALONE "slot 1 left alone: slot 0 failed after its erase began\n"

struct run_result {
    int rc = 0;
    std::string out; // standard output
    std::string err; // standard error
};

// Bytes that differ from file to file and never form a whole 0xFF block.
std::vector<uint8_t> file_bytes(size_t size, unsigned seed);
// What a slot must hold after programming with this boot and main file.
std::vector<uint8_t> expected_slot(const std::vector<uint8_t> &boot,
                                   const std::vector<uint8_t> &main);
// The complete standard output of programming one target, for files of these sizes, on a device
// whose first erase block holds head 128 KiB blocks.
std::string target_output(const char *boot, size_t boot_size, const char *main, size_t main_size,
                          size_t head = 1);
// Every progress line of programming one target, for files of these sizes, in order.
std::vector<std::string> target_statuses(size_t boot_size, size_t main_size);
// The end of a text, at most len characters of it, to show in a failure.
std::string tail(const std::string &text, size_t len);

class Quarn : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Where the sandbox is made.
    virtual const char *sandbox_parent() const { return "/tmp"; }

    // Writes a file under the sandbox root; returns its contents.
    std::vector<uint8_t> stage(const char *path, size_t size, unsigned seed = 1);
    // Stages both files of the default pair and returns the slot they must give.
    std::vector<uint8_t> stage_pair(size_t boot_size, size_t main_size, unsigned seed = 1);
    // Runs the program entry; every descriptor it opens must be closed again, unless it
    // starts with standard error closed (then it takes that number for /dev/null).
    run_result run(std::vector<const char *> args, bool close_stderr = false);
    std::string read_file(const char *path) const;
    bool exists(const char *path) const;

    std::string root;
};

// True when the device starts with exactly the expected bytes.
::testing::AssertionResult slot_equals(int device, const std::vector<uint8_t> &expected);

// Names parameterised cases after the name field of their parameter.
struct case_name {
    template <class T> std::string operator()(const ::testing::TestParamInfo<T> &info) const {
        return info.param.name;
    }
};

// Shows parameterised cases by name in test listings and failures.
template <class T>
requires requires(const T &t) { t.name; }
void PrintTo(const T &c, std::ostream *os) { *os << c.name; }
