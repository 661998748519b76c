#include "sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <linux/major.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

extern "C" {
int __real_open64(const char *path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t len);
ssize_t __real_write(int fd, const void *buf, size_t len);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_stat64(const char *path, struct stat64 *st);
int __real_rename(const char *from, const char *to);
int __real_unlink(const char *path);
int __real_fstat64(int fd, struct stat64 *st);
int __real_flock(int fd, int operation);
DIR *__real_opendir(const char *path);
}

namespace sim {
namespace {

struct open_device {
    int fd = -1;
    int device = 0;
    uint64_t position = 0;
};

std::string sandbox_root;
device devices[2];
std::vector<fault> faults;
std::vector<std::string> history;
std::vector<std::string> events;
open_device handles[4];
var_state var = var_state::writable;
bool run_read_only = false;
bool dev_null_missing = false;
// The path the program opened each of its other descriptors by.
std::string fd_paths[1024];
std::string changed_path;
void (*change_hook)(const std::string &file) = nullptr;

// The 128 KiB blocks of each device's flash written since the last reset.
bool touched[2][STORAGE_SIZE / BLOCK_SIZE];
bool numbering = false;
std::vector<call> call_log;
size_t failing_call = SIZE_MAX;
call_fault failing_how = call_fault::error;

std::string &path_of(int fd) {
    static std::string none;
    return fd >= 0 && static_cast<size_t>(fd) < std::size(fd_paths) ? fd_paths[fd] : none;
}

const fault *fault_at(fault_kind kind, int device, uint64_t offset) {
    for (const fault &f : faults)
        if (f.kind == kind && f.device == device &&
            (f.block == EVERY_BLOCK || offset / BLOCK_SIZE == f.block))
            return &f;
    return nullptr;
}

int device_of_path(const char *path) {
    for (int n = 0; n < 2; n++) {
        char name[16];
        snprintf(name, sizeof name, "/dev/mtd%d", n);
        if (strcmp(path, name) == 0)
            return n;
    }
    return -1;
}

open_device *handle_of(int fd) {
    for (auto &h : handles)
        if (h.fd >= 0 && h.fd == fd)
            return &h;
    return nullptr;
}

// path is dir itself or lies under it.
bool under(const char *path, const char *dir) {
    size_t len = strlen(dir);
    return strncmp(path, dir, len) == 0 && (path[len] == '\0' || path[len] == '/');
}

bool is_var(const char *path) { return under(path, "/var"); }

// Where a file system is read-only, the kernel refuses anything that would change it.
bool read_only(const char *path) {
    return (var == var_state::read_only && is_var(path)) || (run_read_only && under(path, "/run"));
}

// Where a descriptor of the program's points to: "dir" for /var, "file" for a file in it, else
// empty.
std::string var_kind(int fd) {
    const std::string &path = path_of(fd);
    if (!is_var(path.c_str()))
        return "";
    return path == "/var" ? "dir" : "file";
}

void record_sync(int fd) {
    std::string kind = var_kind(fd);
    if (!kind.empty())
        events.push_back("sync " + kind);
}

std::string mapped(const char *path) {
    if (under(path, "/sideload") || is_var(path) || under(path, "/run") ||
        under(path, "/proc/sys/kernel/random"))
        return sandbox_root + path;
    return path;
}

uint64_t flash_size(const device &d) { return std::min<uint64_t>(d.size, STORAGE_SIZE); }

// The erase block at offset is one of blocks.
bool listed(const std::vector<uint32_t> &blocks, const device &d, uint64_t offset) {
    return std::count(blocks.begin(), blocks.end(), offset / d.info.erasesize) != 0;
}

std::string op_text(const char *what, uint64_t offset, size_t len) {
    return std::string(what) + " " + std::to_string(offset) + "+" + std::to_string(len);
}

std::string target_of(int fd) {
    for (const auto &h : handles)
        if (h.fd >= 0 && h.fd == fd)
            return "/dev/mtd" + std::to_string(h.device);
    return path_of(fd);
}

// Numbers a call of the program on a path, or else on a descriptor; the fault it must suffer
// when it is the failing one.
const call_fault *numbered(std::string name, const char *path, int fd = -1) {
    if (!numbering)
        return nullptr;
    call_log.push_back({std::move(name), path != nullptr ? path : target_of(fd)});
    return call_log.size() - 1 == failing_call ? &failing_how : nullptr;
}

const call_fault *numbered(std::string name, int fd) {
    return numbered(std::move(name), nullptr, fd);
}

bool is(const call_fault *f, call_fault how) { return f != nullptr && *f == how; }

int fail(const char *name) {
    errno = error_of(name);
    return -1;
}

std::string request_name(unsigned long request) {
    static const std::pair<unsigned long, const char *> names[] = {
        {MEMGETINFO, "MEMGETINFO"},         {MEMERASE, "MEMERASE"},
        {MEMGETBADBLOCK, "MEMGETBADBLOCK"}, {MEMSETBADBLOCK, "MEMSETBADBLOCK"},
        {MEMISLOCKED, "MEMISLOCKED"},       {ECCGETSTATS, "ECCGETSTATS"}};
    for (const auto &[code, name] : names)
        if (code == request)
            return name;
    return std::to_string(request);
}

} // namespace

void begin_run() {
    call_log.clear();
    numbering = true;
}
void end_run() {
    numbering = false;
    failing_call = SIZE_MAX;
}
const std::vector<call> &calls() { return call_log; }
int error_of(const std::string &name) {
    if (name == "open64" || name == "opendir")
        return EACCES;
    if (name == "lseek64")
        return EINVAL;
    return name == "flock" ? ENOLCK : EIO;
}
void fail_call(size_t n, call_fault how) {
    failing_call = n;
    failing_how = how;
}

void reset(const std::string &root) {
    sandbox_root = root;
    faults.clear();
    var = var_state::writable;
    run_read_only = false;
    dev_null_missing = false;
    change_hook = nullptr;
    history.clear();
    events.clear();
    for (int n = 0; n < 2; n++) {
        device &d = devices[n];
        d.present = true;
        d.rdev = makedev(MTD_CHAR_MAJOR, 2 * static_cast<unsigned>(n));
        d.info = mtd_info_user{};
        d.info.type = MTD_NORFLASH;
        d.info.flags = MTD_CAP_NORFLASH;
        d.size = IMAGE_SIZE;
        d.info.erasesize = BLOCK_SIZE;
        d.info.writesize = 1;
        d.info_fails = false;
        d.bad_blocks.clear();
        d.bad_block_query_fails = false;
        d.mark_fails = false;
        d.bad_block_queries.clear();
        d.locked.clear();
        d.lock_error = 0;
        d.lock_queries = 0;
        d.ecc = {};
        static uint8_t block[BLOCK_SIZE];
        for (size_t i = 0; i < BLOCK_SIZE; i++)
            block[i] = static_cast<uint8_t>((i * 7 + 3 + static_cast<size_t>(n)) & 0x7F);
        if (d.storage < 0) {
            d.storage = memfd_create("flash", MFD_CLOEXEC);
            std::fill_n(touched[n], std::size(touched[n]), true);
        }
        // Only what the last run wrote: a thousand runs of the sweep would otherwise spend their
        // time here.
        for (uint32_t b = 0; b < std::size(touched[n]); b++)
            if (std::exchange(touched[n][b], false))
                pwrite(d.storage, block, BLOCK_SIZE, off_t{b} * BLOCK_SIZE);
        d.erases.assign(STORAGE_SIZE / 4096, 0);
        d.writes.assign(STORAGE_SIZE / BLOCK_SIZE, 0);
        d.ops.clear();
        d.open_flags = -1;
        d.fd = -1;
    }
}

device &dev(int n) { return devices[n]; }

std::vector<uint8_t> contents(int n) {
    std::vector<uint8_t> bytes(static_cast<size_t>(flash_size(devices[n])));
    pread(devices[n].storage, bytes.data(), bytes.size(), 0);
    return bytes;
}

const uint8_t *flash(int n) {
    static void *views[2];
    if (views[n] == nullptr)
        views[n] = mmap(nullptr, STORAGE_SIZE, PROT_READ, MAP_SHARED, devices[n].storage, 0);
    return static_cast<const uint8_t *>(views[n]);
}
void set_var(var_state state) { var = state; }
const std::vector<std::string> &var_events() { return events; }
void inject(const fault &f) { faults.push_back(f); }
const std::vector<std::string> &status_history() { return history; }
void set_run_read_only() { run_read_only = true; }
void change_after_first_read(const char *path, void (*change)(const std::string &file)) {
    changed_path = path;
    change_hook = change;
}
void remove_dev_null() { dev_null_missing = true; }
int take_run_lock() {
    int fd = open((sandbox_root + "/run/quarn.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    // Shared: a run's lock conflicts with it only if the run's is exclusive, as it must be.
    if (fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int open_devices() {
    int count = 0;
    for (auto &h : handles)
        count += h.fd >= 0;
    return count;
}

} // namespace sim

using namespace sim;

extern "C" {

int __wrap_open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, unsigned));
        va_end(args);
    }
    if (numbered("open64", path) != nullptr)
        return fail("open64");
    int n = device_of_path(path);
    // An existing file opens read-only there, O_CREAT or not.
    if (n < 0 && read_only(path) &&
        ((flags & O_ACCMODE) != O_RDONLY ||
         ((flags & O_CREAT) != 0 && access(mapped(path).c_str(), F_OK) != 0))) {
        errno = EROFS;
        return -1;
    }
    if (n < 0 && dev_null_missing && strcmp(path, "/dev/null") == 0) {
        errno = ENOENT;
        return -1;
    }
    if (n < 0) {
        int fd = __real_open64(mapped(path).c_str(), flags, mode);
        path_of(fd) = path;
        return fd;
    }
    if (!devices[n].present) {
        errno = ENOENT;
        return -1;
    }
    for (auto &h : handles) {
        if (h.fd >= 0)
            continue;
        // A real descriptor keeps the number unique among the process's others.
        h.fd = __real_open64("/dev/null", O_RDWR);
        h.device = n;
        h.position = 0;
        devices[n].open_flags = flags;
        devices[n].fd = h.fd;
        return h.fd;
    }
    errno = EMFILE;
    return -1;
}

// Linux releases the descriptor whatever close reports.
int __wrap_close(int fd) {
    const call_fault *f = numbered("close", fd);
    if (open_device *h = handle_of(fd))
        h->fd = -1;
    path_of(fd).clear();
    int rc = __real_close(fd);
    return f != nullptr ? fail("close") : rc;
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    if (numbered("lseek64", fd) != nullptr)
        return fail("lseek64");
    open_device *h = handle_of(fd);
    if (h == nullptr)
        return __real_lseek64(fd, offset, whence);
    if (whence == SEEK_END) {
        h->position = devices[h->device].size;
        return static_cast<off64_t>(h->position);
    }
    if (whence != SEEK_SET || offset < 0 ||
        static_cast<uint64_t>(offset) > flash_size(devices[h->device]) ||
        fault_at(fault_kind::seek_fails, h->device, static_cast<uint64_t>(offset)) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    h->position = static_cast<uint64_t>(offset);
    return offset;
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    const call_fault *f = numbering ? numbered("ioctl " + request_name(request), fd) : nullptr;
    if (is(f, call_fault::error))
        return fail("ioctl");
    open_device *h = handle_of(fd);
    if (h == nullptr)
        return __real_ioctl(fd, request, arg);
    device &d = devices[h->device];
    if (request == MEMGETINFO) {
        if (d.info_fails) {
            errno = ENOTTY;
            return -1;
        }
        *static_cast<mtd_info_user *>(arg) = d.info;
        static_cast<mtd_info_user *>(arg)->size = static_cast<uint32_t>(d.size);
        return 0;
    }
    if (request == ECCGETSTATS) {
        d.ops.push_back("ecc stats");
        *static_cast<mtd_ecc_stats *>(arg) = d.ecc;
        return 0;
    }
    if (request == MEMGETBADBLOCK) {
        auto offset = static_cast<uint64_t>(*static_cast<__kernel_loff_t *>(arg));
        d.bad_block_queries.push_back(offset);
        if (d.info.erasesize == 0 || offset >= d.size || offset % d.info.erasesize != 0) {
            errno = EINVAL;
            return -1;
        }
        if (d.bad_block_query_fails) {
            errno = EIO;
            return -1;
        }
        return listed(d.bad_blocks, d, offset) ? 1 : 0;
    }
    if (request == MEMSETBADBLOCK) {
        auto offset = static_cast<uint64_t>(*static_cast<__kernel_loff_t *>(arg));
        if (d.mark_fails) {
            errno = EIO;
            return -1;
        }
        d.bad_blocks.push_back(static_cast<uint32_t>(offset / d.info.erasesize));
        return 0;
    }
    // Whole erase blocks only.
    auto *erase = static_cast<erase_info_user *>(arg);
    uint32_t size = d.info.erasesize;
    bool whole = erase->start % size == 0 && erase->length % size == 0 && erase->length != 0;
    uint64_t end = erase->start + uint64_t{erase->length};
    if (request == MEMISLOCKED) {
        // As the SPI NOR core answers: 1 only when the whole range is locked.
        d.lock_queries++;
        if (d.lock_error != 0 || !whole || end > d.size) {
            errno = d.lock_error != 0 ? d.lock_error : EINVAL;
            return -1;
        }
        for (uint64_t at = erase->start; at < end; at += size)
            if (!listed(d.locked, d, at))
                return 0;
        return 1;
    }
    if (request != MEMERASE || !whole || end > flash_size(d)) {
        errno = EINVAL;
        return -1;
    }
    d.ops.push_back("erase " + std::to_string(erase->start / BLOCK_SIZE));
    if (is(f, call_fault::no_effect))
        return 0;
    if (const fault *s = fault_at(fault_kind::signal, h->device, erase->start))
        raise(s->signal_number);
    const fault *failure = fault_at(fault_kind::erase_fails, h->device, erase->start);
    int error =
        failure != nullptr && d.erases[erase->start / size] >= failure->after ? failure->error : 0;
    for (uint64_t at = erase->start; error == 0 && at < end; at += size)
        error = listed(d.locked, d, at) ? EIO : 0;
    if (error != 0) {
        errno = error;
        return -1;
    }
    static uint8_t zeros[BLOCK_SIZE], erased[BLOCK_SIZE];
    if (erased[0] != 0xFF)
        memset(erased, 0xFF, BLOCK_SIZE);
    const uint8_t *cells =
        fault_at(fault_kind::erase_zeros, h->device, erase->start) != nullptr ? zeros : erased;
    for (uint32_t at = erase->start; at < erase->start + erase->length; at += size) {
        for (uint32_t done = 0; done < size; done += std::min(size, BLOCK_SIZE))
            pwrite(d.storage, cells, std::min(size, BLOCK_SIZE), at + done);
        d.erases[at / size]++;
    }
    for (uint64_t b = erase->start / BLOCK_SIZE; b * BLOCK_SIZE < end; b++)
        touched[h->device][b] = true;
    return 0;
}

ssize_t __wrap_write(int fd, const void *buf, size_t len) {
    const call_fault *f = numbered("write", fd);
    if (is(f, call_fault::error))
        return fail("write");
    if (is(f, call_fault::short_count))
        len /= 2;
    if ((var == var_state::full || var == var_state::short_write) && var_kind(fd) == "file") {
        if (var == var_state::full) {
            errno = ENOSPC;
            return -1;
        }
        len /= 2;
    }
    open_device *h = handle_of(fd);
    if (h == nullptr)
        return __real_write(fd, buf, len);
    device &d = devices[h->device];
    uint64_t at = h->position;
    d.ops.push_back(op_text("write", at, len));
    if (const fault *failure = fault_at(fault_kind::write_fails, h->device, at);
        failure != nullptr && d.writes[static_cast<size_t>(at / BLOCK_SIZE)] >= failure->after) {
        errno = failure->error;
        return -1;
    }
    if (is(f, call_fault::no_effect)) {
        h->position += len;
        return static_cast<ssize_t>(len);
    }
    if (at >= flash_size(d)) {
        errno = ENOSPC;
        return -1;
    }
    if (len > flash_size(d) - at)
        len = static_cast<size_t>(flash_size(d) - at);
    if (fault_at(fault_kind::write_short, h->device, at) != nullptr)
        len /= 2;
    // NOR flash: programming can only clear bits.
    static uint8_t cells[BLOCK_SIZE];
    const auto *src = static_cast<const uint8_t *>(buf);
    for (size_t done = 0, chunk; done < len; done += chunk) {
        chunk = std::min<size_t>(len - done, BLOCK_SIZE);
        off_t cell = static_cast<off_t>(at + done);
        pread(d.storage, cells, chunk, cell);
        for (size_t i = 0; i < chunk; i++)
            cells[i] &= src[done + i];
        pwrite(d.storage, cells, chunk, cell);
    }
    for (uint64_t b = at / BLOCK_SIZE; b * BLOCK_SIZE < at + len; b++) {
        d.writes[static_cast<size_t>(b)]++;
        touched[h->device][b] = true;
    }
    h->position += len;
    return static_cast<ssize_t>(len);
}

ssize_t __wrap_read(int fd, void *buf, size_t len) {
    const call_fault *f = numbered("read", fd);
    if (is(f, call_fault::error))
        return fail("read");
    if (is(f, call_fault::short_count))
        len /= 2;
    open_device *h = handle_of(fd);
    if (h == nullptr) {
        ssize_t got = __real_read(fd, buf, len);
        if (change_hook != nullptr && path_of(fd) == changed_path) {
            int error = errno;
            std::exchange(change_hook, nullptr)(mapped(changed_path.c_str()));
            errno = error;
        }
        return got;
    }
    device &d = devices[h->device];
    uint64_t at = h->position;
    d.ops.push_back(op_text("read", at, len));
    if (at >= flash_size(d))
        return 0;
    if (len > flash_size(d) - at)
        len = static_cast<size_t>(flash_size(d) - at);
    if (fault_at(fault_kind::read_short, h->device, at) != nullptr)
        len /= 2;
    pread(d.storage, buf, len, static_cast<off_t>(at));
    if (auto *ecc = const_cast<fault *>(fault_at(fault_kind::ecc_failed, h->device, at));
        ecc != nullptr && ecc->times > 0) {
        ecc->times--;
        d.ecc.failed++;
    }
    d.ecc.corrected += fault_at(fault_kind::ecc_corrected, h->device, at) != nullptr;
    const fault *corrupt = fault_at(fault_kind::read_corrupt, h->device, at);
    if (corrupt != nullptr && len > corrupt->byte)
        static_cast<uint8_t *>(buf)[corrupt->byte] ^= 0x01;
    if (is(f, call_fault::changed_byte) && len > 0)
        static_cast<uint8_t *>(buf)[len / 2] ^= 0x01;
    h->position += len;
    return static_cast<ssize_t>(len);
}

int __wrap_stat64(const char *path, struct stat64 *st) {
    if (numbered("stat64", path) != nullptr)
        return fail("stat64");
    return __real_stat64(mapped(path).c_str(), st);
}

int __wrap_unlink(const char *path) {
    if (numbered("unlink", path) != nullptr)
        return fail("unlink");
    if (read_only(path)) {
        errno = EROFS;
        return -1;
    }
    return __real_unlink(mapped(path).c_str());
}

// The sandbox is scratch: a sync is recorded, not waited for, or every run would wait for the
// test machine's disk hundreds of times.
int __wrap_fsync(int fd) {
    if (numbered("fsync", fd) != nullptr)
        return fail("fsync");
    record_sync(fd);
    return fcntl(fd, F_GETFD) < 0 ? -1 : 0;
}

int __wrap_fdatasync(int fd) {
    if (numbered("fdatasync", fd) != nullptr)
        return fail("fdatasync");
    record_sync(fd);
    return fcntl(fd, F_GETFD) < 0 ? -1 : 0;
}

int __wrap_flock(int fd, int operation) {
    if (numbered("flock", fd) != nullptr)
        return fail("flock");
    return __real_flock(fd, operation);
}

DIR *__wrap_opendir(const char *path) {
    if (numbered("opendir", path) != nullptr) {
        errno = error_of("opendir");
        return nullptr;
    }
    return __real_opendir(path);
}

// A simulated device is a character device with a number of its own.
int __wrap_fstat64(int fd, struct stat64 *st) {
    if (numbered("fstat64", fd) != nullptr)
        return fail("fstat64");
    open_device *h = handle_of(fd);
    if (h == nullptr)
        return __real_fstat64(fd, st);
    *st = {};
    st->st_mode = S_IFCHR | 0600;
    st->st_rdev = devices[h->device].rdev;
    return 0;
}

int __wrap_rename(const char *from, const char *to) {
    if (numbered("rename", to) != nullptr)
        return fail("rename");
    if (read_only(from) || read_only(to)) {
        errno = EROFS;
        return -1;
    }
    std::string source = mapped(from);
    int rc = __real_rename(source.c_str(), mapped(to).c_str());
    if (rc == 0 && strcmp(to, "/var/quarn.status") == 0) {
        // Bounded: a broken writer could have renamed a device node into place.
        char line[256];
        std::ifstream in(mapped(to), std::ios::binary);
        in.read(line, sizeof line);
        history.emplace_back(line, static_cast<size_t>(in.gcount()));
        // Readers take a free run lock to mean that the status file holds the run's last line.
        int probe = __real_open64((sandbox_root + "/run/quarn.lock").c_str(), O_RDONLY | O_CLOEXEC);
        bool locked = probe >= 0 && __real_flock(probe, LOCK_SH | LOCK_NB) != 0;
        if (probe >= 0)
            __real_close(probe);
        events.push_back((locked ? "rename " : "rename unlocked ") + history.back());
    }
    return rc;
}

} // extern "C"
