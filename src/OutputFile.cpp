#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <signal.h>
#include <cstdlib>

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

// Where a link points, or the path itself when it is none (or points
// nowhere: the link is then replaced).
std::string FindTarget(const char* p_path) {
  struct stat link {};
  if (lstat(p_path, &link) != 0 || !S_ISLNK(link.st_mode)) return p_path;
  char* p_resolved = realpath(p_path, nullptr);
  if (p_resolved == nullptr) return p_path;
  std::string target = p_resolved;
  std::free(p_resolved);
  return target;
}

// Hands the folder's new entry to the disk; a folder that cannot be synced
// (some file systems) has done what it can.
void SyncFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  fsync(descriptor);
  close(descriptor);
}

}  // namespace

int OutputFile::Open(const char* p_path) {
  _target = FindTarget(p_path);
  struct stat existing {};
  if (stat(_target.c_str(), &existing) != 0) {
    return errno == ENOENT ? OpenTemporary(GetNewFileMode()) : -errno;
  }
  if (S_ISDIR(existing.st_mode)) return -EISDIR;
  if (access(_target.c_str(), W_OK) != 0) return -errno;
  if (S_ISREG(existing.st_mode)) return OpenTemporary(int(existing.st_mode & 07777));
  _is_in_place = true;
  _file_descriptor = open(_target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  return _file_descriptor >= 0 ? 0 : -errno;
}

int OutputFile::OpenTemporary(int mode) {
  const std::size_t slash = _target.rfind('/');
  _temporary = (slash == std::string::npos ? std::string() : _target.substr(0, slash + 1)) + ".mottlepage-XXXXXX";
  WatchSignals(true);
  _file_descriptor = mkostemp(&_temporary[0], O_CLOEXEC);
  if (_file_descriptor < 0) {
    const int error = errno;
    _temporary.clear();
    WatchSignals(false);
    return -error;
  }
  g_p_unfinished = _temporary.c_str();
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
  if (error == 0 && rename(_temporary.c_str(), _target.c_str()) != 0) error = -errno;
  if (error != 0) return error;
  g_p_unfinished = nullptr;
  _temporary.clear();
  WatchSignals(false);
  SyncFolder(_target);
  return 0;
}

void OutputFile::Discard() {
  if (_file_descriptor >= 0) close(_file_descriptor);
  _file_descriptor = -1;
  if (_temporary.empty()) return;
  g_p_unfinished = nullptr;
  unlink(_temporary.c_str());
  _temporary.clear();
  WatchSignals(false);
}
