#include "common/MemoryLimit.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const std::int64_t NO_LIMIT = INT64_MAX;
// A v1 group without a limit shows the largest page count the kernel
// keeps, just under 2^63 bytes; no real limit comes near it.
const std::int64_t UNLIMITED_FROM = std::int64_t(1) << 60;

// The files of one kind of hierarchy.
struct GroupFiles {
  const char* p_limit;
  const char* p_usage;
  const char* p_inactive;  // the key in memory.stat
};
const GroupFiles V2_FILES = {"memory.max", "memory.current", "inactive_file"};
const GroupFiles V1_FILES = {"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"};

// Static, not on the stack, which a user may have made small (ulimit -s):
// the program asks once, from main.
char g_path[1024];
char g_text[4096];
char g_group[sizeof g_path];
char g_mount[sizeof g_path];

// A small file's text into g_text (cut at its size); false when there is
// none.
bool ReadText(const char* p_path) {
  g_text[0] = '\0';
  const int file_descriptor = open(p_path, O_RDONLY | O_CLOEXEC);
  if (file_descriptor < 0) return false;
  std::size_t length = 0;
  for (;;) {
    const ssize_t count = read(file_descriptor, g_text + length, sizeof g_text - 1 - length);
    if (count <= 0) break;
    length += std::size_t(count);
  }
  close(file_descriptor);
  g_text[length] = '\0';
  return length > 0;
}

// The digits at p_text; -1 when there are none.
std::int64_t ReadNumber(const char* p_text) {
  if (*p_text < '0' || *p_text > '9') return -1;
  std::int64_t value = 0;
  for (; *p_text >= '0' && *p_text <= '9'; ++p_text) {
    value = value < UNLIMITED_FROM / 10 ? value * 10 + (*p_text - '0') : UNLIMITED_FROM;
  }
  return value;
}

// The number of the line "key value" in g_text; -1 when there is none.
std::int64_t FindStatValue(const char* p_key) {
  const std::size_t length = std::strlen(p_key);
  for (const char* p_line = g_text; *p_line != '\0';) {
    if (std::strncmp(p_line, p_key, length) == 0 && p_line[length] == ' ') return ReadNumber(p_line + length + 1);
    const char* p_end = std::strchr(p_line, '\n');
    if (p_end == nullptr) break;
    p_line = p_end + 1;
  }
  return -1;
}

// A file of the group whose folder is g_path into g_text.
bool ReadGroupText(std::size_t dir_length, const char* p_name) {
  if (std::snprintf(g_path + dir_length, sizeof g_path - dir_length, "/%s", p_name) >=
      int(sizeof g_path - dir_length)) {
    g_path[dir_length] = '\0';
    return false;
  }
  const bool is_read = ReadText(g_path);
  g_path[dir_length] = '\0';
  return is_read;
}

// A file of the group as a number: NO_LIMIT for "max" or a count of v1's
// unlimited size, -1 when it cannot be read.
std::int64_t ReadGroupNumber(std::size_t dir_length, const char* p_name) {
  if (!ReadGroupText(dir_length, p_name)) return -1;
  if (std::strncmp(g_text, "max", 3) == 0) return NO_LIMIT;
  const std::int64_t value = ReadNumber(g_text);
  return value >= UNLIMITED_FROM ? NO_LIMIT : value;
}

// What the group whose folder is g_path leaves: its limit less what it
// uses besides page cache it could give back.
std::int64_t GetGroupRoom(const GroupFiles& files) {
  const std::size_t dir_length = std::strlen(g_path);
  const std::int64_t limit = ReadGroupNumber(dir_length, files.p_limit);
  if (limit < 0 || limit == NO_LIMIT) return NO_LIMIT;
  std::int64_t usage = ReadGroupNumber(dir_length, files.p_usage);
  if (usage < 0) usage = 0;
  if (ReadGroupText(dir_length, "memory.stat")) {
    const std::int64_t inactive = FindStatValue(files.p_inactive);
    if (inactive > 0 && inactive <= usage) usage -= inactive;
  }
  return limit > usage ? limit - usage : 0;
}

