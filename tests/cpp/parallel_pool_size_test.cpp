// Pool size: count parsing, the choice between the two environment variables,
// the default from the processors available, and control-group CPU quotas read
// from fake /proc and cgroup trees.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/pool_size.hpp"

namespace {

using marlinox::parallel::detail::CgroupLocation;
using marlinox::parallel::detail::CgroupMembership;
namespace detail = marlinox::parallel::detail;

TEST(ParallelPoolSize, CountParsing) {
    struct Case {
        std::string text;
        std::optional<std::uint32_t> count;
    };
    const std::vector<Case> cases = {
        {"0", 0u},
        {"1", 1u},
        {"4", 4u},
        {"+4", 4u},
        {"007", 7u},
        {"1000", 1000u},
        {"4294967295", 4294967295u},
        {"+4294967295", 4294967295u},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"\t4", std::nullopt},
        {"4\n", std::nullopt},
        {"-4", std::nullopt},
        {"-0", std::nullopt},
        {"four", std::nullopt},
        {"4a", std::nullopt},
        {"0x4", std::nullopt},
        {"4.0", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"++4", std::nullopt},
        {"+-4", std::nullopt},
        {"4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"\xd9\xa4", std::nullopt},  // ARABIC-INDIC DIGIT FOUR
        {"\xff", std::nullopt},
        {std::string("4\0", 2), std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(detail::parse_thread_count(c.text), c.count) << "text: '" << c.text << "'";
}

// Runs decide_pool_size over a fake environment; records what was looked up.
struct FakeEnv {
    std::map<std::string, std::string> vars;
    std::size_t default_value = 6;
    std::vector<std::string> looked_up;
    int default_calls = 0;

    std::size_t decide() {
        return detail::decide_pool_size(
            [this](const char* name) -> std::optional<std::string> {
                looked_up.emplace_back(name);
                auto it = vars.find(name);
                if (it == vars.end()) return std::nullopt;
                return it->second;
            },
            [this] {
                ++default_calls;
                return default_value;
            });
    }
    bool read(const std::string& name) const {
        return std::find(looked_up.begin(), looked_up.end(), name) != looked_up.end();
    }
};

TEST(ParallelPoolSize, NothingSetGivesTheDefault) {
    FakeEnv env;
    EXPECT_EQ(env.decide(), 6u);
    EXPECT_EQ(env.default_calls, 1);
}

TEST(ParallelPoolSize, NumThreadsZeroSelectsDefaultWithoutReadingRsNumCpus) {
    FakeEnv env;
    env.vars = {{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "3"}};
    EXPECT_EQ(env.decide(), 6u);
    EXPECT_FALSE(env.read("RAYON_RS_NUM_CPUS"));
    EXPECT_EQ(env.default_calls, 1);
}

TEST(ParallelPoolSize, NumThreadsRequestWins) {
    for (const char* text : {"+4", "4", "0004"}) {
        FakeEnv env;
        env.vars = {{"RAYON_NUM_THREADS", text}, {"RAYON_RS_NUM_CPUS", "3"}};
        EXPECT_EQ(env.decide(), 4u) << text;
        EXPECT_FALSE(env.read("RAYON_RS_NUM_CPUS")) << text;
        EXPECT_EQ(env.default_calls, 0) << text;
    }
    FakeEnv one;
    one.vars = {{"RAYON_NUM_THREADS", "1"}, {"RAYON_RS_NUM_CPUS", "5"}};
    EXPECT_EQ(one.decide(), 1u);
}

TEST(ParallelPoolSize, UnparseableNumThreadsLetsRsNumCpusDecide) {
    for (const char* text : {" 4", "4 ", "-4", "four", "", "+", "4294967296", "\xff"}) {
        FakeEnv env;
        env.vars = {{"RAYON_NUM_THREADS", text}, {"RAYON_RS_NUM_CPUS", "3"}};
        EXPECT_EQ(env.decide(), 3u) << "'" << text << "'";
        EXPECT_EQ(env.default_calls, 0);

        FakeEnv without;
        without.vars = {{"RAYON_NUM_THREADS", text}};
        EXPECT_EQ(without.decide(), 6u) << "'" << text << "'";
        EXPECT_TRUE(without.read("RAYON_RS_NUM_CPUS"));
    }
}

TEST(ParallelPoolSize, RsNumCpusAlone) {
    FakeEnv env;
    env.vars = {{"RAYON_RS_NUM_CPUS", "5"}};
    EXPECT_EQ(env.decide(), 5u);
    EXPECT_EQ(env.default_calls, 0);
    for (const char* text : {"0", " 2", "-2", "two", ""}) {
        FakeEnv other;
        other.vars = {{"RAYON_RS_NUM_CPUS", text}};
        EXPECT_EQ(other.decide(), 6u) << "'" << text << "'";
        EXPECT_EQ(other.default_calls, 1);
    }
}

TEST(ParallelPoolSize, CappedAt255) {
    for (const char* text : {"1000", "255", "256", "4294967295"}) {
        FakeEnv env;
        env.vars = {{"RAYON_NUM_THREADS", text}};
        EXPECT_EQ(env.decide(), 255u) << text;
        FakeEnv rs;
        rs.vars = {{"RAYON_RS_NUM_CPUS", text}};
        EXPECT_EQ(rs.decide(), 255u) << text;
    }
    FakeEnv big_default;
    big_default.default_value = 1024;
    EXPECT_EQ(big_default.decide(), 255u);
    FakeEnv env254;
    env254.vars = {{"RAYON_NUM_THREADS", "254"}};
    EXPECT_EQ(env254.decide(), 254u);
}

TEST(ParallelPoolSize, CombiningProcessorCounts) {
    using std::nullopt;
    EXPECT_EQ(detail::combine_processor_counts(8, 16, nullopt), 8u);
    EXPECT_EQ(detail::combine_processor_counts(8, 16, 2), 2u);
    EXPECT_EQ(detail::combine_processor_counts(8, 16, 100), 8u);
    EXPECT_EQ(detail::combine_processor_counts(8, 16, 0), 1u);  // a quota under one processor
    EXPECT_EQ(detail::combine_processor_counts(nullopt, 16, nullopt), 16u);
    EXPECT_EQ(detail::combine_processor_counts(nullopt, 16, 3), 3u);
    EXPECT_EQ(detail::combine_processor_counts(0, 4, nullopt), 4u);
    EXPECT_EQ(detail::combine_processor_counts(nullopt, nullopt, nullopt), 1u);
    EXPECT_EQ(detail::combine_processor_counts(nullopt, nullopt, 3), 1u);
}

TEST(ParallelPoolSize, AffinityCountMatchesTheMask) {
    const auto count = detail::affinity_processor_count();
    ASSERT_TRUE(count.has_value());
    EXPECT_GE(*count, 1u);
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(*count, static_cast<std::size_t>(CPU_COUNT(&set)));

    // Narrowing the mask of this thread narrows the count.
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(detail::affinity_processor_count(), 1u);
    ASSERT_EQ(sched_setaffinity(0, sizeof set, &set), 0);
}

TEST(ParallelPoolSize, DefaultIsWithinTheAvailableProcessors) {
    const std::size_t size = detail::default_pool_size();
    EXPECT_GE(size, 1u);
    EXPECT_LE(size, *detail::affinity_processor_count());
    const auto online = detail::online_processor_count();
    ASSERT_TRUE(online.has_value());
    EXPECT_GE(*online, 1u);
}

// --- /proc/self/cgroup ---------------------------------------------------------

TEST(ParallelCgroup, ProcCgroupV2) {
    auto member = detail::parse_proc_cgroup("0::/user.slice/user-0.slice/session-1.scope\n");
    ASSERT_TRUE(member);
    EXPECT_EQ(member->version, 2);
    EXPECT_EQ(member->path, "user.slice/user-0.slice/session-1.scope");

    auto root = detail::parse_proc_cgroup("0::/\n");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->version, 2);
    EXPECT_EQ(root->path, "");
}

TEST(ParallelCgroup, ProcCgroupV1) {
    const char* content =
        "12:memory:/docker/abc\n"
        "11:cpuset:/docker/abc\n"
        "4:cpu,cpuacct:/docker/abc\n"
        "1:name=systemd:/docker/abc\n"
        "0::/system.slice/docker.service\n";
    auto member = detail::parse_proc_cgroup(content);
    ASSERT_TRUE(member);
    EXPECT_EQ(member->version, 1);
    EXPECT_EQ(member->path, "docker/abc");

    auto reversed = detail::parse_proc_cgroup("0::/unified\n3:cpuacct,cpu:/legacy\n");
    ASSERT_TRUE(reversed);
    EXPECT_EQ(reversed->version, 1);  // an explicit cpu controller wins over the unified line
    EXPECT_EQ(reversed->path, "legacy");
}

TEST(ParallelCgroup, ProcCgroupWithoutCpuController) {
    EXPECT_FALSE(detail::parse_proc_cgroup(""));
    EXPECT_FALSE(detail::parse_proc_cgroup("3:cpuset:/a\n4:cpuacct:/a\n"));
    EXPECT_FALSE(detail::parse_proc_cgroup("garbage\n\n"));
}

// --- /proc/self/mountinfo ------------------------------------------------------

TEST(ParallelCgroup, MountinfoV2) {
    const char* mountinfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "35 24 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 "
        "rw,nsdelegate,memory_recursiveprot\n";
    auto location = detail::find_cgroup_mount(mountinfo, CgroupMembership{2, "a/b"});
    ASSERT_TRUE(location);
    EXPECT_EQ(location->mount_point, "/sys/fs/cgroup");
    EXPECT_EQ(location->group_path, "a/b");

    EXPECT_FALSE(detail::find_cgroup_mount(mountinfo, CgroupMembership{1, "a/b"}));
}

TEST(ParallelCgroup, MountinfoV1NeedsTheCpuController) {
    const char* mountinfo =
        "40 30 0:35 / /sys/fs/cgroup/cpuacct rw,nosuid shared:15 - cgroup cgroup rw,cpuacct\n"
        "41 30 0:36 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:16 - cgroup cgroup rw,cpu,cpuacct\n"
        "42 30 0:37 / /sys/fs/cgroup/unified rw,nosuid shared:17 - cgroup2 cgroup2 rw\n";
    auto location = detail::find_cgroup_mount(mountinfo, CgroupMembership{1, "docker/abc"});
    ASSERT_TRUE(location);
    EXPECT_EQ(location->mount_point, "/sys/fs/cgroup/cpu,cpuacct");
    EXPECT_EQ(location->group_path, "docker/abc");

    auto v2 = detail::find_cgroup_mount(mountinfo, CgroupMembership{2, ""});
    ASSERT_TRUE(v2);
    EXPECT_EQ(v2->mount_point, "/sys/fs/cgroup/unified");
    EXPECT_EQ(v2->group_path, "");
}

TEST(ParallelCgroup, MountinfoBindMountedSubtree) {
    // A container sees only its own sub-tree, mounted from /docker/abc.
    const char* mountinfo =
        "50 40 0:36 /docker/abc /sys/fs/cgroup/cpu ro,nosuid master:16 - cgroup cpu rw,cpu\n";
    auto inside = detail::find_cgroup_mount(mountinfo, CgroupMembership{1, "docker/abc/worker"});
    ASSERT_TRUE(inside);
    EXPECT_EQ(inside->mount_point, "/sys/fs/cgroup/cpu");
    EXPECT_EQ(inside->group_path, "worker");

    auto exact = detail::find_cgroup_mount(mountinfo, CgroupMembership{1, "docker/abc"});
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->group_path, "");

    EXPECT_FALSE(detail::find_cgroup_mount(mountinfo, CgroupMembership{1, "docker/abcdef"}));
    EXPECT_FALSE(detail::find_cgroup_mount(mountinfo, CgroupMembership{1, "other"}));
}

TEST(ParallelCgroup, MountinfoEscapesAndMissingOptionalFields) {
    const char* mountinfo = "60 1 0:40 / /mnt/my\\040cgroup rw - cgroup2 none rw\n";
    auto location = detail::find_cgroup_mount(mountinfo, CgroupMembership{2, "x"});
    ASSERT_TRUE(location);
    EXPECT_EQ(location->mount_point, "/mnt/my cgroup");
    EXPECT_EQ(location->group_path, "x");
    EXPECT_FALSE(detail::find_cgroup_mount("malformed line\n", CgroupMembership{2, "x"}));
}

// --- quota files ---------------------------------------------------------------

TEST(ParallelCgroup, CpuMax) {
    EXPECT_EQ(detail::parse_cpu_max("max 100000\n"), std::nullopt);
    EXPECT_EQ(detail::parse_cpu_max("150000 100000\n"), 1u);
    EXPECT_EQ(detail::parse_cpu_max("200000 100000"), 2u);
    EXPECT_EQ(detail::parse_cpu_max("50000 100000\n"), 0u);
    EXPECT_EQ(detail::parse_cpu_max("100000 0\n"), std::nullopt);
    EXPECT_EQ(detail::parse_cpu_max(""), std::nullopt);
    EXPECT_EQ(detail::parse_cpu_max("400000\n"), std::nullopt);
}

TEST(ParallelCgroup, CfsQuota) {
    EXPECT_EQ(detail::parse_cfs_quota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(detail::parse_cfs_quota("250000\n", "100000\n"), 2u);
    EXPECT_EQ(detail::parse_cfs_quota("0\n", "100000\n"), 0u);
    EXPECT_EQ(detail::parse_cfs_quota("100000\n", "0\n"), std::nullopt);
    EXPECT_EQ(detail::parse_cfs_quota("", "100000"), std::nullopt);
}

// A fake root with /proc/self and a cgroup tree below it.
class FakeRoot {
public:
    FakeRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "marlinox-cgroup-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    ~FakeRoot() { std::filesystem::remove_all(root_); }
    void write(const std::string& path, const std::string& content) {
        const std::filesystem::path full = root_ + path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full) << content;
    }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

TEST(ParallelCgroup, QuotaV2TakesTheTightestLevel) {
    FakeRoot fs;
    fs.write("/proc/self/cgroup", "0::/a/b\n");
    fs.write("/proc/self/mountinfo",
             "35 24 0:30 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw\n");
    fs.write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
    fs.write("/sys/fs/cgroup/a/cpu.max", "300000 100000\n");
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), 3u);

