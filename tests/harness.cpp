#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

std::vector<uint8_t> file_bytes(size_t size, unsigned seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 17)) % 251);
    return bytes;
}

std::vector<uint8_t> expected_slot(const std::vector<uint8_t> &boot,
                                   const std::vector<uint8_t> &main) {
    std::vector<uint8_t> slot(IMAGE_SIZE, 0xFF);
    // A file too large for its region is refused; only what fits matters for the others.
    std::copy_n(boot.begin(), std::min<size_t>(boot.size(), MiB), slot.begin());
    std::copy_n(main.begin(), std::min<size_t>(main.size(), 15 * MiB), slot.begin() + MiB);
    return slot;
}

static std::string file_lines(const char *path, size_t size) {
    size_t blocks = (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    return "reading " + std::string(path) + "...\n" + std::to_string(size) + " Bytes (" +
           std::to_string(blocks) + " blocks)\n";
}

std::string target_output(const char *boot, size_t boot_size, const char *main, size_t main_size,
                          size_t head) {
    std::string out = file_lines(boot, boot_size) + file_lines(main, main_size);
    out += "opening MTD device...\nerasing...\n";
    for (int b = 0; b < 128; b++)
        out += "erase " + std::to_string(b) + "\n";
    out += "writing...\n";
    size_t boot_blocks = (boot_size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    size_t main_blocks = (main_size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    // The blocks of the first erase block are written last.
    for (size_t n = 0; n < 128; n++) {
        size_t b = (n + head) % 128;
        if (b < boot_blocks || (b >= 8 && b < 8 + main_blocks))
            out += "write " + std::to_string(b) + "\n";
    }
    out += "verifying...\n";
    for (int b = 0; b < 128; b++)
        out += "read " + std::to_string(b) + "\n";
    return out;
}

static std::string progress(const char *phase, float percent) {
    char line[64];
    snprintf(line, sizeof line, "%s %5.1f %%\n", phase, static_cast<double>(percent));
    return line;
}

std::vector<std::string> target_statuses(size_t boot_size, size_t main_size) {
    std::vector<std::string> lines;
    for (int b = 0; b < 128; b++)
        lines.push_back(progress("erasing", static_cast<float>(b) * 100.0f * 0.0078125f));
    size_t blocks =
        (boot_size + BLOCK_SIZE - 1) / BLOCK_SIZE + (main_size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    for (size_t b = 0; b < blocks; b++)
        lines.push_back(
            progress("writing", static_cast<float>(b) * 100.0f / static_cast<float>(blocks)));
    for (int b = 0; b < 128; b++)
        lines.push_back(progress("verifying", static_cast<float>(b) * 100.0f * 0.0078125f));
    return lines;
}

std::string tail(const std::string &text, size_t len) {
    return text.substr(text.size() > len ? text.size() - len : 0);
}

void Quarn::SetUp() {
    std::string dir = std::string(sandbox_parent()) + "/quarn-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    root = dir;
    std::filesystem::create_directories(root + "/sideload/slot1");
    std::filesystem::create_directories(root + "/var");
    std::filesystem::create_directories(root + "/run");
    std::filesystem::create_directories(root + "/proc/sys/kernel/random");
    std::ofstream(root + BOOT_ID_PATH) << FIRST_BOOT << "\n";
    sim::reset(root);
    // A run for slot0 switches these to the slot 1 pair.
    boot_image_path = BOOT;
    main_image_path = MAIN;
}

void Quarn::TearDown() {
    std::error_code ignored;
    std::filesystem::permissions(root + "/var", std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(root, ignored);
}

std::vector<uint8_t> Quarn::stage(const char *path, size_t size, unsigned seed) {
    std::vector<uint8_t> bytes = file_bytes(size, seed);
    std::ofstream out(root + path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(size));
    EXPECT_TRUE(out.good()) << path;
    return bytes;
}

std::vector<uint8_t> Quarn::stage_pair(size_t boot_size, size_t main_size, unsigned seed) {
    return expected_slot(stage(BOOT, boot_size, seed), stage(MAIN, main_size, seed + 1));
}

std::string Quarn::read_file(const char *path) const {
    char text[256];
    std::ifstream in(root + path, std::ios::binary);
    in.read(text, sizeof text);
    return {text, static_cast<size_t>(in.gcount())};
}

bool Quarn::exists(const char *path) const { return std::filesystem::exists(root + path); }

// Runs the program entry in this process with standard output and error sent to files.
static int open_descriptors() {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        count++;
    }
    return count;
}

run_result Quarn::run(std::vector<const char *> args, bool close_stderr) {
    std::vector<char *> argv;
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    std::string out_path = root + "/stdout", err_path = root + "/stderr";
    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(1), saved_err = dup(2);
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    close(out_fd);
    close(err_fd);

    if (close_stderr)
        close(2);
    int descriptors = open_descriptors();

    run_result result;
    sim::begin_run();
    result.rc = run_update(argc, argv.data());
    sim::end_run();
    if (!close_stderr) {
        EXPECT_EQ(open_descriptors(), descriptors) << "a descriptor was left open";
    }

    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    std::ifstream out(out_path, std::ios::binary), err(err_path, std::ios::binary);
    result.out.assign(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
    result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return result;
}

::testing::AssertionResult slot_equals(int device, const std::vector<uint8_t> &expected) {
    const std::vector<uint8_t> data = sim::contents(device);
    if (data.size() < expected.size())
        return ::testing::AssertionFailure() << "/dev/mtd" << device << " is too small";
    for (size_t i = 0; i < expected.size(); i++) {
        if (data[i] != expected[i])
            return ::testing::AssertionFailure()
                   << "/dev/mtd" << device << " differs first at offset " << i << " (block "
                   << i / BLOCK_SIZE << "): " << int{data[i]} << " instead of " << int{expected[i]};
    }
    return ::testing::AssertionSuccess();
}
