// Image staging: the region limits, the presence map and every file error.
#include "harness.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

struct staging_case {
    const char *name;
    int64_t boot_size; // -1: the file is missing (either file)
    int64_t main_size;
    const char *lines; // standard output holds these lines; a failed run ends with them
    const char *error; // standard error
};

class Staging : public Quarn, public ::testing::WithParamInterface<staging_case> {};

TEST_P(Staging, BuildsTheSlotFromTheFiles) {
    const staging_case &c = GetParam();
    std::vector<uint8_t> boot, main;
    if (c.boot_size >= 0)
        boot = stage(BOOT, static_cast<size_t>(c.boot_size), 1);
    if (c.main_size >= 0)
        main = stage(MAIN, static_cast<size_t>(c.main_size), 2);
    run_result r = run({"quarn", "slot0"});
    bool failed = c.error[0] != '\0' || std::string(c.lines).ends_with("File too large!\n");
    EXPECT_TRUE(failed ? r.out.ends_with(c.lines) : r.out.find(c.lines) != std::string::npos)
        << tail(r.out, 200);
    EXPECT_EQ(r.err, c.error);
    if (failed) {
        EXPECT_EQ(r.rc, -1);
        EXPECT_TRUE(sim::dev(0).ops.empty());
        EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
        return;
    }
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, target_output(BOOT, boot.size(), MAIN, main.size()));
    EXPECT_TRUE(slot_equals(0, expected_slot(boot, main)));
    // Blocks without file data are erased and verified but never written; block 0 takes two
    // requests, its first 4 KiB last.
    size_t boot_blocks = (boot.size() + BLOCK_SIZE - 1) / BLOCK_SIZE;
    size_t main_blocks = (main.size() + BLOCK_SIZE - 1) / BLOCK_SIZE;
    for (uint32_t b = 0; b < BLOCK_COUNT; b++) {
        bool present = b < 8 ? b < boot_blocks : b - 8 < main_blocks;
        EXPECT_EQ(sim::dev(0).writes[b], present ? (b == 0 ? 2u : 1u) : 0u) << "block " << b;
        EXPECT_EQ(sim::dev(0).erases[b], 1u) << "block " << b;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Image, Staging,
    ::testing::Values(
        staging_case{"both_empty", 0, 0,
                     "0 Bytes (0 blocks)\nopening MTD device...\n"
                     "erasing...\n",
                     ""},
        staging_case{"one_byte_each", 1, 1, "1 Bytes (1 blocks)\nopening MTD device...\n", ""},
        staging_case{"boot_200000", 200000, 5,
                     "200000 Bytes (2 blocks)\nreading "
                     "/sideload/lnximg.bin...\n5 Bytes (1 blocks)\nopening MTD device...\n",
                     ""},
        staging_case{"block_edges", BLOCK_SIZE, BLOCK_SIZE + 1,
                     "131073 Bytes (2 blocks)\n"
                     "opening MTD device...\n",
                     ""},
        staging_case{"both_full", MiB, 15 * MiB,
                     "1048576 Bytes (8 blocks)\nreading "
                     "/sideload/lnximg.bin...\n15728640 Bytes (120 blocks)\nopening MTD "
                     "device...\n",
                     ""},
        staging_case{"boot_one_over", MiB + 1, 10,
                     "reading /sideload/boot_kv7m_1.bin...\n"
                     "1048577 Bytes (9 blocks)\nFile too large!\n",
                     ""},
        staging_case{"main_one_over", 10, 15 * MiB + 1,
                     "15728641 Bytes (121 blocks)\n"
                     "File too large!\n",
                     ""},
        staging_case{"boot_missing", -1, 10, "reading /sideload/boot_kv7m_1.bin...\n",
                     "open failed: No such file or directory\n"},
        staging_case{"main_missing", 10, -1,
                     "10 Bytes (1 blocks)\nreading /sideload/lnximg.bin...\n",
                     "open failed: No such file or directory\n"}),
    case_name{});

TEST_F(Quarn, OneByteFileIsPaddedWithErasedBytes) {
    stage_pair(1, 0);
    ASSERT_EQ(run({"quarn", "slot0"}).rc, 0);
    const std::vector<uint8_t> d = sim::contents(0);
    EXPECT_EQ(d[0], file_bytes(1, 1)[0]);
    EXPECT_EQ(std::count(d.begin() + 1, d.begin() + BLOCK_SIZE, 0xFF), BLOCK_SIZE - 1);
}

// Files whose size cannot be taken, that hold less than their size says, that are no regular
// files (whose open or read would wait for a writer, say).
struct odd_file_case {
    const char *name;
    const char *target; // what the boot image links to; empty: the boot image is a FIFO
    const char *output; // standard output; a short read's byte count is added
    const char *error;
};

class OddFile : public Quarn, public ::testing::WithParamInterface<odd_file_case> {};

