// How many worker threads the process-wide pool gets. Decided once, when the
// pool is created, from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS and the processors
// available to the process. The parsing steps take texts and file-system roots
// instead of reading the process state directly, so tests can feed them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace marlinox::parallel::detail {

inline constexpr std::size_t kMaxThreads = 255;

// A count as the two environment variables give it: an optional single '+',
// then one or more ASCII digits and nothing else, at most 4294967295.
std::optional<std::uint32_t> parse_thread_count(std::string_view text);

// Looks up an environment variable; nullopt when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The pool size: the request from RAYON_NUM_THREADS (a count of 0 there
// selects the default at once) or else from RAYON_RS_NUM_CPUS, or the default;
// capped at kMaxThreads. `default_size` is called only when the default is used.
std::size_t decide_pool_size(const EnvLookup& env, const std::function<std::size_t()>& default_size);

// The processors available to the process: the affinity mask, else the online
// processors, else 1; lowered to a control-group CPU quota when there is one.
std::size_t default_pool_size();

// Combines the readings above: `affinity` (processors in the CPU affinity mask)
// if known and non-zero, else `online`, else 1, lowered to max(quota, 1).
std::size_t combine_processor_counts(std::optional<std::size_t> affinity,
                                     std::optional<std::size_t> online,
                                     std::optional<std::size_t> quota);

// Processors in the calling thread's CPU affinity mask, however large the
// kernel's mask is; nullopt when it can't be read.
std::optional<std::size_t> affinity_processor_count();

// sysconf(_SC_NPROCESSORS_ONLN) when positive.
std::optional<std::size_t> online_processor_count();

// --- Control-group CPU quota -------------------------------------------------

struct CgroupMembership {
    int version = 0;   // 1 (a hierarchy with the cpu controller) or 2 (the unified one)
    std::string path;  // the process's cgroup, relative to its hierarchy's root, no leading '/'
};

// Parses /proc/self/cgroup. A v1 hierarchy that lists the "cpu" controller is
// preferred over the v2 line ("0::/path"); nullopt when neither is there.
std::optional<CgroupMembership> parse_proc_cgroup(std::string_view content);

struct CgroupLocation {
    std::string mount_point;  // where the hierarchy is mounted
    std::string group_path;   // the process's cgroup below mount_point, no leading '/'
};

// Finds in /proc/self/mountinfo the mount of the hierarchy that `member`
// belongs to (fs type "cgroup2" for v2; "cgroup" with the "cpu" super option
// for v1) whose mounted root contains the process's cgroup.
std::optional<CgroupLocation> find_cgroup_mount(std::string_view mountinfo,
                                                const CgroupMembership& member);

// Whole processors allowed by a v2 "cpu.max" text ("max 100000" has none).
std::optional<std::size_t> parse_cpu_max(std::string_view content);

// Whole processors allowed by v1 "cpu.cfs_quota_us" and "cpu.cfs_period_us" texts.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// The smallest quota (in whole processors, possibly 0) set on the process's
// cgroup or any of its ancestors. Every path read is prefixed with `root`
// ("" for the real system): root + "/proc/self/cgroup",
// root + "/proc/self/mountinfo" and the quota files under root + mount point.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root);

}  // namespace marlinox::parallel::detail