// The process's group in one hierarchy, from /proc/self/cgroup's lines
// "ID:CONTROLLERS:PATH": v2's has ID 0 and no controllers, v1's names
// memory among its controllers. Written to p_group without the root's
// slash; false when there is no such line.
bool FindGroup(const MemoryPlaces& places, bool is_v1, char* p_group, std::size_t size) {
  std::snprintf(g_path, sizeof g_path, "%s/cgroup", places.p_process);
  if (!ReadText(g_path)) return false;
  for (char* p_line = g_text; *p_line != '\0';) {
    char* p_end = std::strchr(p_line, '\n');
    if (p_end != nullptr) *p_end = '\0';
    char* p_controllers = std::strchr(p_line, ':');
    char* p_path = p_controllers != nullptr ? std::strchr(p_controllers + 1, ':') : nullptr;
    if (p_path != nullptr) {
      *p_controllers++ = '\0';
      *p_path++ = '\0';
      bool is_wanted = !is_v1 && std::strcmp(p_line, "0") == 0 && *p_controllers == '\0';
      for (char* p_name = p_controllers; is_v1 && p_name != nullptr && !is_wanted;) {
        is_wanted = std::strncmp(p_name, "memory", 6) == 0 && (p_name[6] == ',' || p_name[6] == '\0');
        p_name = std::strchr(p_name, ',');
        if (p_name != nullptr) ++p_name;
      }
      if (is_wanted) {
        while (*p_path == '/') ++p_path;
        return std::snprintf(p_group, size, "%s", p_path) < int(size);
      }
    }
    if (p_end == nullptr) break;
    p_line = p_end + 1;
  }
  return false;
}

// The least room of the process's group and the groups above it in one
// hierarchy mounted at p_mount. A group path that is not under the mount
// (a container that sees only its own group there) leaves the mount's own
// folder, which is then that group.
std::int64_t GetHierarchyRoom(const MemoryPlaces& places, const char* p_mount, bool is_v1) {
  if (!FindGroup(places, is_v1, g_group, sizeof g_group)) g_group[0] = '\0';
  const int mount_length = std::snprintf(g_path, sizeof g_path, "%s", p_mount);
  if (mount_length >= int(sizeof g_path)) return NO_LIMIT;
  if (g_group[0] != '\0' && std::snprintf(g_path, sizeof g_path, "%s/%s", p_mount, g_group) >= int(sizeof g_path)) {
    g_path[mount_length] = '\0';
  }
  std::int64_t room = NO_LIMIT;
  for (;;) {
    const std::int64_t group_room = GetGroupRoom(is_v1 ? V1_FILES : V2_FILES);
    if (group_room < room) room = group_room;
    char* p_slash = std::strrchr(g_path + mount_length, '/');
    if (p_slash == nullptr) break;
    *p_slash = '\0';
  }
  return room;
}

std::int64_t GetAddressSpaceRoom(const MemoryPlaces& places) {
  rlimit limit {};
  if (!places.has_address_limit || getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return NO_LIMIT;
  }
  const std::int64_t in_use = GetAddressSpaceInUse(places);
  return std::int64_t(limit.rlim_cur) > in_use ? std::int64_t(limit.rlim_cur) - in_use : 0;
}

}  // namespace

std::int64_t GetAddressSpaceInUse(const MemoryPlaces& places) {
  std::snprintf(g_path, sizeof g_path, "%s/statm", places.p_process);
  if (!ReadText(g_path)) return 0;
  const std::int64_t pages = ReadNumber(g_text);
  return pages > 0 ? pages * sysconf(_SC_PAGESIZE) : 0;
}

std::int64_t GetMemoryLeft(const MemoryPlaces& places) {
  std::int64_t room = GetAddressSpaceRoom(places);
  const std::int64_t v2_room = GetHierarchyRoom(places, places.p_cgroups, false);
  if (v2_room < room) room = v2_room;
  if (std::snprintf(g_mount, sizeof g_mount, "%s/memory", places.p_cgroups) < int(sizeof g_mount)) {
    const std::int64_t v1_room = GetHierarchyRoom(places, g_mount, true);
    if (v1_room < room) room = v1_room;
  }
  if (room == NO_LIMIT) return 0;
  return room > MEMORY_MARGIN ? room - MEMORY_MARGIN : 1;
}
