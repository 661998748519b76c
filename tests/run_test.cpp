// The update run: arguments, the second target, the outcome and the status file.
#include "harness.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

struct argument_case {
    const char *name;
    std::vector<const char *> args;
    const char *usage; // expected standard output
};

class Arguments : public Quarn, public ::testing::WithParamInterface<argument_case> {};

TEST_P(Arguments, RejectedWithUsageAndFailed) {
    stage_pair(1000, 1000);
    run_result r = run(GetParam().args);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, GetParam().usage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim::status_history(), (std::vector<std::string>{"starting\n", "Failed\n"}));
    // "starting" and the outcome are synced: each before its rename, and /var after it.
    EXPECT_EQ(sim::var_events(),
              (std::vector<std::string>{"sync file", "rename starting\n", "sync dir", "sync file",
                                        "rename Failed\n", "sync dir"}));
    EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
    EXPECT_TRUE(sim::dev(0).ops.empty());
    EXPECT_TRUE(sim::dev(1).ops.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Run, Arguments,
    ::testing::Values(
        argument_case{"none", {"/usr/sbin/quarn"}, "usage: /usr/sbin/quarn slot0|slot1\n"},
        argument_case{"two", {"quarn", "slot0", "slot1"}, "usage: quarn slot0|slot1\n"},
        argument_case{"upper", {"quarn", "SLOT0"}, "usage: quarn slot0|slot1\n"},
        argument_case{"third", {"quarn", "slot2"}, "usage: quarn slot0|slot1\n"},
        argument_case{"prefix", {"quarn", "slot"}, "usage: quarn slot0|slot1\n"},
        argument_case{"longer", {"quarn", "slot00"}, "usage: quarn slot0|slot1\n"},
        argument_case{"empty", {"quarn", ""}, "usage: quarn slot0|slot1\n"},
        // execve() can start a program with no arguments at all.
        argument_case{"no_vector", {}, "usage: quarn slot0|slot1\n"}),
    case_name{});

