// Every call of a run failed in turn. A slot0 run with a slot 1 pair staged numbers the calls the
// program makes to the outside world; then, for each call and each way it can fail, the run is
// repeated in a fresh sandbox with that one call failing, and held to invariants that need no
// model of the output. The calls on the status file are sampled; every other call is failed.
#include "harness.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <unistd.h>

namespace {

using sim::call_fault;

// Each status line takes five calls (open, write, sync, close, rename), "starting" and the outcome
// three more for /var; a stride prime to both reaches each kind of call in every phase.
constexpr size_t STATUS_STRIDE = 17;
// The calls of "starting" and of the outcome, which are all failed.
constexpr size_t MILESTONE_CALLS = 8;

std::string fault_text(const sim::call &c, call_fault how) {
    static const char *const texts[] = {"", "a short count", "a success that did nothing",
                                        "one changed byte"};
    if (how != call_fault::error)
        return texts[static_cast<int>(how)];
    return std::string("an error (") + strerror(sim::error_of(c.name.substr(0, c.name.find(' ')))) +
           ")";
}

bool under(const std::string &path, const std::string &dir) {
    return path == dir || path.starts_with(dir + "/");
}

// An error for every call; a short count for every read and write but the device's reads, whose
// short count takes the error's way, and where a success can lie, the lie.
std::vector<call_fault> faults_of(const sim::call &c) {
    std::vector<call_fault> faults = {call_fault::error};
    bool device = c.target.starts_with("/dev/mtd");
    if (c.name == "read" && device)
        faults.push_back(call_fault::changed_byte);
    else if (c.name == "read" || c.name == "write")
        faults.push_back(call_fault::short_count);
    if ((c.name == "write" && device) || c.name == "ioctl MEMERASE")
        faults.push_back(call_fault::no_effect);
    return faults;
}

// A run that never ends cannot be judged after it: the case is named from the alarm.
char current_case[512];

void run_did_not_end(int) {
    static const char text[] = ": the run did not end within 60 s\n";
    (void)!write(STDERR_FILENO, current_case, strlen(current_case));
    (void)!write(STDERR_FILENO, text, sizeof text - 1);
    _exit(1);
}

// Lines that report a failed target on standard output rather than standard error.
bool says_why(const run_result &r) {
    static const char *const failures[] = {"File too large!", "File changed while being read!",
                                           "read failed: ", "verify error in block "};
    if (!r.err.empty())
        return true;
    for (const char *line : failures)
        if (r.out.starts_with(line) || r.out.find(std::string("\n") + line) != std::string::npos)
            return true;
    return false;
}

// The staged files: a boot image of two blocks and a main image of three, and a small slot 1 pair.
const struct {
    const char *path;
    size_t size;
} STAGED[] = {{BOOT, 200000}, {MAIN, 3 * BLOCK_SIZE - 5}, {SLOT1_BOOT, 5000}, {SLOT1_MAIN, 9000}};

class Sweep : public Quarn {
  protected:
    // Each run writes hundreds of status files: in memory, not on the test machine's disk.
    const char *sandbox_parent() const override {
        return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    }

    // A fresh sandbox: both pairs staged, the devices holding old firmware, and the status file
    // an earlier run left, which a failed run must not leave behind over a device it changed.
    void prepare() {
        TearDown();
        SetUp();
        for (const auto &file : STAGED)
            std::ofstream(root + file.path, std::ios::binary)
                .write(reinterpret_cast<const char *>(files[&file - STAGED].data()),
                       static_cast<std::streamsize>(file.size));
        std::ofstream(root + "/var/quarn.status") << "Succeeded\n";
    }

    std::vector<uint8_t> files[4];
};

} // namespace

