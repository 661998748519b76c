// The update run: its argument, one run at a time, the targets in turn and the outcome.
#include "run/run.h"

#include "flash/flash.h"
#include "image/image.h"
#include "status/status.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *const target_table[2] = {"/dev/mtd0", "/dev/mtd1"};

// Only the owner-read bit is looked at: whether the file can really be read is found out
// when it is staged.
static bool is_staged(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    return (st.st_mode & S_IFMT) == S_IFREG && (st.st_mode & S_IRUSR) != 0;
}

const char *next_target() {
    if (ctx.target != target_table[0])
        return nullptr;
    boot_image_path = "/sideload/slot1/fsbl.bin";
    main_image_path = "/sideload/slot1/user.bin";
    if (!is_staged(boot_image_path) || !is_staged(main_image_path))
        return nullptr;
    return target_table[1];
}

static int32_t program_target(const char *device) {
    int32_t rc = reset_target(device);
    if (rc == 0)
        rc = stage_images();
    if (rc == 0)
        rc = open_flash();
    if (rc == 0)
        rc = erase_flash();
    if (rc == 0)
        rc = write_flash();
    if (rc == 0)
        rc = verify_flash();
    close_flash();
    return rc;
}

static const char *select_target(int argc, char **argv) {
    if (argc != 2)
        return nullptr;
    if (strcmp(argv[1], "slot0") == 0)
        return target_table[0];
    if (strcmp(argv[1], "slot1") == 0)
        return target_table[1];
    return nullptr;
}

// Started with standard input, output or error closed, the next file opened would take
// that number: the MTD device opened as descriptor 2 would get error reports written
// into the flash. Each closed one is taken by /dev/null first.
static void hold_standard_descriptors() {
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0)
            return;
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
}

// A logger that dies with the read end of standard output, or a dropped SSH or serial session,
// must not kill the run midway with slot 1 half erased: writes to standard output then just
// fail, and their errors are ignored. SIGINT and SIGTERM stay deliberate stops.
static void ignore_hangups() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
}

// Only root can create a file in /run, and the file is created readable by its owner alone, so
// no other user can open it, let alone lock it. It is never removed, so that two runs can never
// lock two different files at that path.
static const char RUN_LOCK_PATH[] = "/run/quarn.lock";

// One run at a time, system-wide: two runs would erase and write the same device interleaved
// and both write the status file. flock needs no write access, so a lock file that already
// exists on a read-only /run still serves; the kernel releases the lock however the process
// ends. Where /run cannot hold the file, the run fails closed. Returns the descriptor that holds
// the lock, or -1.
static int lock_run() {
    int fd = open(RUN_LOCK_PATH, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        report_error("cannot lock /run/quarn.lock");
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            fputs("another quarn run is in progress\n", stderr);
        else
            report_error("cannot lock /run/quarn.lock");
        close(fd);
        return -1;
    }
    return fd;
}

static int update(int argc, char **argv) {
    // On storage before the first erase: after a power cut the status file must not still say
    // how the previous run ended while the slot is half erased.
    report_milestone("starting\n");
    const char *device = select_target(argc, argv);
    if (device == nullptr) {
        // execve() may pass no arguments at all, not even the program name.
        printf("usage: %s slot0|slot1\n", argc > 0 && argv[0] != nullptr ? argv[0] : "quarn");
        report_milestone("Failed\n");
        return -1;
    }
    // Slot 1 is still programmed after slot 0 failed, but the run only succeeds when
    // every target did: a failed slot 0 may now be erased or half written.
    int32_t result = 0;
    for (; device != nullptr; device = next_target()) {
        if (program_target(device) != 0)
            result = -1;
    }
    if (result != 0) {
        report_milestone("Failed\n");
        return -1;
    }
    report_milestone("Succeeded\n");
    return 0;
}

// The lock is taken once the standard descriptors are held, so it can never take one of their
// numbers, and before anything is written; a refused run writes nothing at all.
int run_update(int argc, char **argv) {
    hold_standard_descriptors();
    ignore_hangups();
    int lock = lock_run();
    if (lock < 0)
        return -1;
    int result = update(argc, argv);
    close(lock);
    return result;
}
