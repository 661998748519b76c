// Programming the device: the order and size of every operation, and each device fault.
#include "harness.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Whole-block requests in order, except that the blocks of the slot's first erase block are
// written after every other block: until then the slot holds no first block a boot ROM would
// take for firmware. Off NAND the slot's first 4 KiB, the image's header, go last of all.
constexpr uint32_t REST_OF_0 = 1000, HEADER = 1001; // block 0 past its first 4 KiB; those 4 KiB

struct order_case {
    const char *name;
    void (*prepare)(sim::device &d);
    uint32_t shift;               // where the slot starts on the device: past a bad block
    std::vector<uint32_t> writes; // the blocks written, in order
};

class WriteOrder : public Quarn, public ::testing::WithParamInterface<order_case> {};

TEST_P(WriteOrder, ProgramsTheSlotWithWholeBlockOperations) {
    const order_case &c = GetParam();
    std::vector<uint8_t> slot = stage_pair(200000, 3 * BLOCK_SIZE - 5); // blocks 0, 1, 8, 9, 10
    c.prepare(sim::dev(0));
    run_result r = run({"quarn", "slot0"});
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim::dev(0).open_flags, O_RDWR | O_SYNC);
    EXPECT_EQ(sim::open_devices(), 0);
    auto at = [&](uint32_t offset) { return std::to_string(offset + c.shift); };
    std::vector<std::string> ops;
    uint32_t piece = std::max(sim::dev(0).info.erasesize, BLOCK_SIZE);
    for (uint32_t offset = 0; offset < IMAGE_SIZE; offset += piece)
        ops.push_back("erase " + std::to_string((offset + c.shift) / BLOCK_SIZE));
    for (uint32_t b : c.writes)
        ops.push_back(b == REST_OF_0 ? "write " + at(4096) + "+126976"
                      : b == HEADER  ? "write " + at(0) + "+4096"
                                     : "write " + at(b * BLOCK_SIZE) + "+131072");
    // On NAND the ECC statistics before the verify and after each read.
    bool nand = sim::dev(0).info.type == MTD_NANDFLASH;
    if (nand)
        ops.push_back("ecc stats");
    for (uint32_t b = 0; b < 128; b++) {
        ops.push_back("read " + at(b * BLOCK_SIZE) + "+131072");
        if (nand)
            ops.push_back("ecc stats");
    }
    EXPECT_EQ(sim::dev(0).ops, ops);
    std::vector<uint8_t> device = sim::contents(0);
    EXPECT_TRUE(std::equal(slot.begin(), slot.end(),
                           device.begin() + static_cast<std::ptrdiff_t>(c.shift)));
    EXPECT_EQ(read_file("/var/quarn.status"), "Succeeded\n");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Flash, WriteOrder, ::testing::Values(
    order_case{"erase_blocks_of_128KiB", [](sim::device &) {}, 0,
               {1, 8, 9, 10, REST_OF_0, HEADER}},
    order_case{"erase_blocks_of_256KiB", [](sim::device &d) { d.info.erasesize = 256 * 1024; },
               0, {8, 9, 10, REST_OF_0, 1, HEADER}},
    order_case{"nand_bad_block_0",
               [](sim::device &d) { d.info.type = MTD_NANDFLASH; d.info.writesize = 2048;
                                    d.size = 17 * MiB; d.bad_blocks = {0}; },
               BLOCK_SIZE, {1, 8, 9, 10, 0}}),
    case_name{});
// clang-format on

struct fault_case {
    const char *name;
    sim::fault fault;
    const char *tail;    // how standard output ends
    const char *error;   // standard error; only its start where it ends in ": "
    const char *status;  // the last progress line in the status file
    const char *last_op; // the last operation the device saw
    size_t boot_size = MiB;
    bool head_kept = false; // the first erase block, written, could not be erased again
    sim::fault also = {};   // a second fault
};

class DeviceFault : public Quarn, public ::testing::WithParamInterface<fault_case> {};

TEST_P(DeviceFault, FailsTheTargetAndReportsIt) {
    const fault_case &c = GetParam();
    stage_pair(c.boot_size, 2 * MiB);
    sim::inject(c.fault);
    sim::inject(c.also);
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(r.out.ends_with(c.tail)) << tail(r.out, 60);
    // A short count comes without an error number of its own: only the message is fixed.
    if (std::string(c.error).ends_with(": ")) {
        EXPECT_TRUE(r.err.starts_with(c.error)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    } else {
        EXPECT_EQ(r.err, c.error);
    }
    const std::vector<std::string> &h = sim::status_history();
    ASSERT_GE(h.size(), 2u);
    EXPECT_EQ(h[h.size() - 2], c.status);
    EXPECT_EQ(h.back(), "Failed\n");
    EXPECT_EQ(sim::open_devices(), 0);
    // Nothing is tried after the first failure, but taking the first erase block away again.
    EXPECT_EQ(sim::dev(0).ops.back(), c.last_op);
    // Whatever failed, the slot holds no first block: never written, or erased again.
    const std::vector<uint8_t> device = sim::contents(0);
    EXPECT_EQ(std::count(device.begin(), device.begin() + BLOCK_SIZE, 0xFF),
              c.head_kept ? 0 : BLOCK_SIZE);
    const std::vector<std::string> &ops = sim::dev(0).ops;
    bool erased_again = c.last_op == std::string("erase 0");
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "erase 0"), erased_again ? 2 : 1);
    EXPECT_EQ(std::count_if(ops.begin(), ops.end(),
                            [](const std::string &op) { return op.starts_with("write 4096+"); }),
              erased_again ? 1 : 0);
}

