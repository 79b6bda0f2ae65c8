#include "parallel/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace marlinox::parallel::detail {
namespace {

// An optional '+' then one or more ASCII digits, at most `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\f\v";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool contains_word(std::string_view list, std::string_view word) {
    for (std::string_view item : split(list, ','))
        if (item == word) return true;
    return false;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return content;
}

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape_octal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string_view digits = text.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                                (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// `path` relative to `root` (both without a trailing '/', root "" or "/" for
// the whole tree); nullopt when path is not inside root.
std::optional<std::string> relative_to(std::string_view path, std::string_view root) {
    while (!root.empty() && root.front() == '/') root.remove_prefix(1);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (!root.empty() && root.back() == '/') root.remove_suffix(1);
    if (root.empty()) return std::string(path);
    if (path.substr(0, root.size()) != root) return std::nullopt;
    path.remove_prefix(root.size());
    if (!path.empty() && path.front() != '/') return std::nullopt;
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    return std::string(path);
}

}  // namespace

std::optional<std::uint32_t> parse_thread_count(std::string_view text) {
    const auto value = parse_decimal(text, std::numeric_limits<std::uint32_t>::max());
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::size_t decide_pool_size(const EnvLookup& env, const std::function<std::size_t()>& default_size) {
    std::optional<std::size_t> request;
    bool use_default = false;
    if (auto text = env("RAYON_NUM_THREADS")) {
        if (auto count = parse_thread_count(*text)) {
            if (*count == 0) use_default = true;
            else request = *count;
        }
    }
    if (!request && !use_default) {
        if (auto text = env("RAYON_RS_NUM_CPUS")) {
            if (auto count = parse_thread_count(*text); count && *count > 0) request = *count;
        }
    }
    const std::size_t size = request ? *request : default_size();
    return std::clamp<std::size_t>(size, 1, kMaxThreads);
}

std::size_t combine_processor_counts(std::optional<std::size_t> affinity,
                                     std::optional<std::size_t> online,
                                     std::optional<std::size_t> quota) {
    std::size_t count = 1;
    if (affinity && *affinity > 0) count = *affinity;
    else if (online && *online > 0) count = *online;
    else return 1;
    if (quota) count = std::min(count, std::max<std::size_t>(*quota, 1));
    return count;
}

std::optional<std::size_t> affinity_processor_count() {
    // Start with the C library's fixed set size and grow until the kernel's
    // mask fits (sched_getaffinity fails with EINVAL while it does not).
    for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 22); cpus *= 2) {
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return std::nullopt;
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int error = errno;
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return static_cast<std::size_t>(count);
        if (error != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::size_t> online_processor_count() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    if (count <= 0) return std::nullopt;
    return static_cast<std::size_t>(count);
}

std::size_t default_pool_size() {
    return combine_processor_counts(affinity_processor_count(), online_processor_count(),
                                    cgroup_cpu_quota(""));
}

std::optional<CgroupMembership> parse_proc_cgroup(std::string_view content) {
    std::optional<CgroupMembership> found;
    for (std::string_view line : split(content, '\n')) {
        // hierarchy-ID:controller-list:cgroup-path
        const auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view path = line.substr(second + 1);
        int version;
        if (controllers.empty()) version = 2;
        else if (contains_word(controllers, "cpu")) version = 1;
        else continue;
        // A v1 hierarchy names its controllers explicitly, so it wins over v2.
        if (found && version == 2) continue;
        if (!path.empty() && path.front() == '/') path.remove_prefix(1);
        found = CgroupMembership{version, std::string(path)};
        if (version == 1) break;
    }
    return found;
}

std::optional<CgroupLocation> find_cgroup_mount(std::string_view mountinfo,
                                                const CgroupMembership& member) {
    for (std::string_view line : split(mountinfo, '\n')) {
        // id parent major:minor root mount-point options [optional...] - fstype source super-options
        const std::vector<std::string_view> fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 4) continue;
        const std::string_view fs_type = dash[1];
        const std::string_view super_options = dash[3];
        if (member.version == 2 ? fs_type != "cgroup2"
                                : fs_type != "cgroup" || !contains_word(super_options, "cpu"))
            continue;
        // A bind mount of a sub-tree: the process's cgroup must lie inside it.
        auto group = relative_to(member.path, unescape_octal(fields[3]));
        if (!group) continue;
        return CgroupLocation{unescape_octal(fields[4]), std::move(*group)};
    }
    return std::nullopt;
}

std::optional<std::size_t> parse_cpu_max(std::string_view content) {
    const std::string_view line = content.substr(0, content.find('\n'));
    const std::vector<std::string_view> fields = split(line, ' ');
    if (fields.size() < 2) return std::nullopt;
    const auto limit = parse_decimal(fields[0], std::numeric_limits<std::size_t>::max());
    const auto period = parse_decimal(fields[1], std::numeric_limits<std::size_t>::max());
    if (!limit || !period || *period == 0) return std::nullopt;
    return static_cast<std::size_t>(*limit / *period);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
    const auto limit = parse_decimal(trim(quota), std::numeric_limits<std::size_t>::max());
    const auto length = parse_decimal(trim(period), std::numeric_limits<std::size_t>::max());
    if (!limit || !length || *length == 0) return std::nullopt;
    return static_cast<std::size_t>(*limit / *length);
}

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
    const auto cgroup = read_file(root + "/proc/self/cgroup");
    if (!cgroup) return std::nullopt;
    const auto member = parse_proc_cgroup(*cgroup);
    if (!member) return std::nullopt;
    const auto mountinfo = read_file(root + "/proc/self/mountinfo");
    if (!mountinfo) return std::nullopt;
    const auto location = find_cgroup_mount(*mountinfo, *member);
    if (!location) return std::nullopt;

    // Walk from the process's cgroup up to the hierarchy's root; the tightest
    // quota on the way is the one that applies.
    std::optional<std::size_t> quota;
    std::string group = location->group_path;
    for (;;) {
        std::string dir = root + location->mount_point;
        if (!group.empty()) dir += "/" + group;
        std::optional<std::size_t> here;
        if (member->version == 2) {
            if (auto text = read_file(dir + "/cpu.max")) here = parse_cpu_max(*text);
        } else {
            auto limit = read_file(dir + "/cpu.cfs_quota_us");
            auto period = read_file(dir + "/cpu.cfs_period_us");
            if (limit && period) here = parse_cfs_quota(*limit, *period);
        }
        if (here) quota = quota ? std::min(*quota, *here) : *here;
        if (group.empty()) break;
        const auto slash = group.rfind('/');
        group.resize(slash == std::string::npos ? 0 : slash);
    }
    return quota;
}

}  // namespace marlinox::parallel::detail
