// The CPU quota of the process's control group, version 1 or 2, read from
// /proc/self/cgroup, /proc/self/mountinfo and the files below /sys/fs/cgroup.
// Anything missing or unreadable simply sets no limit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "parallel/pool_size.hpp"

namespace tarnwick {
namespace {

constexpr std::string_view cgroup_mount = "/sys/fs/cgroup";

/// `path` as seen from `root`.
std::string below(const std::string& root, std::string_view path) {
    std::string out = root;
    out.append(path);
    return out;
}

bool read_file(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

/// The pieces of `text` between separators, empty pieces included.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool has_item(std::string_view list, std::string_view item) {
    auto items = split(list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\f\v";
    size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

/// A directory path as components, so that walking to the parent is dropping
/// the last one.
std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> out;
    for (auto part : split(path, '/'))
        if (!part.empty() && part != ".") out.push_back(part);
    return out;
}

std::string join(const std::string& base, const std::vector<std::string_view>& parts, size_t n) {
    std::string path = base;
    for (size_t i = 0; i < n; ++i) {
        path += '/';
        path += parts[i];
    }
    return path;
}

struct Membership {
    bool v1 = false;
    std::string path;
};

/// The group that governs the CPU: a "cpu" line of version 1 wins over the
/// version 2 line, since it names its controllers explicitly.
std::optional<Membership> find_group(const std::string& root) {
    std::string text;
    if (!read_file(below(root, "/proc/self/cgroup"), text)) return std::nullopt;
    std::optional<Membership> found;
    for (auto line : split(text, '\n')) {
        size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        bool v2 = controllers.empty();
        if (!v2 && !has_item(controllers, "cpu")) continue;
        if (v2 && found) continue;
        found = Membership{!v2, std::string(line.substr(second + 1))};
    }
    return found;
}

void keep_min(std::optional<uint64_t>& quota, std::optional<uint64_t> limit,
              std::optional<uint64_t> period) {
    if (limit && period && *period > 0)
        quota = std::min(quota.value_or(UINT64_MAX), *limit / *period);
}

/// Version 2: the smallest cpu.max from the group's directory up to the mount.
std::optional<uint64_t> quota_v2(const std::string& root, std::string_view group) {
    std::string mount = below(root, cgroup_mount);
    auto parts = components(group);
    if (!exists(join(mount, parts, parts.size()) + "/cgroup.controllers")) return std::nullopt;
    std::optional<uint64_t> quota;
    std::string text;
    for (size_t depth = parts.size() + 1; depth-- > 0;) {
        if (!read_file(join(mount, parts, depth) + "/cpu.max", text)) continue;
        std::string_view line = split(text, '\n').front();
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        auto fields = split(line, ' ');
        // "max" as the limit does not parse, and so sets no limit.
        if (fields.size() >= 2)
            keep_min(quota, parse_unsigned(fields[0]), parse_unsigned(fields[1]));
    }
    return quota;
}

std::optional<uint64_t> read_number(const std::string& path) {
    std::string text;
    if (!read_file(path, text)) return std::nullopt;
    return parse_unsigned(trim(text));
}

/// Version 1: the smallest cfs_quota_us / cfs_period_us from the group's
/// directory up to the mount point. A quota of -1 does not parse: no limit.
std::optional<uint64_t> quota_v1_at(const std::string& mount, std::string_view group) {
    auto parts = components(group);
    std::optional<uint64_t> quota;
    for (size_t depth = parts.size() + 1; depth-- > 0;) {
        std::string dir = join(mount, parts, depth);
        keep_min(quota, read_number(dir + "/cpu.cfs_quota_us"),
                 read_number(dir + "/cpu.cfs_period_us"));
    }
    return quota;
}

/// The mount point of a version 1 hierarchy with the cpu controller, from
/// /proc/self/mountinfo, and the group path relative to it (a bind mount of
/// a subtree already contains the leading part of the group's path).
std::optional<std::pair<std::string, std::string>> find_v1_mount(const std::string& root,
                                                                 std::string_view group) {
    std::string text;
    if (!read_file(below(root, "/proc/self/mountinfo"), text)) return std::nullopt;
    for (auto line : split(text, '\n')) {
        // ID PARENT MAJOR:MINOR SUBTREE MOUNT_POINT OPTIONS... - FSTYPE SOURCE SUPER_OPTIONS
        auto fields = split(trim(line), ' ');
        if (fields.size() < 10) continue;
        std::string_view fstype = fields[fields.size() - 3];
        if (fstype != "cgroup" || !has_item(fields.back(), "cpu")) continue;
        auto subtree = components(fields[3]);
        auto group_parts = components(group);
        if (subtree.size() > group_parts.size() ||
            !std::equal(subtree.begin(), subtree.end(), group_parts.begin()))
            continue;
        std::string rest;
        for (size_t i = subtree.size(); i < group_parts.size(); ++i) {
            rest += '/';
            rest += group_parts[i];
        }
        return std::pair{below(root, fields[4]), rest};
    }
    return std::nullopt;
}

std::optional<uint64_t> quota_v1(const std::string& root, std::string_view group) {
    std::string mount = below(root, cgroup_mount);
    for (const char* name : {"/cpu", "/cpu,cpuacct"}) {
        std::string candidate = mount + name;
        auto parts = components(group);
        if (exists(join(candidate, parts, parts.size()))) return quota_v1_at(candidate, group);
    }
    if (auto found = find_v1_mount(root, group)) {
        auto parts = components(found->second);
        if (exists(join(found->first, parts, parts.size())))
            return quota_v1_at(found->first, found->second);
    }
    return std::nullopt;
}

}  // namespace

std::optional<uint64_t> cgroup_cpu_quota(const std::string& root) {
    auto group = find_group(root);
    if (!group) return std::nullopt;
    auto quota = group->v1 ? quota_v1(root, group->path) : quota_v2(root, group->path);
    // A quota below one CPU still leaves one thread.
    if (quota) return std::max<uint64_t>(*quota, 1);
    return std::nullopt;
}

}  // namespace tarnwick