TEST_F(Quarn, Slot1AloneProgramsOnlyMtd1FromTheDefaultPair) {
    std::vector<uint8_t> slot = stage_pair(300000, 700000);
    stage(SLOT1_BOOT, 1000, 7);
    stage(SLOT1_MAIN, 1000, 8);
    run_result r = run({"quarn", "slot1"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, target_output(BOOT, 300000, MAIN, 700000));
    EXPECT_TRUE(slot_equals(1, slot));
    EXPECT_TRUE(sim::dev(0).ops.empty());
    EXPECT_EQ(read_file("/var/quarn.status"), "Succeeded\n");
}

// How the slot 1 pair is staged, and whether a slot0 run then programs /dev/mtd1 too.
struct slot1_case {
    const char *name;
    void (*prepare)(const std::string &root);
    bool second_target;
    // How standard output ends for a slot 0 made to fail, before any slot 1 lines.
    const char *slot0_tail = nullptr;
};

static void chmod_main(const std::string &root, std::filesystem::perms mode) {
    std::filesystem::permissions(root + SLOT1_MAIN, mode);
}

class SecondTarget : public Quarn, public ::testing::WithParamInterface<slot1_case> {};

TEST_P(SecondTarget, FollowsSlot0WhenStagedUnlessSlot0FailedAfterItsErase) {
    const slot1_case &c = GetParam();
    std::vector<uint8_t> slot0 = stage_pair(200000, 3 * BLOCK_SIZE);
    std::vector<uint8_t> slot1 =
        expected_slot(stage(SLOT1_BOOT, 5000, 11), stage(SLOT1_MAIN, 9000, 12));
    std::vector<uint8_t> old_slot1 = sim::contents(1);
    c.prepare(root);
    run_result r = run({"quarn", "slot0"});
    std::string second = c.second_target ? target_output(SLOT1_BOOT, 5000, SLOT1_MAIN, 9000) : "";
    if (c.second_target) {
        EXPECT_TRUE(slot_equals(1, slot1));
    } else {
        EXPECT_EQ(sim::dev(1).open_flags, -1);
        EXPECT_TRUE(slot_equals(1, old_slot1));
    }
    if (c.slot0_tail != nullptr) {
        EXPECT_EQ(r.rc, -1);
        EXPECT_TRUE(r.out.ends_with(c.slot0_tail + second)) << tail(r.out, 200);
        EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
        return;
    }
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(slot_equals(0, slot0));
    std::string first = target_output(BOOT, 200000, MAIN, 3 * BLOCK_SIZE);
    // Slot 1's write percentages count its own blocks only.
    std::vector<std::string> statuses = {"starting\n"};
    std::vector<std::string> more = target_statuses(200000, 3 * BLOCK_SIZE);
    statuses.insert(statuses.end(), more.begin(), more.end());
    EXPECT_EQ(r.out, first + second);
    if (c.second_target) {
        more = target_statuses(5000, 9000);
        statuses.insert(statuses.end(), more.begin(), more.end());
    }
    statuses.push_back("Succeeded\n");
    EXPECT_EQ(sim::status_history(), statuses);
    EXPECT_EQ(read_file("/var/quarn.status"), "Succeeded\n");
}

INSTANTIATE_TEST_SUITE_P(
    Run, SecondTarget,
    ::testing::Values(
        slot1_case{"both_staged", [](const std::string &) {}, true},
        slot1_case{"boot_missing",
                   [](const std::string &root) { unlink((root + SLOT1_BOOT).c_str()); }, false},
        slot1_case{"main_missing",
                   [](const std::string &root) { unlink((root + SLOT1_MAIN).c_str()); }, false},
        slot1_case{"boot_is_directory",
                   [](const std::string &root) {
                       unlink((root + SLOT1_BOOT).c_str());
                       std::filesystem::create_directory(root + SLOT1_BOOT);
                   },
                   false},
        slot1_case{"main_mode_0044",
                   [](const std::string &root) {
                       using p = std::filesystem::perms;
                       chmod_main(root, p::group_read | p::others_read);
                   },
                   false},
        slot1_case{
            "main_mode_0400",
            [](const std::string &root) { chmod_main(root, std::filesystem::perms::owner_read); },
            true},
        slot1_case{"main_symlink_to_file",
                   [](const std::string &root) {
                       std::filesystem::rename(root + SLOT1_MAIN, root + "/sideload/u.bin");
                       std::filesystem::create_symlink(root + "/sideload/u.bin", root + SLOT1_MAIN);
                   },
                   true},
        slot1_case{"main_dangling_symlink",
                   [](const std::string &root) {
                       unlink((root + SLOT1_MAIN).c_str());
                       std::filesystem::create_symlink(root + "/nowhere", root + SLOT1_MAIN);
                   },
                   false},
        // Slot 0 failed after its erase began: slot 1 may be the only bootable firmware left.
        slot1_case{"slot0_write_fails",
                   [](const std::string &) {
                       sim::inject({sim::fault_kind::write_fails, 0, 9});
                   },
                   false, "write 9\n" LEFT_ALONE},
        slot1_case{"slot0_write_fails_slot1_not_staged",
                   [](const std::string &root) {
                       unlink((root + SLOT1_MAIN).c_str());
                       sim::inject({sim::fault_kind::write_fails, 0, 9});
                   },
                   false, "write 9\n"},
        // An erase request that failed may still have erased part of the block.
        slot1_case{"slot0_first_erase_fails",
                   [](const std::string &) {
                       sim::inject({sim::fault_kind::erase_fails, 0, 0});
                   },
                   false, "erase 0\n" LEFT_ALONE},
        // Failed before its first erase, slot 0 still holds its old firmware.
        slot1_case{"slot0_main_too_large",
                   [](const std::string &root) {
                       std::filesystem::resize_file(root + MAIN, 15 * MiB + 1);
                   },
                   true, "15728641 Bytes (121 blocks)\nFile too large!\n"}),
    case_name{});

// A second target starts from a fresh image: nothing of slot 0's files may reach slot 1.
TEST_F(Quarn, SecondTargetDoesNotInheritTheFirstImage) {
    stage_pair(MiB, 15 * MiB);
    std::vector<uint8_t> slot1 = expected_slot(stage(SLOT1_BOOT, 1, 3), stage(SLOT1_MAIN, 0, 4));
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(slot_equals(1, slot1));
    EXPECT_EQ(sim::dev(1).writes[0], 2u); // the rest of block 0, then its first 4 KiB
    for (uint32_t b = 1; b < BLOCK_COUNT; b++)
        EXPECT_EQ(sim::dev(1).writes[b], 0u) << "block " << b;
}

TEST_F(Quarn, FailedSlot0FailsTheRunEvenWhenSlot1Succeeds) {
    stage_pair(1000, 15 * MiB + 1);
    std::vector<uint8_t> slot1 =
        expected_slot(stage(SLOT1_BOOT, 4000, 5), stage(SLOT1_MAIN, 4000, 6));
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(sim::dev(0).ops.empty());
    EXPECT_TRUE(slot_equals(1, slot1));
    EXPECT_EQ(sim::status_history().back(), "Failed\n");
    EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
}

TEST_F(Quarn, FailedSlot1FailsTheRun) {
    stage_pair(1000, 1000);
    stage(SLOT1_BOOT, MiB + 1, 5);
    stage(SLOT1_MAIN, 100, 6);
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(r.out.ends_with("reading /sideload/slot1/fsbl.bin...\n"
                                "1048577 Bytes (9 blocks)\nFile too large!\n"));
    EXPECT_EQ(read_file("/var/quarn.status"), "Failed\n");
}

// The status file: every progress line, rounded as printed.
TEST_F(Quarn, StatusLinesOfEveryPhase) {
    stage_pair(200000, BLOCK_SIZE); // blocks 0, 1 and 8
    mode_t mask = umask(022);
    ASSERT_EQ(run({"quarn", "slot1"}).rc, 0);
    umask(mask);
    const std::vector<std::string> &h = sim::status_history();
    ASSERT_EQ(h.size(), 1u + 128 + 3 + 128 + 1);
    EXPECT_EQ(h.front(), "starting\n");
    EXPECT_EQ(h.back(), "Succeeded\n");
    EXPECT_FALSE(exists("/var/quarn.status.new"));
    // Other programs on the device read it; no other user may open the run lock.
    struct stat st;
    ASSERT_EQ(stat((root + "/var/quarn.status").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat((root + "/run/quarn.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // Every line is synced before its rename; /var only after those of "starting" and the
    // outcome.
    const std::vector<std::string> &e = sim::var_events();
    ASSERT_EQ(e.size(), 2 * h.size() + 2);
    EXPECT_EQ(std::vector<std::string>(e.begin(), e.begin() + 7),
              (std::vector<std::string>{"sync file", "rename starting\n", "sync dir", "sync file",
                                        "rename erasing   0.0 %\n", "sync file",
                                        "rename erasing   0.8 %\n"}));
    EXPECT_EQ(std::vector<std::string>(e.end() - 5, e.end()),
              (std::vector<std::string>{"sync file", "rename verifying  99.2 %\n", "sync file",
                                        "rename Succeeded\n", "sync dir"}));
    const struct {
        uint32_t block;
        const char *value;
    } rounding[] = {{0, "  0.0"},  {1, "  0.8"},   {8, "  6.2"},   {24, " 18.8"},
                    {40, " 31.2"}, {56, " 43.8"},  {64, " 50.0"},  {72, " 56.2"},
                    {88, " 68.8"}, {104, " 81.2"}, {120, " 93.8"}, {127, " 99.2"}};
    for (const auto &c : rounding) {
        EXPECT_EQ(h[1 + c.block], "erasing " + std::string(c.value) + " %\n") << c.block;
        EXPECT_EQ(h[1 + 128 + 3 + c.block], "verifying " + std::string(c.value) + " %\n");
    }
    EXPECT_EQ(h[129], "writing   0.0 %\n");
    EXPECT_EQ(h[130], "writing  33.3 %\n");
    EXPECT_EQ(h[131], "writing  66.7 %\n");
}

// /var that cannot take the status file, or something left or planted at its temporary path:
// the update runs as ever. A status file that cannot be replaced keeps its last complete line;
// whatever stands at the temporary path is replaced by a new file, never written through.
struct var_case {
    const char *name;
    void (*prepare)(const std::string &root);
    const char *status; // what /var/quarn.status holds afterwards
};

class StatusFile : public Quarn, public ::testing::WithParamInterface<var_case> {};

TEST_P(StatusFile, DoesNotChangeTheOutcome) {
    std::vector<uint8_t> slot = stage_pair(MiB, 2 * MiB);
    std::ofstream(root + "/var/quarn.status") << "Failed\n";
    std::ofstream(root + "/precious") << "precious data\n";
    GetParam().prepare(root);
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, target_output(BOOT, MiB, MAIN, 2 * MiB));
    EXPECT_TRUE(slot_equals(0, slot));
    bool reported = std::string(GetParam().status) == "Succeeded\n";
    EXPECT_EQ(sim::status_history().size(), reported ? 1u + 128 + 24 + 128 + 1 : 0u);
    EXPECT_EQ(read_file("/var/quarn.status"), GetParam().status);
    EXPECT_EQ(read_file("/precious"), "precious data\n");
    EXPECT_FALSE(exists("/nowhere"));
}

static void plant(const std::string &root, const char *link_target) {
    std::filesystem::create_symlink(link_target, root + "/var/quarn.status.new");
}

INSTANTIATE_TEST_SUITE_P(
    Run, StatusFile,
    ::testing::Values(
        var_case{"var_missing",
                 [](const std::string &root) { std::filesystem::remove_all(root + "/var"); }, ""},
        var_case{"var_read_only",
                 [](const std::string &) { sim::set_var(sim::var_state::read_only); }, "Failed\n"},
        // A full file system: the line cannot be stored, or only part of it.
        var_case{"var_full", [](const std::string &) { sim::set_var(sim::var_state::full); },
                 "Failed\n"},
        var_case{"var_short_write",
                 [](const std::string &) { sim::set_var(sim::var_state::short_write); },
                 "Failed\n"},
        var_case{"fifo_at_temporary_path",
                 [](const std::string &root) {
                     ASSERT_EQ(mkfifo((root + "/var/quarn.status.new").c_str(), 0644), 0);
                 },
                 "Succeeded\n"},
        var_case{"link_at_temporary_path",
                 [](const std::string &root) { plant(root, "../precious"); }, "Succeeded\n"},
        var_case{"dangling_link_at_temporary_path",
                 [](const std::string &root) { plant(root, "../nowhere"); }, "Succeeded\n"},
        // flock needs no write access: a lock file already there serves on a read-only /run.
        var_case{"run_read_only_with_lock_file",
                 [](const std::string &root) {
                     std::ofstream(root + "/run/quarn.lock").flush();
                     sim::set_run_read_only();
                 },
                 "Succeeded\n"}),
    case_name{});

// A run that cannot take the run lock touches nothing and says why, whatever /var is like:
// another run holds it, or /run cannot hold the lock file.
struct lock_case {
    const char *name;
    void (*prepare)(const std::string &root);
    bool held;          // another run holds the lock
    const char *error;  // standard error
    const char *status; // what /var/quarn.status holds afterwards
};

class RunLocked : public Quarn, public ::testing::WithParamInterface<lock_case> {};

TEST_P(RunLocked, RefusesAtOnceAndLeavesEverythingAlone) {
    const lock_case &c = GetParam();
    stage_pair(1000, 1000);
    std::ofstream(root + "/var/quarn.status") << "erasing  50.0 %\n";
    c.prepare(root);
    int lock = c.held ? sim::take_run_lock() : -1;
    ASSERT_EQ(lock >= 0, c.held);
    run_result r = run({"quarn", "slot0"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.error);
    EXPECT_TRUE(sim::var_events().empty());
    EXPECT_EQ(read_file("/var/quarn.status"), c.status);
    EXPECT_TRUE(sim::dev(0).ops.empty());
    EXPECT_FALSE(exists("/precious"));
    if (!c.held)
        return;
    // Released with its holder: the next run goes ahead.
    close(lock);
    sim::set_var(sim::var_state::writable);
    EXPECT_EQ(run({"quarn", "slot0"}).rc, 0);
}

static const char *const HELD = "another quarn run is in progress\n";

INSTANTIATE_TEST_SUITE_P(
    Run, RunLocked,
    ::testing::Values(
        lock_case{"var_writable", [](const std::string &) {}, true, HELD, "erasing  50.0 %\n"},
        lock_case{"var_missing",
                  [](const std::string &root) { std::filesystem::remove_all(root + "/var"); }, true,
                  HELD, ""},
        lock_case{"var_read_only",
                  [](const std::string &) { sim::set_var(sim::var_state::read_only); }, true, HELD,
                  "erasing  50.0 %\n"},
        lock_case{"run_missing",
                  [](const std::string &root) { std::filesystem::remove_all(root + "/run"); },
                  false, "cannot lock /run/quarn.lock: No such file or directory\n",
                  "erasing  50.0 %\n"},
        // Never through a link, which would otherwise create the file it points to.
        lock_case{"link_at_lock_path",
                  [](const std::string &root) {
                      std::filesystem::create_symlink("../precious", root + "/run/quarn.lock");
                  },
                  false, "cannot lock /run/quarn.lock: Too many levels of symbolic links\n",
                  "erasing  50.0 %\n"}),
    case_name{});

// Started with standard output and error closed where /dev/null cannot take their place: any
// file it opened would take number 1 or 2 and receive progress or error text, the lock file,
// the status file or the device. Nothing is opened, nothing written.
TEST_F(Quarn, ClosedOutputAndErrorWithoutDevNullEndTheRunAtOnce) {
    stage_pair(1000, 1000);
    std::vector<uint8_t> device = sim::contents(0);
    std::ofstream(root + "/var/quarn.status") << "Succeeded\n";
    sim::remove_dev_null();
    fflush(nullptr);
    int saved_out = dup(1), saved_err = dup(2);
    close(1);
    close(2);
    char name[] = "quarn", slot[] = "slot0";
    char *argv[] = {name, slot, nullptr};
    int rc = run_update(2, argv);
    bool still_closed = fcntl(1, F_GETFD) < 0 && fcntl(2, F_GETFD) < 0;
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(still_closed);
    EXPECT_FALSE(exists("/run/quarn.lock"));
    EXPECT_TRUE(sim::var_events().empty());
    EXPECT_EQ(read_file("/var/quarn.status"), "Succeeded\n");
    EXPECT_EQ(sim::dev(0).fd, -1);
    EXPECT_TRUE(slot_equals(0, device));
}

// A vanished reader of standard output or a hangup never stops a run midway; an interrupt or
// a terminate signal still does. Each case runs in a child process with the signals' default
// actions, slot 0 and slot 1 staged, the signal raised while slot 1 is half erased.
struct signal_case {
    const char *name;
    int signal_number; // raised before erasing block 64 of /dev/mtd1; 0 for none
    bool reader_gone;  // standard output is a pipe whose read end is closed
    int killed_by;     // the signal that ends the child, or 0 when it exits
    const char *status;
};

class Signals : public Quarn, public ::testing::WithParamInterface<signal_case> {};

TEST_P(Signals, OnlyDeliberateStopsEndTheRun) {
    const signal_case &c = GetParam();
    std::vector<uint8_t> slot0 = stage_pair(MiB, 15 * MiB);
    std::vector<uint8_t> slot1 =
        expected_slot(stage(SLOT1_BOOT, MiB, 5), stage(SLOT1_MAIN, 15 * MiB, 6));
    if (c.signal_number != 0)
        sim::inject({.kind = sim::fault_kind::signal,
                     .device = 1,
                     .block = 64,
                     .signal_number = c.signal_number});
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int s : {SIGPIPE, SIGHUP, SIGINT, SIGTERM})
            signal(s, SIG_DFL);
        int out[2];
        if (c.reader_gone && pipe(out) == 0) {
            close(out[0]);
            dup2(out[1], 1);
            close(out[1]);
        } else {
            freopen("/dev/null", "w", stdout);
        }
        char name[] = "quarn", slot[] = "slot0";
        char *argv[] = {name, slot, nullptr};
        int rc = run_update(2, argv);
        fflush(stdout); // as exit() flushes it
        _exit(rc & 0xFF);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (c.killed_by != 0) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.killed_by) << status;
    } else {
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(slot_equals(1, slot1));
    }
    EXPECT_TRUE(slot_equals(0, slot0));
    EXPECT_EQ(read_file("/var/quarn.status"), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Run, Signals,
    ::testing::Values(signal_case{"stdout_reader_gone", 0, true, 0, "Succeeded\n"},
                      signal_case{"hangup", SIGHUP, false, 0, "Succeeded\n"},
                      signal_case{"hangup_and_reader_gone", SIGHUP, true, 0, "Succeeded\n"},
                      signal_case{"interrupt", SIGINT, false, SIGINT, "erasing  50.0 %\n"},
                      signal_case{"terminate", SIGTERM, false, SIGTERM, "erasing  50.0 %\n"}),
    case_name{});
