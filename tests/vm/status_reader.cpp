// Reads a status file in a tight loop, as another program on the device would, until it gets
// SIGTERM or SIGINT. Every read opens the file, reads it whole and closes it again. The file's
// content is recorded each time it differs from the previous read, so that the log shows every
// distinct state seen, in order, with how many reads saw it.
//
// usage: status_reader STATUS_FILE LOG_FILE
// The log's first line is "reads N"; each following line is "COUNT HEX" for one state: how many
// consecutive reads returned it and its bytes in hexadecimal. A failed open or read is recorded
// as the state "!" followed by the error number.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t MAX_CONTENT = 128;
constexpr size_t MAX_STATES = 8192;

struct state {
    uint64_t reads;
    size_t length;
    char content[MAX_CONTENT];
};

state states[MAX_STATES];
size_t state_count = 0;
bool states_overflowed = false;
volatile sig_atomic_t stop = 0;

void on_signal(int) { stop = 1; }

// Longer content than MAX_CONTENT is kept cut but with its real length, which alone marks it
// as wrong.
size_t read_whole(const char *path, char *buffer) {
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return static_cast<size_t>(snprintf(buffer, MAX_CONTENT, "!open %d", errno));
    size_t length = 0;
    char scratch[MAX_CONTENT];
    for (;;) {
        char *into = length < MAX_CONTENT ? buffer + length : scratch;
        size_t room = length < MAX_CONTENT ? MAX_CONTENT - length : sizeof scratch;
        ssize_t got = read(fd, into, room);
        if (got < 0) {
            length = static_cast<size_t>(snprintf(buffer, MAX_CONTENT, "!read %d", errno));
            break;
        }
        if (got == 0)
            break;
        length += static_cast<size_t>(got);
    }
    close(fd);
    return length;
}

void record(const char *content, size_t length) {
    if (state_count > 0) {
        state &last = states[state_count - 1];
        size_t kept = length < MAX_CONTENT ? length : MAX_CONTENT;
        if (last.length == length && memcmp(last.content, content, kept) == 0) {
            last.reads++;
            return;
        }
    }
    if (state_count == MAX_STATES) {
        states_overflowed = true;
        return;
    }
    state &next = states[state_count++];
    next.reads = 1;
    next.length = length;
    memcpy(next.content, content, length < MAX_CONTENT ? length : MAX_CONTENT);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s STATUS_FILE LOG_FILE\n", argc > 0 ? argv[0] : "status_reader");
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    FILE *log = fopen(argv[2], "w");
    if (log == nullptr) {
        perror(argv[2]);
        return 1;
    }

    uint64_t reads = 0;
    char buffer[MAX_CONTENT];
    while (!stop) {
        size_t length = read_whole(argv[1], buffer);
        record(buffer, length);
        reads++;
    }

    fprintf(log, "reads %llu\n", static_cast<unsigned long long>(reads));
    for (size_t i = 0; i < state_count; i++) {
        fprintf(log, "%llu ", static_cast<unsigned long long>(states[i].reads));
        size_t kept = states[i].length < MAX_CONTENT ? states[i].length : MAX_CONTENT;
        for (size_t j = 0; j < kept; j++)
            fprintf(log, "%02x", static_cast<unsigned char>(states[i].content[j]));
        if (kept < states[i].length)
            fprintf(log, "... (%zu bytes)", states[i].length);
        fputc('\n', log);
    }
    if (states_overflowed)
        fputs("overflow\n", log);
    return fclose(log) == 0 ? 0 : 1;
}
