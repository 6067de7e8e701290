// MemoryLimit: how much memory the program may still take, worked out
// before a picture's blocks are allocated, so that a picture too large for
// it is refused with its reason. Past a memory cgroup's limit the kernel
// ends the program with SIGKILL, which no program can answer; past the
// address-space limit (ulimit -v) an allocation fails, but a library that
// cannot start a thread may hang or abort.
//
// Two limits count, and the smaller is taken:
//   - a memory cgroup's (a container's): its limit less what the group
//     already uses, for the process's own group and every group above it
//     (cgroup v2: memory.max and memory.current; v1: memory/
//     memory.limit_in_bytes and memory.usage_in_bytes). The page cache the
//     group has read and not used again (inactive_file in memory.stat) is
//     left out of its use: the kernel takes it back before it kills.
//   - the address-space limit (RLIMIT_AS) less the address space the
//     process has mapped (/proc/self/statm).
// A margin is kept back for what the program allocates without weighing
// it: the libraries' small blocks, the page writer's lines.
//
// Everything is read into fixed buffers: the answer never allocates.

#ifndef MOTTLEPAGE_COMMON_MEMORYLIMIT_H
#define MOTTLEPAGE_COMMON_MEMORYLIMIT_H

#include <cstdint>

// Where the limits are read (tests lay out a tree of their own).
struct MemoryPlaces {
  const char* p_process = "/proc/self";      // cgroup and statm
  const char* p_cgroups = "/sys/fs/cgroup";  // v2 there, v1's controller in memory/
  bool has_address_limit = true;             // whether RLIMIT_AS counts
};

const std::int64_t MEMORY_MARGIN = std::int64_t(8) << 20;

// The bytes the program's blocks may still take, the margin kept back:
// 0 when nothing limits the program, at least 1 when something does.
std::int64_t GetMemoryLeft(const MemoryPlaces& places = MemoryPlaces());

// The address space the process has mapped, in bytes; 0 when unknown.
std::int64_t GetAddressSpaceInUse(const MemoryPlaces& places = MemoryPlaces());

#endif
