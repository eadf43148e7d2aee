#include "common/memory_budget.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/codec_failure.h"

namespace dispsmooth {

namespace {

constexpr std::uint64_t unknown = UINT64_MAX;

// The decimal number text starts with, or unknown where it starts with
// none (a cgroup's "max" included) or the number does not fit.
std::uint64_t parse_number(const char *text) {
    while (*text == ' ' || *text == '\t') ++text;
    if (*text < '0' || *text > '9') return unknown;
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return errno == ERANGE ? unknown : value;
}

// The number the file starts with, or unknown (unreadable files included).
std::uint64_t read_number(const char *path) {
    std::FILE *fp = std::fopen(path, "re");
    if (fp == nullptr) return unknown;
    char line[64];
    const bool read = std::fgets(line, sizeof line, fp) != nullptr;
    (void)std::fclose(fp);
    return read ? parse_number(line) : unknown;
}

// The value in kB of the line "<key>: <value> kB" of a /proc file, in
// bytes, or unknown.
std::uint64_t read_proc_kb(const char *path, const char *key) {
    std::FILE *fp = std::fopen(path, "re");
    if (fp == nullptr) return unknown;
    char line[256];
    std::uint64_t value = unknown;
    const std::size_t key_length = std::strlen(key);
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        if (std::strncmp(line, key, key_length) != 0 || line[key_length] != ':') continue;
        const std::uint64_t kb = parse_number(line + key_length + 1);
        if (kb != unknown && kb <= unknown / 1024) value = kb * 1024;
        break;
    }
    (void)std::fclose(fp);
    return value;
}

std::uint64_t headroom(std::uint64_t limit, std::uint64_t used) {
    if (limit == unknown) return unknown;
    if (used == unknown) return limit;
    return limit > used ? limit - used : 0;
}

std::uint64_t address_space_headroom() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return unknown;
    return headroom(limit.rlim_cur, read_proc_kb("/proc/self/status", "VmSize"));
}

// The process's own cgroup v2 directory, from "0::<path>" of
// /proc/self/cgroup, under /sys/fs/cgroup; false where there is none.
bool cgroup2_directory(char *dir, std::size_t room) {
    std::FILE *fp = std::fopen("/proc/self/cgroup", "re");
    if (fp == nullptr) return false;
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, fp) != nullptr) {
        if (std::strncmp(line, "0::", 3) != 0) continue;
        line[std::strcspn(line, "\n")] = '\0';
        found = std::snprintf(dir, room, "/sys/fs/cgroup%s", line + 3) < static_cast<int>(room);
    }
    (void)std::fclose(fp);
    return found;
}

std::uint64_t cgroup_headroom() {
    std::uint64_t least = unknown;
    char dir[4200];
    char path[4300];
    if (cgroup2_directory(dir, sizeof dir)) {
        (void)std::snprintf(path, sizeof path, "%s/memory.max", dir);
        const std::uint64_t limit = read_number(path);
        (void)std::snprintf(path, sizeof path, "%s/memory.current", dir);
        least = std::min(least, headroom(limit, read_number(path)));
    }
    // Inside a container the process's cgroup is the root of the mount.
    least = std::min(least, headroom(read_number("/sys/fs/cgroup/memory.max"),
                                     read_number("/sys/fs/cgroup/memory.current")));
    const std::uint64_t v1_limit = read_number("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    // cgroup v1 writes "no limit" as a huge number rather than "max".
    if (v1_limit < (std::uint64_t{1} << 62))
        least = std::min(least, headroom(v1_limit, read_number("/sys/fs/cgroup/memory/"
                                                               "memory.usage_in_bytes")));
    return least;
}

std::uint64_t system_headroom() {
    const std::uint64_t available = read_proc_kb("/proc/meminfo", "MemAvailable");
    if (available == unknown) return unknown;
    const std::uint64_t swap = read_proc_kb("/proc/meminfo", "SwapFree");
    return swap == unknown ? available : available + swap;
}

}  // namespace

std::uint64_t available_memory() {
    return std::min({address_space_headroom(), cgroup_headroom(), system_headroom()});
}

bool try_reserve_image_memory(const char *filename, std::uint64_t bytes, long long width,
                              long long height, codec_failure *failure) {
    const std::uint64_t available = available_memory();
    if (bytes <= available) return true;
    constexpr double gb = 1e9;
    set_codec_failure(failure, codec_failure_kind::out_of_memory,
                      "dispsmooth: cannot read \"%s\": needs about %.1f GB for %lld x %lld pixels, "
                      "%.1f GB available",
                      filename, static_cast<double>(bytes) / gb, width, height,
                      static_cast<double>(available) / gb);
    return false;
}

}  // namespace dispsmooth