    fs.write("/sys/fs/cgroup/a/b/cpu.max", "150000 100000\n");
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), 1u);

    fs.write("/sys/fs/cgroup/cpu.max", "50000 100000\n");  // at the hierarchy's root
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), 0u);
}

TEST(ParallelCgroup, QuotaV2Unlimited) {
    FakeRoot fs;
    fs.write("/proc/self/cgroup", "0::/a\n");
    fs.write("/proc/self/mountinfo", "35 24 0:30 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    fs.write("/sys/fs/cgroup/a/cpu.max", "max 100000\n");
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), std::nullopt);
}

TEST(ParallelCgroup, QuotaV1WithBindMountedSubtree) {
    FakeRoot fs;
    fs.write("/proc/self/cgroup", "5:cpu,cpuacct:/docker/abc\n0::/\n");
    fs.write("/proc/self/mountinfo",
             "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
             "50 40 0:36 /docker /sys/fs/cgroup/cpu,cpuacct ro master:16 - cgroup cgroup rw,cpu,cpuacct\n");
    fs.write("/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_quota_us", "250000\n");
    fs.write("/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_period_us", "100000\n");
    fs.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    fs.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), 2u);
}

TEST(ParallelCgroup, NoQuotaWhenFilesAreMissing) {
    FakeRoot fs;
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), std::nullopt);
    fs.write("/proc/self/cgroup", "0::/a\n");
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), std::nullopt);  // no mountinfo
    fs.write("/proc/self/mountinfo", "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), std::nullopt);  // no cgroup2 mount
    fs.write("/proc/self/mountinfo", "35 24 0:30 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    EXPECT_EQ(detail::cgroup_cpu_quota(fs.root()), std::nullopt);  // no cpu.max anywhere
}

}  // namespace
