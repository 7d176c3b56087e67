// How many processors a cgroup CPU quota (a container's --cpus, a scheduler's CPU limit) grants.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavlo {

// The processors granted by the quota of the cgroups of this process (version 2 "cpu.max", or
// version 1 "cpu.cfs_quota_us" over "cpu.cfs_period_us"), rounded up; 0 when there is no quota
// or it cannot be read. The strictest quota on the path from the process's cgroup to the root
// counts. `root` is where the cgroup file systems are mounted and `self_cgroup` the text of
// /proc/self/cgroup (parameters for tests; empty: the system's own).
std::size_t cgroup_cpu_limit(const std::string& root = "", std::string_view self_cgroup = {});

// The processors a version 2 "cpu.max" text grants ("max 100000" or "200000 100000"), rounded
// up; 0 for none.
std::size_t cpus_of_cpu_max(std::string_view text);

}  // namespace tavlo
