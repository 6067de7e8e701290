#include "common/OutputFile.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// As many links as the kernel follows in one path.
const int MAX_LINKS = 40;
// Tries at a free temporary name before giving up with EEXIST.
const int NAME_TRIES = 100;
const char TEMPORARY_NAME[] = ".mottlepage-";
const std::size_t RANDOM_LETTERS = 6;

// The named new file to remove should a signal end the program before
// Commit.
volatile sig_atomic_t g_unfinished_folder = AT_FDCWD;
const char* volatile g_p_unfinished = nullptr;

extern "C" void RemoveUnfinished(int signal_number) {
  const char* p_name = g_p_unfinished;
  if (p_name != nullptr) unlinkat(int(g_unfinished_folder), p_name, 0);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Whether a signal ends the program unless it is caught (SIGUSR1, SIGALRM,
// a crash's SIGSEGV, ...); SIGKILL and SIGSTOP cannot be caught at all.
bool IsEnding(int signal_number) {
  switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

// A signal that was ignored (as for a job started with nohup) stays so.
void WatchSignals(bool is_on) {
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (!IsEnding(signal_number)) continue;
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action.sa_handler = is_on ? RemoveUnfinished : SIG_DFL;
    sigaction(signal_number, &action, nullptr);
  }
}

// Holds back every signal that can be held while a few system calls must
// not be parted.
class SignalPause {
 public:
  SignalPause() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &_held);
  }
  ~SignalPause() { sigprocmask(SIG_SETMASK, &_held, nullptr); }
  SignalPause(const SignalPause&) = delete;
  SignalPause& operator=(const SignalPause&) = delete;

 private:
  sigset_t _held;
};

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

// .mottlepage- and six random letters, into p_name (20 bytes). Without the
// system's random source, the clock and the process tell names apart.
void MakeTemporaryName(char* p_name) {
  static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned long s_tries = 0;
  unsigned char bytes[RANDOM_LETTERS] = {};
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != ssize_t(sizeof bytes)) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long value = static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(getpid()) << 20);
    value ^= ++s_tries * 2654435761u;
    for (unsigned char& byte : bytes) {
      byte = static_cast<unsigned char>(value % 62);
      value /= 62;
    }
  }
  std::memcpy(p_name, TEMPORARY_NAME, sizeof TEMPORARY_NAME - 1);
  for (std::size_t i = 0; i < RANDOM_LETTERS; ++i) p_name[sizeof TEMPORARY_NAME - 1 + i] = LETTERS[bytes[i] % 62];
  p_name[sizeof TEMPORARY_NAME - 1 + RANDOM_LETTERS] = '\0';
}

// /proc's name for an open file, through which an O_TMPFILE file is linked.
void GetProcPath(int descriptor, char (&path)[32]) { std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor); }

bool IsSameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether a file in a sticky folder that everyone may write (as /tmp)
// belongs to someone else: neither to this user nor to the folder's owner.
// The kernel follows no such link and opens no such FIFO to write when
// fs.protected_symlinks and fs.protected_fifos are on (Debian's default),
// so that nobody can steer another user's output into a file of their
// choosing; the page keeps to that on every machine.
bool IsStrangersInSharedFolder(const struct stat& folder, const struct stat& file) {
  const bool is_shared = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  return is_shared && file.st_uid != geteuid() && file.st_uid != folder.st_uid;
}

// A link's text, malloc'd; null with errno set when it cannot be read.
char* ReadLink(int folder, const char* p_name) {
  char* p_text = static_cast<char*>(std::malloc(PATH_MAX));
  if (p_text == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const ssize_t length = readlinkat(folder, p_name, p_text, PATH_MAX);
  if (length < 0 || length == PATH_MAX) {
    const int error = length < 0 ? errno : ENAMETOOLONG;
    std::free(p_text);
    errno = error;
    return nullptr;
  }
  p_text[length] = '\0';
  return p_text;
}

}  // namespace

bool OutputFile::IsImageFile(const char* p_path, const char* p_image) {
  struct stat image {};
  const int status = p_image == nullptr ? fstat(STDIN_FILENO, &image) : stat(p_image, &image);
  // A terminal or a pipe both read and written is no picture to lose.
  if (status != 0 || !S_ISREG(image.st_mode)) return false;
  OutputFile output;
  struct stat found {};
  return output.Find(p_path, found) == 0 && output._has_old_file && IsSameFile(found, image);
}