using sim::fault_kind;
// clang-format off
// Blocks 1 to 23 are written before block 0: block 9 is the eighth of 24.
#define DROPPED "first erase block erased again: the slot holds no boot image\n"
INSTANTIATE_TEST_SUITE_P(Flash, DeviceFault, ::testing::Values(
    fault_case{"erase_fails_at_5", {fault_kind::erase_fails, 0, 5}, "erase 4\nerase 5\n",
               "erase: Input/output error\n", "erasing   3.9 %\n", "erase 5"},
    // Block 0 is never written: the slot has no first block to take away.
    fault_case{"write_fails_at_9", {fault_kind::write_fails, 0, 9}, "write 8\nwrite 9\n",
               "write failed: Input/output error\n", "writing  33.3 %\n", "write 1179648+131072"},
    fault_case{"short_write_at_9", {fault_kind::write_short, 0, 9}, "write 8\nwrite 9\n",
               "write failed: ", "writing  33.3 %\n", "write 1179648+131072"},
    fault_case{"write_fails_at_0", {fault_kind::write_fails, 0, 0}, "write 0\n" DROPPED,
               "write failed: Input/output error\n", "writing  95.8 %\n", "erase 0"},
    // The slot's first 4 KiB, written after the rest of block 0.
    fault_case{"write_fails_at_header", {.kind = fault_kind::write_fails, .block = 0, .after = 1},
               "write 0\n" DROPPED, "write failed: Input/output error\n", "writing  95.8 %\n",
               "erase 0"},
    fault_case{"read_short_at_127", {fault_kind::read_short, 0, 127},
               "read 126\nread 127\n" DROPPED, "read failed: ", "verifying  99.2 %\n", "erase 0"},
    fault_case{"changed_byte_at_9", {fault_kind::read_corrupt, 0, 9},
               "read 9\nverify error in block 9\n" DROPPED, "", "verifying   7.0 %\n", "erase 0"},
    fault_case{"changed_last_byte_at_9", {fault_kind::read_corrupt, 0, 9, BLOCK_SIZE - 1},
               "read 9\nverify error in block 9\n" DROPPED, "", "verifying   7.0 %\n", "erase 0"},
    // The first erase block cannot be taken away: the erase's own report says so.
    fault_case{"changed_byte_at_9_erase_again_fails",
               {.kind = fault_kind::read_corrupt, .block = 9}, "read 9\nverify error in block 9\n",
               "erase: Input/output error\n", "verifying   7.0 %\n", "erase 0", MiB, true,
               {.kind = fault_kind::erase_fails, .block = 0, .after = 1}},
    fault_case{"seek_fails_at_9", {fault_kind::seek_fails, 0, 9}, "write 8\nwrite 9\n",
               "lseek failed: Invalid argument\n", "writing  33.3 %\n", "write 1048576+131072"},
    // No boot image: block 0 has no file data, was never written and needs no second erase.
    fault_case{"rewind_before_verify_fails", {fault_kind::seek_fails, 0, 0},
               "write 23\nverifying...\n", "lseek failed: Invalid argument\n",
               "writing  93.8 %\n", "write 3014656+131072", 0},
    // Block 100 carries no file data: it must read back erased, every byte 0xFF.
    fault_case{"changed_byte_in_erased_block_100", {fault_kind::read_corrupt, 0, 100},
               "read 100\nverify error in block 100\n" DROPPED, "", "verifying  78.1 %\n",
               "erase 0"},
    fault_case{"changed_last_byte_in_erased_block_100",
               {fault_kind::read_corrupt, 0, 100, BLOCK_SIZE - 1},
               "read 100\nverify error in block 100\n" DROPPED, "", "verifying  78.1 %\n",
               "erase 0"},
    fault_case{"erased_to_zeros_at_100", {fault_kind::erase_zeros, 0, 100},
               "read 100\nverify error in block 100\n" DROPPED, "", "verifying  78.1 %\n",
               "erase 0"}),
    case_name{});
// clang-format on

// One changed byte at each position of a 64-byte stride, each in another 2 KiB of the block:
// in block 9, which holds file data, and in block 100, which must read back erased.
static std::vector<fault_case> changed_byte_sweep() {
    static std::deque<std::string> names;
    const struct {
        uint32_t block;
        const char *tail, *status, *last_op;
    } blocks[] = {
        {9, "read 9\nverify error in block 9\n" DROPPED, "verifying   7.0 %\n", "erase 0"},
        {100, "read 100\nverify error in block 100\n" DROPPED, "verifying  78.1 %\n", "erase 0"}};
    std::vector<fault_case> cases;
    for (const auto &b : blocks) {
        for (uint32_t lane = 0; lane < 64; lane++) {
            names.push_back("block_" + std::to_string(b.block) + "_lane_" + std::to_string(lane));
            sim::fault changed{sim::fault_kind::read_corrupt, 0, b.block, lane * 2049};
            cases.push_back({names.back().c_str(), changed, b.tail, "", b.status, b.last_op});
        }
    }
    return cases;
}
INSTANTIATE_TEST_SUITE_P(ChangedByte, DeviceFault, ::testing::ValuesIn(changed_byte_sweep()),
                         case_name{});