TEST_P(OddFile, FailsTheTargetBeforeTheDevice) {
    const odd_file_case &c = GetParam();
    if (c.target[0] == '\0')
        ASSERT_EQ(mkfifo((root + BOOT).c_str(), 0644), 0);
    else if (!std::filesystem::exists(c.target))
        GTEST_SKIP() << c.target << " is not there on this system";
    else
        std::filesystem::create_symlink(c.target, root + BOOT);
    stage(MAIN, 10);
    std::string output = c.output;
    // A short read reports the bytes it got: all that the file holds.
    if (output.ends_with("read failed: ")) {
        std::ifstream in(c.target, std::ios::binary);
        output += std::to_string(std::distance(std::istreambuf_iterator<char>(in), {})) + "\n";
    }
    run_result r = run({"quarn", "slot1"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, output);
    EXPECT_EQ(r.err, c.error);
    EXPECT_TRUE(sim::dev(1).ops.empty());
    EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
}

INSTANTIATE_TEST_SUITE_P(
    Image, OddFile,
    ::testing::Values(
        // procfs files cannot seek to their end.
        odd_file_case{"unseekable", "/proc/version", "reading /sideload/boot_kv7m_1.bin...\n",
                      "seek failed: Invalid argument\n"},
        odd_file_case{"fifo", "", "reading /sideload/boot_kv7m_1.bin...\n",
                      "open failed: not a regular file\n"},
        // A character device reads as an empty image, or an endless one.
        odd_file_case{"link_to_dev_null", "/dev/null", "reading /sideload/boot_kv7m_1.bin...\n",
                      "open failed: not a regular file\n"},
        // sysfs attributes claim 4096 bytes and hold a few.
        odd_file_case{
            "short", "/sys/kernel/uevent_seqnum",
            "reading /sideload/boot_kv7m_1.bin...\n4096 Bytes (1 blocks)\nread failed: ", ""}),
    case_name{});

// An update agent that changes the main image while quarn reads it: whatever the blocks read,
// the slot is not touched.
struct changed_case {
    const char *name;
    void (*change)(const std::string &file); // right after the first read of the main image
    const char *size_line;
};

class ChangedWhileRead : public Quarn, public ::testing::WithParamInterface<changed_case> {};

TEST_P(ChangedWhileRead, FailsTheTargetBeforeTheDevice) {
    stage(BOOT, 1000);
    stage(MAIN, 3 * BLOCK_SIZE - 5, 2);
    // File times tick in steps of a few milliseconds: set an old one, which any write replaces.
    const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (root + MAIN).c_str(), old_times, 0), 0);
    sim::change_after_first_read(MAIN, GetParam().change);
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(r.out.ends_with("reading /sideload/lnximg.bin...\n" +
                                std::string(GetParam().size_line) +
                                "File changed while being read!\n"))
        << tail(r.out, 200);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sim::dev(0).ops.empty());
    EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
}

static void append(const std::string &file) {
    std::ofstream(file, std::ios::binary | std::ios::app) << std::string(5000, 'x');
}

static void rewrite_in_place(const std::string &file) {
    std::vector<uint8_t> other = file_bytes(3 * BLOCK_SIZE - 5, 9);
    std::fstream(file, std::ios::binary | std::ios::in | std::ios::out)
        .write(reinterpret_cast<const char *>(other.data()),
               static_cast<std::streamsize>(other.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Image, ChangedWhileRead,
    ::testing::Values(changed_case{"grows", append, "393211 Bytes (3 blocks)\n"},
                      changed_case{"rewritten_with_the_same_size", rewrite_in_place,
                                   "393211 Bytes (3 blocks)\n"}),
    case_name{});

// Sizes at and beyond 4 GiB must not wrap round to small files (32-bit targets included).
struct huge_case {
    const char *name;
    uint64_t size;
    const char *line;
};

class HugeFile : public Quarn, public ::testing::WithParamInterface<huge_case> {};

TEST_P(HugeFile, IsTooLarge) {
    stage(MAIN, 10);
    int fd = open((root + BOOT).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    // A sparse file: no space is used for the hole.
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(GetParam().size)), 0);
    close(fd);
    run_result r = run({"quarn", "slot1"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "reading /sideload/boot_kv7m_1.bin...\n" + std::string(GetParam().line) +
                         "File too large!\n");
    EXPECT_TRUE(sim::dev(1).ops.empty());
    EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
}

INSTANTIATE_TEST_SUITE_P(Image, HugeFile,
                         ::testing::Values(huge_case{"exactly_4GiB", 4ull << 30,
                                                     "4294967296 Bytes (32768 blocks)\n"},
                                           huge_case{"4GiB_and_1000", (4ull << 30) + 1000,
                                                     "4294968296 Bytes (32769 blocks)\n"},
                                           huge_case{"8GiB_and_1MiB", (8ull << 30) + MiB,
                                                     "8590983168 Bytes (65544 blocks)\n"}),
                         case_name{});