int OutputFile::Open(const char* p_path) {
  signal(SIGXFSZ, SIG_IGN);
  struct stat found {};
  const int error = Find(p_path, found);
  if (error != 0) return error;
  if (!_has_old_file) return OpenNew(GetNewFileMode());
  if (S_ISDIR(found.st_mode)) return -EISDIR;
  if (!S_ISREG(found.st_mode) || _is_magic_link) return OpenInPlace(found);
  if (faccessat(_folder, _p_name, W_OK, 0) != 0) return -errno;
  return OpenNew(int(found.st_mode & 07777));
}

// Walks to the page's place as a redirection does; `found` is what stands
// there when _has_old_file.
int OutputFile::Find(const char* p_path, struct stat& found) {
  int error = MoveTo(AT_FDCWD, p_path);
  for (int links = 0; error == 0; ++links) {
    if (fstatat(_folder, _p_name, &found, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -errno;
    _has_old_file = true;
    if (!S_ISLNK(found.st_mode)) return 0;
    if (links == MAX_LINKS) return -ELOOP;
    error = FollowLink(found);
    if (_is_magic_link) return error;
  }
  return error;
}

// Makes _folder the folder of p_path (from `base` when p_path is relative)
// and _p_name its last name. The folder is opened as "FOLDER/.", so that
// the link protection applies to the last name alone, as in the kernel.
// A path that ends in '/' names a folder, which the page cannot be.
int OutputFile::MoveTo(int base, const char* p_path) {
  const std::size_t length = std::strlen(p_path);
  if (length == 0) return -ENOENT;
  std::size_t end = length;
  while (end > 0 && p_path[end - 1] == '/') --end;
  if (end == 0) return -EISDIR;
  std::size_t start = end;
  while (start > 0 && p_path[start - 1] != '/') --start;
  char* p_folder = CopyText(p_path, start + 1);
  char* p_name = CopyText(p_path + start, end - start);
  if (p_folder == nullptr || p_name == nullptr) {
    std::free(p_folder);
    std::free(p_name);
    return -ENOMEM;
  }
  p_folder[start] = '.';
  const int folder = openat(base, p_folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int error = errno;
  std::free(p_folder);
  if (folder < 0) {
    std::free(p_name);
    return -error;
  }
  if (_folder >= 0) close(_folder);
  std::free(_p_name);
  _folder = folder;
  _p_name = p_name;
  return end < length ? -EISDIR : 0;
}

// Follows the link `found` describes one step, where the link protection
// lets it.
int OutputFile::FollowLink(struct stat& found) {
  struct stat folder {};
  if (fstat(_folder, &folder) != 0) return -errno;
  if (IsStrangersInSharedFolder(folder, found)) return -EACCES;
  struct statfs system {};
  if (fstatfs(_folder, &system) == 0 && system.f_type == PROC_SUPER_MAGIC) return FollowProcLink(found);
  char* p_text = ReadLink(_folder, _p_name);
  if (p_text == nullptr) return -errno;
  _has_old_file = false;
  const int error = MoveTo(_folder, p_text);
  std::free(p_text);
  return error;
}

// A link in /proc (/dev/stdout leads to /proc/self/fd/1) stands for an open
// file, which its text only describes: "pipe:[1234]", or a path that may
// be gone. A regular file still at that path is replaced there as any
// other; anything else is written in place through the link itself.
int OutputFile::FollowProcLink(struct stat& found) {
  const int object = openat(_folder, _p_name, O_PATH | O_CLOEXEC);
  if (object < 0) return -errno;
  const int status = fstat(object, &found);
  const int error = errno;
  close(object);
  if (status != 0) return -error;
  char* p_text = ReadLink(_folder, _p_name);
  struct stat named {};
  const bool is_named = p_text != nullptr && p_text[0] == '/' && S_ISREG(found.st_mode) &&
                        fstatat(AT_FDCWD, p_text, &named, AT_SYMLINK_NOFOLLOW) == 0 && IsSameFile(named, found);
  _is_magic_link = !is_named;
  const int move_error = is_named ? MoveTo(AT_FDCWD, p_text) : 0;
  std::free(p_text);
  return move_error;
}

// FIFOs, devices and the like are written in place, as a redirection does.
// The name is not followed should it have turned into a link since it was
// looked at, and the opened file is checked again: in a shared folder,
// another user's FIFO may have been put there in between.
int OutputFile::OpenInPlace(const struct stat& found) {
  struct stat folder {};
  if (fstat(_folder, &folder) != 0) return -errno;
  if (S_ISFIFO(found.st_mode) && IsStrangersInSharedFolder(folder, found)) return -EACCES;
  const int no_follow = _is_magic_link ? 0 : O_NOFOLLOW;
  const int descriptor = openat(_folder, _p_name, O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC | no_follow);
  if (descriptor < 0) return -errno;
  struct stat opened {};
  if (fstat(descriptor, &opened) != 0 || (S_ISFIFO(opened.st_mode) && IsStrangersInSharedFolder(folder, opened))) {
    close(descriptor);
    return -EACCES;
  }
  _file_descriptor = descriptor;
  _is_in_place = true;
  return 0;
}

// The new file has no name until Commit gives it one (O_TMPFILE, linked
// through /proc); a file system or a system without either names it at
// once.
int OutputFile::OpenNew(int mode) {
  _file_descriptor = openat(_folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (_file_descriptor >= 0) {
    char proc_path[32];
    GetProcPath(_file_descriptor, proc_path);
    struct stat opened {};
    struct stat linked {};
    if (fstat(_file_descriptor, &opened) == 0 && stat(proc_path, &linked) == 0 && IsSameFile(opened, linked)) {
      _is_anonymous = true;
      return fchmod(_file_descriptor, mode_t(mode)) == 0 ? 0 : -errno;
    }
    close(_file_descriptor);
    _file_descriptor = -1;
  }
  return OpenNamed(mode);
}

int OutputFile::OpenNamed(int mode) {
  WatchSignals(true);
  int error = EEXIST;
  for (int i = 0; i < NAME_TRIES && error == EEXIST; ++i) {
    SignalPause pause;
    MakeTemporaryName(_temporary);
    _file_descriptor = openat(_folder, _temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    error = _file_descriptor >= 0 ? 0 : errno;
    if (error == 0) {
      g_unfinished_folder = _folder;
      g_p_unfinished = _temporary;
    }
  }
  if (error != 0) {
    _temporary[0] = '\0';
    WatchSignals(false);
    return -error;
  }
  return fchmod(_file_descriptor, mode_t(mode)) == 0 ? 0 : -errno;
}

int OutputFile::Commit() {
  if (_is_in_place) {
    const int status = close(_file_descriptor);
    _file_descriptor = -1;
    return status == 0 ? 0 : -errno;
  }
  int error = fsync(_file_descriptor) == 0 ? 0 : -errno;
  // An anonymous file is named while it is open, a named one renamed once
  // it is closed; after the first, the page is in place whatever close
  // says.
  if (_is_anonymous && error == 0) error = NameAnonymous();
  const int status = close(_file_descriptor);
  _file_descriptor = -1;
  if (!_is_anonymous && error == 0 && status != 0) error = -errno;
  if (!_is_anonymous && error == 0 && renameat(_folder, _temporary, _folder, _p_name) != 0) error = -errno;
  if (error != 0) return error;
  ForgetTemporary();
  SyncFolder();
  return 0;
}

// Gives the page FILE's name: at once when there was no file, else under a
// temporary name that is renamed over FILE (linkat replaces nothing). No
// signal that can be held comes between the two; SIGKILL there is the one
// way left to leave a named file behind.
int OutputFile::NameAnonymous() {
  char proc_path[32];
  GetProcPath(_file_descriptor, proc_path);
  SignalPause pause;
  if (!_has_old_file && linkat(AT_FDCWD, proc_path, _folder, _p_name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (!_has_old_file && errno != EEXIST) return -errno;
  int error = EEXIST;
  for (int i = 0; i < NAME_TRIES && error == EEXIST; ++i) {
    MakeTemporaryName(_temporary);
    error = linkat(AT_FDCWD, proc_path, _folder, _temporary, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
  }
  if (error == 0 && renameat(_folder, _temporary, _folder, _p_name) != 0) {
    error = errno;
    unlinkat(_folder, _temporary, 0);
  }
  _temporary[0] = '\0';
  return -error;
}

// The named new file is no longer the program's to remove.
void OutputFile::ForgetTemporary() {
  if (_temporary[0] == '\0') return;
  g_p_unfinished = nullptr;
  _temporary[0] = '\0';
  WatchSignals(false);
}

// Hands the folder's new entry to the disk; a folder that cannot be synced
// (some file systems) has done what it can.
void OutputFile::SyncFolder() const {
  const int descriptor = openat(_folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  fsync(descriptor);
  close(descriptor);
}

void OutputFile::Discard() {
  if (_file_descriptor >= 0) close(_file_descriptor);
  _file_descriptor = -1;
  // Removed before it is forgotten: a signal in between finds no file.
  if (_temporary[0] != '\0') unlinkat(_folder, _temporary, 0);
  ForgetTemporary();
  if (_folder >= 0) close(_folder);
  _folder = -1;
  std::free(_p_name);
  _p_name = nullptr;
}