// The device as MEMGETINFO and MEMGETBADBLOCK describe it: a slot that cannot take the image
// whole is refused before anything on it is erased, and the run goes on to slot 1; one that fails
// after its erase began leaves slot 1 alone. On NAND the slot is laid over the good erase blocks,
// and a block that wears out is marked bad.
struct geometry_case {
    const char *name;
    void (*prepare)(sim::device &d);
    const char *error;        // standard error; empty when the device is sound
    size_t bad_block_queries; // how many erase blocks' marks are read
    // The device afterwards, in runs of erase blocks: "3s" holds the slot's next three erase
    // blocks, "1e" is erased, "2." untouched, each erased once or never; "1d" erased twice, the
    // first erase block taken away again or a worn one erased before its mark; "1x" failed and is
    // not looked at; "2k" takes up no erase block: the slot's next two are not on the device. None:
    // the slot from offset 0, or the device untouched when refused.
    const char *layout = nullptr;
    // Lines standard output has after a line of the target's; a failed target's ends there.
    std::vector<std::pair<const char *, const char *>> lines = {};
    std::vector<uint32_t> marked = {}; // erase blocks the run marks bad
    int lock_queries = -1;             // MEMISLOCKED requests, where the row counts them
    size_t main_size = 2 * MiB;
    size_t boot_size = 1000;
};

class Geometry : public Quarn, public ::testing::WithParamInterface<geometry_case> {};

TEST_P(Geometry, RefusesADeviceThatCannotTakeTheSlotWhole) {
    const geometry_case &c = GetParam();
    std::vector<uint8_t> slot0 = stage_pair(c.boot_size, c.main_size);
    std::vector<uint8_t> slot1 = expected_slot(stage(SLOT1_BOOT, 10, 3), stage(SLOT1_MAIN, 10, 4));
    c.prepare(sim::dev(0));
    std::vector<uint8_t> device = sim::contents(0);
    std::vector<uint32_t> bad_blocks = sim::dev(0).bad_blocks;
    std::vector<uint8_t> old_slot1 = sim::contents(1);
    run_result r = run({"quarn", "slot0"});
    bool refused = c.layout == nullptr && c.error[0] != '\0';
    // A slot with a piece missing ("k") failed.
    bool programmed = c.layout != nullptr
                          ? strchr(c.layout, 's') != nullptr && strchr(c.layout, 'k') == nullptr
                          : !refused;
    EXPECT_EQ(r.rc, programmed ? 0 : -1);
    EXPECT_EQ(r.err, c.error);
    uint32_t erase_size = sim::dev(0).info.erasesize;
    std::string first = target_output(BOOT, c.boot_size, MAIN, c.main_size,
                                      erase_size > BLOCK_SIZE ? erase_size / BLOCK_SIZE : 1);
    size_t cut = refused ? first.find("erasing...\n") : std::string::npos;
    for (const auto &[after, lines] : c.lines) {
        size_t at = first.find(std::string("\n").append(after)) + 1 + strlen(after);
        first.insert(at, lines);
        cut = programmed ? cut : at + strlen(lines);
    }
    bool second = programmed || refused;
    EXPECT_EQ(r.out, first.substr(0, cut) +
                         (second ? target_output(SLOT1_BOOT, 10, SLOT1_MAIN, 10) : LEFT_ALONE));
    std::vector<std::string> statuses = {"starting\n"},
                             more = target_statuses(c.boot_size, c.main_size);
    if (programmed)
        statuses.insert(statuses.end(), more.begin(), more.end());
    more = target_statuses(10, 10);
    statuses.insert(statuses.end(), more.begin(), more.end());
    statuses.push_back(programmed ? "Succeeded\n" : "Failed\n");
    // A slot that fails midway leaves its progress lines to the device fault table.
    if (programmed || refused) {
        EXPECT_EQ(sim::status_history(), statuses);
    }
    EXPECT_EQ(sim::dev(0).bad_block_queries.size(), c.bad_block_queries);
    if (c.lock_queries >= 0) {
        EXPECT_EQ(sim::dev(0).lock_queries, static_cast<size_t>(c.lock_queries));
    }
    EXPECT_EQ(sim::dev(0).ops.empty(), refused);
    if (c.layout == nullptr && programmed)
        device = slot0;
    const std::vector<uint8_t> after = sim::contents(0);
    uint32_t size = sim::dev(0).info.erasesize, block = 0, piece = 0, count;
    char kind;
    for (std::istringstream runs(c.layout != nullptr ? c.layout : ""); runs >> count >> kind;) {
        if (kind == 'k')
            piece += count;
        for (uint32_t end = block + count; kind != 'k' && block < end; block++) {
            uint8_t *at = device.data() + size_t{block} * size;
            if (kind == 'x') {
                std::copy_n(after.data() + size_t{block} * size, size, at);
                continue;
            }
            EXPECT_EQ(sim::dev(0).erases[block], kind == '.'   ? 0u
                                                 : kind == 'd' ? 2u
                                                               : 1u)
                << "erase block " << block;
            // Only the 128 KiB blocks with file data are written, however often a piece moved;
            // off NAND block 0 takes two requests, its first 4 KiB last.
            for (uint32_t b = 0; kind == 's' && size >= BLOCK_SIZE && b < size / BLOCK_SIZE; b++) {
                size_t image_block = (size_t{piece} * size) / BLOCK_SIZE + b;
                bool present =
                    image_block * BLOCK_SIZE < c.boot_size ||
                    (image_block >= 8 &&
                     image_block < 8 + c.main_size / BLOCK_SIZE + (c.main_size % BLOCK_SIZE != 0));
                bool split = image_block == 0 && sim::dev(0).info.type != MTD_NANDFLASH;
                EXPECT_EQ(sim::dev(0).writes[size_t{block} * (size / BLOCK_SIZE) + b],
                          uint32_t{present} + split)
                    << "128 KiB block " << b << " of erase block " << block;
            }
            if (kind == 's')
                std::copy_n(slot0.data() + size_t{piece++} * size, size, at);
            else if (kind == 'e' || kind == 'd')
                std::fill_n(at, size, 0xFF);
        }
    }
    EXPECT_TRUE(slot_equals(0, device));
    bad_blocks.insert(bad_blocks.end(), c.marked.begin(), c.marked.end());
    EXPECT_EQ(sim::dev(0).bad_blocks, bad_blocks);
    EXPECT_TRUE(slot_equals(1, second ? slot1 : old_slot1));
    EXPECT_EQ(sim::dev(1).open_flags == -1, !second);
    EXPECT_EQ(sim::open_devices(), 0);
}

