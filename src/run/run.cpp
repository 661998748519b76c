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

// 1 when the file is staged, 0 when it is not there, -1 (reported) when that cannot be told: a
// failing card or a file system gone read-only after errors must not pass for "not staged", or
// a slot 1 the user staged would be left alone in a run that succeeds. Only the owner-read bit
// is looked at: whether the file can really be read is found out when it is staged.
static int32_t is_staged(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return 0;
        report_error(path);
        return -1;
    }
    return (st.st_mode & S_IFMT) == S_IFREG && (st.st_mode & S_IRUSR) != 0 ? 1 : 0;
}

int32_t next_target(const char **device) {
    *device = nullptr;
    if (ctx.target != target_table[0])
        return 0;
    boot_image_path = "/sideload/slot1/fsbl.bin";
    main_image_path = "/sideload/slot1/user.bin";
    int32_t staged = is_staged(boot_image_path);
    if (staged > 0)
        staged = is_staged(main_image_path);
    if (staged < 0)
        return -1;
    if (staged > 0)
        *device = target_table[1];
    return 0;
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

// Started with standard input, output or error closed, the next file opened would take that
// number: the MTD device opened as descriptor 2 would get error reports written into the flash.
// Each closed one is taken by /dev/null first, lowest first, so that each open takes the number
// just found closed. Where /dev/null cannot be opened (an initramfs without devtmpfs) the run
// must not open anything at all, not even the run lock or the status file: -1.
static int32_t hold_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null = open("/dev/null", O_RDWR);
        if (null == fd)
            continue;
        if (null >= 0)
            close(null);
        return -1;
    }
    return 0;
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
    // Slot 1 follows a slot 0 that failed only while slot 0 still holds its old firmware, before
    // its first erase request. Once that went out slot 0 may hold no boot image, and slot 1 is
    // the device's only bootable firmware: erasing it too could leave neither slot bootable,
    // for a run that fails whatever slot 1 does.
    int32_t result = 0;
    while (device != nullptr) {
        bool failed = program_target(device) != 0;
        if (failed)
            result = -1;
        if (next_target(&device) != 0)
            result = -1;
        if (device != nullptr && failed && ctx.erase_sent) {
            puts("slot 1 left alone: slot 0 failed after its erase began");
            device = nullptr;
        }
    }
    if (result != 0) {
        report_milestone("Failed\n");
        return -1;
    }
    report_milestone("Succeeded\n");
    return 0;
}

// The lock is taken once the standard descriptors are held, so it can never take one of their
// numbers, and before anything is written; a refused run writes nothing at all, and neither does
// one whose standard descriptors cannot be held.
int run_update(int argc, char **argv) {
    if (hold_standard_descriptors() != 0)
        return -1;
    ignore_hangups();
    int lock = lock_run();
    if (lock < 0)
        return -1;
    int result = update(argc, argv);
    close(lock);
    return result;
}
