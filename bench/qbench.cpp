// Helper of the benchmark VM, linked statically so that it needs nothing from the guest.
//
//   qbench time LOG CMD [ARG...] [:: CMD [ARG...]]...
//       Runs the commands one after the other, their standard output and error appended to
//       LOG, and prints "NANOSECONDS STATUS": the monotonic time from the first start to the
//       last exit, and the exit status of the last command run (the first that failed, if
//       one did; later commands are then not started).
//   qbench pattern FILE BYTES SEED
//       Writes BYTES bytes of pseudo-random data to FILE, the same for the same SEED; SEED 0
//       writes erased flash (0xFF) instead.
//
// busybox's date has no sub-second field and /proc/uptime counts in 10 ms, too coarse for
// runs of a few milliseconds on the zero-latency device.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Returns the command's exit status, or 127 when it could not be started.
static int run_one(char **argv, int log_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, log_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, log_fd, 2);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        fprintf(stderr, "qbench: cannot start %s: %s\n", argv[0], strerror(rc));
        return 127;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

static int time_commands(int argc, char **argv) {
    int log_fd = open(argv[0], O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log_fd < 0) {
        perror(argv[0]);
        return 2;
    }
    int64_t start = now_ns();
    int status = 0;
    int first = 1;
    while (first < argc && status == 0) {
        int last = first;
        while (last < argc && strcmp(argv[last], "::") != 0)
            last++;
        argv[last] = nullptr; // argv[argc] is already null
        status = run_one(argv + first, log_fd);
        first = last + 1;
    }
    int64_t elapsed = now_ns() - start;
    close(log_fd);
    printf("%lld %d\n", static_cast<long long>(elapsed), status);
    return 0;
}

static int write_pattern(const char *path, uint64_t bytes, uint64_t seed) {
    FILE *out = fopen(path, "wb");
    if (out == nullptr) {
        perror(path);
        return 2;
    }
    static uint64_t chunk[8192];
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (bytes > 0) {
        for (uint64_t &word : chunk) {
            if (seed == 0) {
                word = ~uint64_t{0};
                continue;
            }
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        size_t len = bytes < sizeof chunk ? static_cast<size_t>(bytes) : sizeof chunk;
        if (fwrite(chunk, 1, len, out) != len) {
            perror(path);
            fclose(out);
            return 2;
        }
        bytes -= len;
    }
    if (fclose(out) != 0) {
        perror(path);
        return 2;
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc >= 4 && strcmp(argv[1], "time") == 0)
        return time_commands(argc - 2, argv + 2);
    if (argc == 5 && strcmp(argv[1], "pattern") == 0)
        return write_pattern(argv[2], strtoull(argv[3], nullptr, 0), strtoull(argv[4], nullptr, 0));
    fprintf(stderr, "usage: qbench time LOG CMD [ARG...] [:: CMD [ARG...]]...\n"
                    "       qbench pattern FILE BYTES SEED\n");
    return 2;
}