static void nand(sim::device &d) {
    d.info.type = MTD_NANDFLASH;
    d.info.flags = MTD_CAP_NANDFLASH;
    d.info.writesize = 2048;
    d.info.oobsize = 64;
}

// NAND with eight spare erase blocks.
static void nand_17MiB(sim::device &d) {
    nand(d);
    d.size = 17 * MiB;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Flash, Geometry, ::testing::Values(
    geometry_case{"nor_16MiB", [](sim::device &) {}, "", 0},
    // MEMGETINFO's 32-bit size wraps round to 8 MiB.
    geometry_case{"4GiB_and_8MiB", [](sim::device &d) { d.size = (4ull << 30) + 8 * MiB; }, "", 0},
    // One 128 KiB erase request covers two blocks.
    geometry_case{"erase_blocks_of_64KiB", [](sim::device &d) { d.info.erasesize = 64 * 1024; },
                  "", 0},
    geometry_case{"nand", nand, "", 128},
    // Its MTD number, which tells whether UBI or a file system uses it, cannot be known.
    geometry_case{"not_an_mtd_device", [](sim::device &d) { d.rdev = makedev(1, 3); },
                  "refusing /dev/mtd0: not an MTD character device\n", 0},
    geometry_case{"geometry_unreadable", [](sim::device &d) { d.info_fails = true; },
                  "refusing /dev/mtd0: cannot read its geometry: Inappropriate ioctl for device\n", 0},
    geometry_case{"8MiB", [](sim::device &d) { d.size = 8 * MiB; },
                  "refusing /dev/mtd0: size of 8388608 bytes is less than the 16777216 bytes of "
                  "a slot\n", 0},
    geometry_case{"one_block_short", [](sim::device &d) { d.size = 16 * MiB - BLOCK_SIZE; },
                  "refusing /dev/mtd0: size of 16646144 bytes is less than the 16777216 bytes of "
                  "a slot\n", 0},
    // One erase request per erase block, at every other block.
    geometry_case{"erase_blocks_of_256KiB", [](sim::device &d) { d.info.erasesize = 256 * 1024; },
                  "", 0, "64s"},
    geometry_case{"erase_blocks_of_96KiB", [](sim::device &d) { d.info.erasesize = 96 * 1024; },
                  "refusing /dev/mtd0: erase block size of 98304 bytes does not divide 131072 "
                  "bytes\n", 0},
    geometry_case{"pages_of_256KiB",
                  [](sim::device &d) { nand(d); d.info.writesize = 256 * 1024; },
                  "refusing /dev/mtd0: write size of 262144 bytes does not divide 131072 bytes\n",
                  0},
    geometry_case{"erase_size_0", [](sim::device &d) { d.info.erasesize = 0; },
                  "refusing /dev/mtd0: erase block size of 0 bytes does not divide 131072 bytes\n", 0},
    geometry_case{"write_size_0", [](sim::device &d) { d.info.writesize = 0; },
                  "refusing /dev/mtd0: write size of 0 bytes does not divide 131072 bytes\n", 0},
    geometry_case{"nand_erase_blocks_of_8KiB",
                  [](sim::device &d) { nand(d); d.info.erasesize = 8 * 1024; },
                  "refusing /dev/mtd0: NAND erase block size of 8192 bytes is less than 16384 "
                  "bytes\n", 0},
    geometry_case{"nand_64KiB_erase_blocks_bad_block_255",
                  [](sim::device &d) { nand(d); d.info.erasesize = 64 * 1024; d.bad_blocks = {255}; },
                  "refusing /dev/mtd0: only 255 good erase blocks, the slot needs 256\n", 256},
    geometry_case{"mlc_nand_bad_block_3",
                  [](sim::device &d) { nand(d); d.info.type = MTD_MLCNANDFLASH; d.bad_blocks = {3}; },
                  "refusing /dev/mtd0: only 127 good erase blocks, the slot needs 128\n", 128},
    geometry_case{"nand_bad_block_127", [](sim::device &d) { nand(d); d.bad_blocks = {127}; },
                  "refusing /dev/mtd0: only 127 good erase blocks, the slot needs 128\n", 128},
    geometry_case{"nand_bad_block_marks_unreadable",
                  [](sim::device &d) { nand(d); d.bad_block_query_fails = true; },
                  "refusing /dev/mtd0: cannot read the bad block mark at offset 0: "
                  "Input/output error\n", 1},
    geometry_case{"nand_too_few_good_blocks",
                  [](sim::device &d) { nand(d); d.size += BLOCK_SIZE; d.bad_blocks = {3, 100}; },
                  "refusing /dev/mtd0: only 127 good erase blocks, the slot needs 128\n", 129},
    geometry_case{"nand_bad_block_0", [](sim::device &d) { nand_17MiB(d); d.bad_blocks = {0}; },
                  "", 129, "1. 128s 7.", {{"erase 0\n", "skipping bad block at offset 0\n"}}},
    geometry_case{"nand_bad_blocks_60_61",
                  [](sim::device &d) { nand_17MiB(d); d.bad_blocks = {61, 60}; }, "", 130,
                  "60s 2. 68s 6.", {{"erase 60\n", "skipping bad block at offset 7864320\n"
                                                   "skipping bad block at offset 7995392\n"}}},
    geometry_case{"nand_bad_block_at_the_last_place",
                  [](sim::device &d) { nand_17MiB(d); d.bad_blocks = {127}; }, "", 129,
                  "127s 1. 1s 7.", {{"erase 127\n", "skipping bad block at offset 16646144\n"}}},
    // Pieces of half a block: block 10's second half goes past the bad erase block.
    geometry_case{"nand_64KiB_erase_blocks_bad_block_21",
                  [](sim::device &d) { nand_17MiB(d); d.info.erasesize = 64 * 1024; d.bad_blocks = {21}; },
                  "", 257, "21s 1. 235s 15.",
                  {{"erase 10\n", "skipping bad block at offset 1376256\n"}}},
    // MEMGETINFO's size wraps round to 16 MiB: the spare blocks are found past it all the same.
    geometry_case{"nand_4GiB_and_16MiB_bad_block_3",
                  [](sim::device &d) { nand(d); d.size = (4ull << 30) + 16 * MiB; d.bad_blocks = {3}; },
                  "", 129, "3s 1. 125s", {{"erase 3\n", "skipping bad block at offset 393216\n"}}},
    geometry_case{"nand_erase_blocks_of_256KiB",
                  [](sim::device &d) { nand(d); d.info.erasesize = 256 * 1024; }, "", 64, "64s"},
    geometry_case{"nand_erase_fails_at_5",
                  [](sim::device &d) { nand_17MiB(d); sim::inject({fault_kind::erase_fails, 0, 5}); },
                  "erase: Input/output error\n", 129, "5s 1x 123s 7.",
                  {{"erase 5\n", "marking bad block at offset 655360\n"}}, {5}},
    // The pieces after block 9 move up one place; the place newly needed at the end is erased.
    geometry_case{"nand_write_fails_at_9",
                  [](sim::device &d) { nand_17MiB(d); sim::inject({fault_kind::write_fails, 0, 9}); },
                  "write failed: Input/output error\n", 129, "9s 1x 119s 7.",
                  {{"write 9\n", "marking bad block at offset 1179648\n"}}, {9}},
    // Block 8, written before block 9 failed, is written again at the piece's new place.
    geometry_case{"nand_256KiB_erase_blocks_write_fails_at_9",
                  [](sim::device &d) { nand_17MiB(d); d.info.erasesize = 256 * 1024;
                                       sim::inject({fault_kind::write_fails, 0, 9}); },
                  "write failed: Input/output error\n", 65, "4s 1x 60s 3.",
                  {{"write 9\n", "marking bad block at offset 1048576\n"}}, {4}},
    geometry_case{"nand_no_spare_left",
                  [](sim::device &d) { nand(d); sim::inject({fault_kind::erase_fails, 0, 5}); },
                  "erase: Input/output error\nno good block left for the slot\n", 128, "5e 1x 122.",
                  {{"erase 5\n", "marking bad block at offset 655360\n"}}, {5}},
    geometry_case{"nand_mark_fails",
                  [](sim::device &d) { nand_17MiB(d); d.mark_fails = true;
                                       sim::inject({fault_kind::erase_fails, 0, 5}); },
                  "erase: Input/output error\nmark bad: Input/output error\n", 128, "5e 1x 130.",
                  {{"erase 5\n", ""}}},
    // Only EIO is the chip's report of a worn-out block: nothing is marked for another error.
    geometry_case{"nand_erase_times_out_at_5",
                  [](sim::device &d) { nand_17MiB(d);
                                       sim::inject({.kind = fault_kind::erase_fails, .block = 5,
                                                    .error = ETIMEDOUT}); },
                  "erase: Connection timed out\n", 128, "5e 1x 130.", {{"erase 5\n", ""}}},
    geometry_case{"nand_write_times_out_at_0",
                  [](sim::device &d) { nand_17MiB(d);
                                       sim::inject({.kind = fault_kind::write_fails, .block = 0,
                                                    .error = ETIMEDOUT}); },
                  "write failed: Connection timed out\n", 128, "1d 7e 8k 16s 104e 8.",
                  {{"write 0\n", DROPPED}}},
    // The slot's end moves past bad block 128: its skip line once, where the erase passes it.
    geometry_case{"nand_erase_fails_at_5_spare_bad",
                  [](sim::device &d) { nand_17MiB(d); d.bad_blocks = {128};
                                       sim::inject({fault_kind::erase_fails, 0, 5}); },
                  "erase: Input/output error\n", 130, "5s 1x 122s 1. 1s 6.",
                  {{"erase 5\n", "marking bad block at offset 655360\n"},
                   {"erase 127\n", "skipping bad block at offset 16777216\n"}}, {5}},
    geometry_case{"nand_write_fails_at_9_spare_bad",
                  [](sim::device &d) { nand_17MiB(d); d.bad_blocks = {128};
                                       sim::inject({fault_kind::write_fails, 0, 9}); },
                  "write failed: Input/output error\n", 130, "9s 1x 118s 1. 1s 6.",
                  {{"write 9\n", "marking bad block at offset 1179648\n"
                                 "skipping bad block at offset 16777216\n"}}, {9}},
    // The block newly needed at the slot's end fails its erase right after a mark: more likely
    // the chip than a second worn block, so it is not marked.
    geometry_case{"nand_write_fails_at_9_spare_erase_fails",
                  [](sim::device &d) { nand_17MiB(d);
                                       sim::inject({fault_kind::write_fails, 0, 9});
                                       sim::inject({fault_kind::erase_fails, 0, 128}); },
                  "write failed: Input/output error\nerase: Input/output error\n"
                  "not marking a second block in a row at offset 16777216\n", 129,
                  "8e 8k 1s 1x 118e 1x 7.",
                  {{"write 9\n", "marking bad block at offset 1179648\n"}}, {9}},
    // Worn blocks far apart are each marked, and passed.
    geometry_case{"nand_erase_fails_at_5_and_100",
                  [](sim::device &d) { nand_17MiB(d); sim::inject({fault_kind::erase_fails, 0, 5});
                                       sim::inject({fault_kind::erase_fails, 0, 100}); },
                  "erase: Input/output error\nerase: Input/output error\n", 130,
                  "5s 1x 94s 1x 29s 6.",
                  {{"erase 5\n", "marking bad block at offset 655360\n"},
                   {"erase 99\n", "marking bad block at offset 13107200\n"}}, {5, 100}},
    // A chip whose every write fails (a controller timing out): the block taken in the marked
    // one's place fails too, after the spare at the slot's end was erased.
    geometry_case{"nand_every_write_fails",
                  [](sim::device &d) { nand_17MiB(d);
                                       sim::inject({fault_kind::write_fails, 0, sim::EVERY_BLOCK}); },
                  "write failed: Input/output error\nwrite failed: Input/output error\n"
                  "not marking a second block in a row at offset 1179648\n", 129, "8e 2x 119e 7.",
                  {{"write 8\n", "marking bad block at offset 1048576\n"}}, {8}},
    // A chip whose every erase fails (its write-protect pin held): one mark, not eight.
    geometry_case{"nand_every_erase_fails",
                  [](sim::device &d) { nand_17MiB(d);
                                       sim::inject({fault_kind::erase_fails, 0, sim::EVERY_BLOCK}); },
                  "erase: Input/output error\nerase: Input/output error\n"
                  "not marking a second block in a row at offset 131072\n", 129, "2x 134.",
                  {{"erase 0\n", "marking bad block at offset 0\n"}}, {0}},
    // A piece with a block without file data, written again past a worn block: that block is
    // still not written.
    geometry_case{"nand_512KiB_erase_blocks_write_fails_at_24",
                  [](sim::device &d) { nand_17MiB(d); d.info.erasesize = 512 * 1024;
                                       sim::inject({fault_kind::write_fails, 0, 24}); },
                  "write failed: Input/output error\n", 33, "6s 1x 26s 1.",
                  {{"write 24\n", "marking bad block at offset 3145728\n"}}, {6}, -1,
                  2 * MiB + BLOCK_SIZE},
    // Reads the ECC could not correct: the block is worn, whatever bytes came back, and is marked
    // so that the next run passes it. A mismatch the ECC did not see is no sign of wear.
    geometry_case{"nand_256KiB_erase_blocks_uncorrectable_read_at_9",
                  [](sim::device &d) { nand_17MiB(d); d.info.erasesize = 256 * 1024;
                                       sim::inject({fault_kind::ecc_failed, 0, 9}); },
                  "", 64, "1d 3e 1x 5k 59s 4.",
                  {{"read 9\n", "verify error in block 9\nmarking bad block at offset 1048576\n"
                                DROPPED}}, {4}},
    // Counted once, read clean again: another partition's failure, counted in this one's too.
    geometry_case{"nand_uncorrectable_read_once_at_9",
                  [](sim::device &d) { nand_17MiB(d);
                                       sim::inject({.kind = fault_kind::ecc_failed, .block = 9,
                                                    .times = 1}); }, "", 128},
    geometry_case{"nand_uncorrectable_read_in_erased_block_100",
                  [](sim::device &d) { nand_17MiB(d); sim::inject({fault_kind::ecc_failed, 0, 100}); },
                  "", 128, "1d 7e 8k 92s 1x 1k 27s 8.",
                  {{"read 100\n", "verify error in block 100\n"
                                  "marking bad block at offset 13107200\n" DROPPED}}, {100}},
    // The first erase block itself: marked, and not erased again.
    geometry_case{"nand_uncorrectable_read_at_0",
                  [](sim::device &d) { nand_17MiB(d); sim::inject({fault_kind::ecc_failed, 0, 0}); },
                  "", 128, "1d 1k 127s 8.",
                  {{"read 0\n", "verify error in block 0\nmarking bad block at offset 0\n"}}, {0}},
    geometry_case{"nand_changed_byte_at_9",
                  [](sim::device &d) { nand_17MiB(d); sim::inject({fault_kind::read_corrupt, 0, 9}); },
                  "", 128, "1d 7e 8k 120s 8.", {{"read 9\n", "verify error in block 9\n" DROPPED}}},
    geometry_case{"nand_bit_flips_corrected",
                  [](sim::device &d) { nand(d);
                                       sim::inject({fault_kind::ecc_corrected, 0, sim::EVERY_BLOCK}); },
                  "", 128},
    // The first erase block, written last, wears out: the pieces after it are written already
    // and cannot move. It is marked, and the next run lays the slot out past it.
    geometry_case{"nand_512KiB_erase_blocks_first_piece_worn",
                  [](sim::device &d) { nand_17MiB(d); d.info.erasesize = 512 * 1024;
                                       sim::inject({fault_kind::write_fails, 0, 0}); },
                  "write failed: Input/output error\n"
                  "first erase block worn out: the next run lays the slot out past it\n", 32,
                  "1x 1k 31s 2.", {{"write 0\n", "marking bad block at offset 0\n"}}, {0}},
    // Erased before its mark, as SPI NAND's kernel does not: the boot image must not stay there.
    geometry_case{"nand_first_block_worn",
                  [](sim::device &d) { nand_17MiB(d); sim::inject({fault_kind::write_fails, 0, 0}); },
                  "write failed: Input/output error\n"
                  "first erase block worn out: the next run lays the slot out past it\n", 128,
                  "1d 1k 127s 8.", {{"write 0\n", "marking bad block at offset 0\n"}}, {0}},
    // Past the first 128 KiB of the first erase block too: blocks 0 and 1 are written already.
    geometry_case{"nand_512KiB_erase_blocks_third_block_of_first_piece_worn",
                  [](sim::device &d) { nand_17MiB(d); d.info.erasesize = 512 * 1024;
                                       sim::inject({fault_kind::write_fails, 0, 2}); },
                  "write failed: Input/output error\n"
                  "first erase block worn out: the next run lays the slot out past it\n", 32,
                  "1d 1k 31s 2.", {{"write 2\n", "marking bad block at offset 0\n"}}, {0}, -1,
                  2 * MiB, 2 * BLOCK_SIZE + 1000},
    // The smallest NAND erase block there is: 1,024 pieces.
    geometry_case{"nand_erase_blocks_of_16KiB",
                  [](sim::device &d) { nand(d); d.info.erasesize = 16 * 1024;
                                       d.info.writesize = 512; }, "", 1024},
    geometry_case{"erase_blocks_of_384KiB", [](sim::device &d) { d.info.erasesize = 384 * 1024; },
                  "refusing /dev/mtd0: erase block size of 393216 bytes does not divide the "
                  "16777216 bytes of a slot\n", 0},
    // Erase requests reach the first 4 GiB only, where just 3 of the 4 MiB blocks are good.
    geometry_case{"nand_4GiB_and_16MiB_too_few_good_blocks_below_4GiB",
                  [](sim::device &d) { nand(d); d.info.erasesize = 4 * MiB;
                                       d.size = (4ull << 30) + 16 * MiB;
                                       for (uint32_t b = 0; b < 1021; b++)
                                           d.bad_blocks.push_back(b); },
                  "refusing /dev/mtd0: only 3 good erase blocks, the slot needs 4\n", 1024},
    // Write-protected erase blocks: refused before the first erase, each erase block asked
    // on its own. A driver without locking is asked once.
    geometry_case{"erase_blocks_of_64KiB_block_201_locked",
                  [](sim::device &d) { d.info.erasesize = 64 * 1024; d.locked = {201}; },
                  "refusing /dev/mtd0: locked at offset 13172736\n", 0, nullptr, {}, {}, 202},
    // Block-protect bits guarding a range past the slot, as at the top of a chip.
    geometry_case{"nor_17MiB_locked_past_the_slot",
                  [](sim::device &d) { d.size = 17 * MiB;
                                       d.locked = {128, 129, 130, 131, 132, 133, 134, 135}; },
                  "", 0, nullptr, {}, {}, 128},
    geometry_case{"nor_without_locking", [](sim::device &d) { d.lock_error = EOPNOTSUPP; }, "",
                  0, nullptr, {}, {}, 1},
    geometry_case{"nor_lock_state_unreadable", [](sim::device &d) { d.lock_error = EIO; },
                  "refusing /dev/mtd0: cannot read its lock state: Input/output error\n", 0,
                  nullptr, {}, {}, 1},
    geometry_case{"nand_block_128_locked_past_bad_block_3",
                  [](sim::device &d) { nand_17MiB(d); d.bad_blocks = {3}; d.locked = {128}; },
                  "refusing /dev/mtd0: locked at offset 16777216\n", 129, nullptr, {}, {}, 128},
    // The block newly needed at the slot's end is asked before it is erased.
    geometry_case{"nand_erase_fails_at_5_spare_locked",
                  [](sim::device &d) { nand_17MiB(d); d.locked = {128};
                                       sim::inject({fault_kind::erase_fails, 0, 5}); },
                  "erase: Input/output error\nrefusing /dev/mtd0: locked at offset 16777216\n",
                  129, "5e 1x 130.", {{"erase 5\n", "marking bad block at offset 655360\n"}},
                  {5}, 129},
    geometry_case{"nand_write_fails_at_9_spare_locked",
                  [](sim::device &d) { nand_17MiB(d); d.locked = {128};
                                       sim::inject({fault_kind::write_fails, 0, 9}); },
                  "write failed: Input/output error\n"
                  "refusing /dev/mtd0: locked at offset 16777216\n",
                  129, "8e 8k 1s 1x 118e 8.",
                  {{"write 9\n", "marking bad block at offset 1179648\n"}}, {9}, 129}),
    case_name{});
