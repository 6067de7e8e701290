#include "common/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <signal.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The file to remove should a signal end the program before Commit.
const char* volatile g_p_unfinished = nullptr;

extern "C" void RemoveUnfinished(int signal_number) {
  const char* p_path = g_p_unfinished;
  if (p_path != nullptr) unlink(p_path);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// A signal that was ignored (as for a job started with nohup) stays so.
void WatchSignals(bool is_on) {
  for (int signal_number : ENDING_SIGNALS) {
    struct sigaction action {};
    sigaction(signal_number, nullptr, &action);
    if (action.sa_handler == SIG_IGN) continue;
    action.sa_handler = is_on ? RemoveUnfinished : SIG_DFL;
    sigaction(signal_number, &action, nullptr);
  }
}

// The mode a shell's redirection gives a new file.
int GetNewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~int(mask);
}

// A copy of `length` bytes of p_text, terminated, or null when memory is
// short.
char* CopyText(const char* p_text, std::size_t length) {
  char* p_copy = static_cast<char*>(std::malloc(length + 1));
  if (p_copy == nullptr) return nullptr;
  std::memcpy(p_copy, p_text, length);
  p_copy[length] = '\0';
  return p_copy;
}

// The length of the folder part of a path, its last '/' included.
std::size_t GetFolderLength(const char* p_path) {
  const char* p_slash = std::strrchr(p_path, '/');
  return p_slash == nullptr ? 0 : std::size_t(p_slash - p_path) + 1;
}

// Where a dangling link points, as a redirection would create it: its text,
// taken from the link's folder when it is relative. Malloc'd; null when
// memory is short or the link cannot be read.
char* ReadLinkText(const char* p_path, std::size_t link_size) {
  const std::size_t folder_length = GetFolderLength(p_path);
  char* p_text = static_cast<char*>(std::malloc(folder_length + link_size + 1));
  if (p_text == nullptr) return nullptr;
  const ssize_t length = readlink(p_path, p_text + folder_length, link_size + 1);
  if (length <= 0 || std::size_t(length) > link_size) {
    std::free(p_text);
    return nullptr;
  }
  const bool is_relative = p_text[folder_length] != '/';
  if (is_relative) std::memcpy(p_text, p_path, folder_length);
  const std::size_t start = is_relative ? 0 : folder_length;
  std::memmove(p_text, p_text + start, folder_length - start + std::size_t(length));
  p_text[folder_length - start + std::size_t(length)] = '\0';
  return p_text;
}

// Where a link points (the file a redirection writes), or the path itself
// when it is none. Malloc'd; null when memory is short.
char* FindTarget(const char* p_path) {
  struct stat link {};
  if (lstat(p_path, &link) != 0 || !S_ISLNK(link.st_mode)) return CopyText(p_path, std::strlen(p_path));
  char* p_resolved = realpath(p_path, nullptr);
  if (p_resolved == nullptr) p_resolved = ReadLinkText(p_path, std::size_t(link.st_size));
  return p_resolved != nullptr ? p_resolved : CopyText(p_path, std::strlen(p_path));
}

// Hands the folder's new entry to the disk; a folder that cannot be synced
// (some file systems) has done what it can.
void SyncFolder(const char* p_path) {
  const std::size_t length = GetFolderLength(p_path);
  char* p_folder = length == 0 ? CopyText(".", 1) : CopyText(p_path, length);
  if (p_folder == nullptr) return;
  const int descriptor = open(p_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::free(p_folder);
  if (descriptor < 0) return;
  fsync(descriptor);
  close(descriptor);
}

}  // namespace

int OutputFile::Open(const char* p_path) {
  _p_target = FindTarget(p_path);
  if (_p_target == nullptr) return -ENOMEM;
  struct stat existing {};
  if (stat(_p_target, &existing) != 0) {
    return errno == ENOENT ? OpenTemporary(GetNewFileMode()) : -errno;
  }
  if (S_ISDIR(existing.st_mode)) return -EISDIR;
  if (access(_p_target, W_OK) != 0) return -errno;
  if (S_ISREG(existing.st_mode)) return OpenTemporary(int(existing.st_mode & 07777));
  _is_in_place = true;
  _file_descriptor = open(_p_target, O_WRONLY | O_TRUNC | O_CLOEXEC);
  return _file_descriptor >= 0 ? 0 : -errno;
}

int OutputFile::OpenTemporary(int mode) {
  static const char NAME[] = ".mottlepage-XXXXXX";
  const std::size_t folder_length = GetFolderLength(_p_target);
  _p_temporary = static_cast<char*>(std::malloc(folder_length + sizeof NAME));
  if (_p_temporary == nullptr) return -ENOMEM;
  std::memcpy(_p_temporary, _p_target, folder_length);
  std::memcpy(_p_temporary + folder_length, NAME, sizeof NAME);
  WatchSignals(true);
  _file_descriptor = mkostemp(_p_temporary, O_CLOEXEC);
  if (_file_descriptor < 0) {
    const int error = errno;
    std::free(_p_temporary);
    _p_temporary = nullptr;
    WatchSignals(false);
    return -error;
  }
  g_p_unfinished = _p_temporary;
  return fchmod(_file_descriptor, mode_t(mode)) == 0 ? 0 : -errno;
}

int OutputFile::Commit() {
  if (_is_in_place) {
    const int status = close(_file_descriptor);
    _file_descriptor = -1;
    return status == 0 ? 0 : -errno;
  }
  int error = fsync(_file_descriptor) == 0 ? 0 : -errno;
  const int status = close(_file_descriptor);
  _file_descriptor = -1;
  if (error == 0 && status != 0) error = -errno;
  if (error == 0 && rename(_p_temporary, _p_target) != 0) error = -errno;
  if (error != 0) return error;
  g_p_unfinished = nullptr;
  std::free(_p_temporary);
  _p_temporary = nullptr;
  WatchSignals(false);
  SyncFolder(_p_target);
  return 0;
}

void OutputFile::Discard() {
  if (_file_descriptor >= 0) close(_file_descriptor);
  _file_descriptor = -1;
  if (_p_temporary != nullptr) {
    g_p_unfinished = nullptr;
    unlink(_p_temporary);
    std::free(_p_temporary);
    _p_temporary = nullptr;
    WatchSignals(false);
  }
  std::free(_p_target);
  _p_target = nullptr;
}