TEST_F(Sweep, EveryCallOfARunFailedInTurn) {
    for (size_t i = 0; i < std::size(STAGED); i++)
        files[i] = file_bytes(STAGED[i].size, static_cast<unsigned>(i + 1));
    const std::vector<uint8_t> slots[2] = {expected_slot(files[0], files[1]),
                                           expected_slot(files[2], files[3])};
    prepare();
    const std::vector<uint8_t> before[2] = {sim::contents(0), sim::contents(1)};
    const run_result base = run({"quarn", "slot0"});
    ASSERT_EQ(base.rc, 0) << base.err;
    ASSERT_TRUE(slot_equals(0, slots[0]));
    ASSERT_TRUE(slot_equals(1, slots[1]));
    const std::vector<sim::call> calls = sim::calls();
    std::set<std::string> lines(sim::status_history().begin(), sim::status_history().end());
    lines.insert("Failed\n");

    // Each device's part of the run: from its first call to its first erase.
    size_t begins[2] = {0, calls.size()}, first_erase[2] = {calls.size(), calls.size()};
    size_t status_calls = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        const sim::call &c = calls[i];
        if (under(c.target, "/sideload/slot1"))
            begins[1] = std::min(begins[1], i);
        for (int n = 0; n < 2; n++)
            if (c.name == "ioctl MEMERASE" && c.target == "/dev/mtd" + std::to_string(n))
                first_erase[n] = std::min(first_erase[n], i);
        status_calls += under(c.target, "/var");
    }
    ASSERT_LT(first_erase[1], calls.size());

    struct sweep_case {
        size_t call;
        call_fault how;
    };
    std::vector<sweep_case> cases;
    for (size_t i = 0, status_call = 0; i < calls.size(); i++) {
        if (under(calls[i].target, "/var")) {
            size_t k = status_call++;
            bool milestone = k < MILESTONE_CALLS || k >= status_calls - MILESTONE_CALLS;
            if (!milestone && k % STATUS_STRIDE != 0)
                continue;
        }
        for (call_fault how : faults_of(calls[i]))
            cases.push_back({i, how});
    }
    printf("sweep: %zu calls, %zu of them on the status file; %zu runs\n", calls.size(),
           status_calls, cases.size());

    signal(SIGALRM, run_did_not_end);
    size_t violations = 0;
    for (const sweep_case &c : cases) {
        const sim::call &call = calls[c.call];
        snprintf(current_case, sizeof current_case, "call %zu (%s %s), %s", c.call,
                 call.name.c_str(), call.target.c_str(), fault_text(call, c.how).c_str());
        SCOPED_TRACE(current_case);
        prepare();
        sim::fail_call(c.call, c.how);
        alarm(60);
        const run_result r = run({"quarn", "slot0"});
        alarm(0);

        std::vector<std::string> broken;
        bool exact[2], unchanged[2];
        for (int n = 0; n < 2; n++) {
            exact[n] = memcmp(sim::flash(n), slots[n].data(), IMAGE_SIZE) == 0;
            unchanged[n] = memcmp(sim::flash(n), before[n].data(), IMAGE_SIZE) == 0;
        }
        const std::string status = read_file("/var/quarn.status");
        if (r.rc == 0 && !(exact[0] && exact[1]))
            broken.push_back("exit 0 without both slots holding their staged images");
        if (r.rc != 0 && status == "Succeeded\n" && !(unchanged[0] && unchanged[1]))
            broken.push_back("a failed run left \"Succeeded\" over a device it changed");
        for (const std::string &line : sim::status_history())
            if (lines.count(line) == 0)
                broken.push_back("the status file was given \"" + line + "\"");
        if (lines.count(status) == 0)
            broken.push_back("the status file holds \"" + status + "\"");
        if (r.rc != 0 && !says_why(r))
            broken.push_back("the run failed without saying why");
        if (under(call.target, "/var") && (r.rc != 0 || r.out != base.out || r.err != base.err))
            broken.push_back("a fault in writing the status file changed the outcome");
        for (int n = 0; n < 2; n++)
            if (c.call >= begins[n] && c.call < first_erase[n] && !unchanged[n] && !exact[n])
                broken.push_back("/dev/mtd" + std::to_string(n) +
                                 " changed by a fault before its first erase");
        // Slot 0 may hold no boot image once its erase began: slot 1 is then all that boots.
        bool mtd1_touched = false;
        for (const sim::call &made : sim::calls())
            mtd1_touched = mtd1_touched || made.target == "/dev/mtd1";
        if (c.call >= first_erase[0] && c.call < begins[1] && !exact[0] && mtd1_touched)
            broken.push_back("/dev/mtd1 touched after slot 0 failed past its first erase");
        for (const std::string &b : broken)
            ADD_FAILURE() << current_case << ": " << b << "\nexit " << r.rc << ", stderr: " << r.err
                          << "stdout ends: " << tail(r.out, 120);
        if (!broken.empty() && ++violations == 20) {
            ADD_FAILURE() << "stopped after 20 runs that broke an invariant";
            break;
        }
    }
    signal(SIGALRM, SIG_DFL);
}