// clang-format on

TEST_F(Quarn, MissingDeviceNodeFailsBeforeAnyOperation) {
    stage_pair(1000, 1000);
    sim::dev(0).present = false;
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(r.out.ends_with("1000 Bytes (1 blocks)\nopening MTD device...\n"));
    EXPECT_EQ(r.err, "failed to open MTD device: No such file or directory\n");
    EXPECT_EQ(sim::status_history(), (std::vector<std::string>{"starting\n", "Failed\n"}));
    EXPECT_EQ(sim::open_devices(), 0);
}

// Started with standard input and error closed, quarn must not hand those numbers to the
// device: error reports would be written into the flash.
TEST_F(Quarn, ClosedStandardDescriptorsAreNotGivenToTheDevice) {
    std::vector<uint8_t> slot = stage_pair(1000, 1000);
    int saved_in = dup(0);
    close(0);
    run_result r = run({"quarn", "slot0"}, true);
    dup2(saved_in, 0);
    close(saved_in);
    EXPECT_EQ(r.rc, 0);
    EXPECT_GT(sim::dev(0).fd, 2);
    EXPECT_TRUE(slot_equals(0, slot));
}

// A bad-block mark that failed: until the next boot the kernel passes over the block and the boot
// loader does not, so that device is held, and only that one. Another boot's lines are stale, and
// dropped with the next record.
TEST_F(Quarn, FailedMarkHoldsTheDeviceUntilTheNextBoot) {
    const char *const second_boot = "9d3e0b42-1c7a-4e8f-b6d5-27a1f0c4e893";
    const std::string mark_fails = "erase: Input/output error\nmark bad: Input/output error\n";
    const std::string held = "refusing /dev/mtd0: a bad-block mark at offset 655360 did not "
                             "reach the chip; reboot before programming it\n";
    const std::string first = std::string(FIRST_BOOT) + " 0 655360\n",
                      both = first + FIRST_BOOT + " 1 655360\n",
                      second = std::string(second_boot) + " 0 655360\n";
    const struct {
        const char *boot_id;
        int failing;        // the device whose mark fails, or -1
        std::string error;  // standard error
        bool programmed[2]; // which devices hold their slot afterwards
        std::string record; // /run/quarn.unsure-marks afterwards
        bool cut = false;   // the record's last newline is lost first, as by a full /run
    } runs[] = {
        {FIRST_BOOT, 0, mark_fails, {false, false}, first},
        {FIRST_BOOT, 1, held + mark_fails, {false, false}, both},
        {second_boot, -1, "", {true, true}, both},
        {second_boot, 0, mark_fails, {false, false}, second},
        // A line cut short by a full /run is kept apart from the line added after it.
        // clang-format off
        {second_boot, 1, held + mark_fails, {false, false}, second + second_boot + " 1 655360\n",
         true},
        // clang-format on
    };
    std::vector<uint8_t> slot[2] = {
        stage_pair(1000, 2 * MiB),
        expected_slot(stage(SLOT1_BOOT, 10, 3), stage(SLOT1_MAIN, 10, 4))};
    for (const auto &step : runs) {
        SCOPED_TRACE(std::string(step.boot_id) + ", mark fails on " + std::to_string(step.failing));
        sim::reset(root);
        boot_image_path = BOOT; // a slot0 run leaves the slot 1 pair there
        main_image_path = MAIN;
        for (int n = 0; n < 2; n++) {
            nand_17MiB(sim::dev(n));
            sim::dev(n).mark_fails = n == step.failing;
        }
        if (step.failing >= 0)
            sim::inject({fault_kind::erase_fails, step.failing, 5});
        if (step.cut) {
            std::string marks = read_file("/run/quarn.unsure-marks");
            ASSERT_EQ(truncate((root + "/run/quarn.unsure-marks").c_str(),
                               static_cast<off_t>(marks.size() - 1)),
                      0);
        }
        std::ofstream(root + BOOT_ID_PATH) << step.boot_id << "\n";
        run_result r = run({"quarn", "slot0"});
        EXPECT_EQ(r.rc, step.programmed[0] && step.programmed[1] ? 0 : -1);
        EXPECT_EQ(r.err, step.error);
        EXPECT_EQ(read_file("/run/quarn.unsure-marks"), step.record);
        EXPECT_EQ(sim::dev(0).ops.empty(), step.error.starts_with(held));
        for (int n = 0; n < 2; n++) {
            EXPECT_EQ(slot_equals(n, slot[n]), step.programmed[n]) << "/dev/mtd" << n;
        }
    }
    struct stat st;
    ASSERT_EQ(lstat((root + "/run/quarn.unsure-marks").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}
