// OutputFile: a file that is replaced only by a complete page (--output).
//
// Open finds where the page goes as a shell's redirection (> FILE) would on
// Debian, and makes a new file in that folder, so that the page never lands
// half written where the old one was, and the rename cannot cross file
// systems. The new file has no name while it is written (O_TMPFILE), so
// that no ending, SIGKILL included, leaves it behind; a file system without
// such files (or a system without /proc) gets a named one instead,
// .mottlepage-XXXXXX, removed when the object ends and when a signal that
// can be caught ends the program. It gets FILE's mode, or for a new FILE
// the mode a redirection gives (0666 less the umask). Commit hands the page
// to the disk (fsync) and puts it in FILE's place. Until then FILE is
// untouched. SIGXFSZ is ignored from Open on, so that a page beyond the
// file size limit (ulimit -f) is an error (EFBIG), not a silent end.
//
// A FILE that is a symbolic link is replaced where the link points (a
// dangling link makes the file it names), with the kernel's protections as
// Debian sets them (fs.protected_symlinks=1, fs.protected_fifos=1), whatever
// the machine's own setting: in a sticky folder that everyone may write
// (/tmp), a link is followed, and an existing FIFO written, only when it
// belongs to the user or to the folder's owner; otherwise EACCES. As in the
// kernel, this holds for the path's last name and every link it leads
// through, not for the folders on the way.
//
// A FILE that exists and is no regular file (/dev/null, /dev/full, a pipe,
// a terminal, /dev/stdout on a pipe) has no page to keep: it is written in
// place, as a redirection would. A directory, or a FILE the user may not
// write, is refused.
//
// Open and Commit return 0, or minus the errno of what failed (-ENOMEM when
// not even the paths find memory: nothing here throws). One OutputFile at
// a time may be open.

#ifndef MOTTLEPAGE_COMMON_OUTPUTFILE_H
#define MOTTLEPAGE_COMMON_OUTPUTFILE_H

struct stat;

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Discard(); }

  int Open(const char* p_path);
  int GetDescriptor() const { return _file_descriptor; }
  int Commit();
  // Whether Open found a file at FILE, which a failure leaves as it was: a
  // link counts, unless it leads to no file (a dangling link).
  bool HasOldFile() const { return _has_old_file; }

  // Whether a page written to p_path would replace the image's own file
  // (the same device and inode, by any name or link): the file p_image
  // names, or standard input's when p_image is null. Nothing is made or
  // opened for writing.
  static bool IsImageFile(const char* p_path, const char* p_image);

 private:
  int _file_descriptor = -1;
  int _folder = -1;              // O_PATH: the folder the page goes to
  char* _p_name = nullptr;       // malloc'd: its name there
  char _temporary[20] = {};      // a named new file's name in _folder; empty when none is left to remove
  bool _has_old_file = false;
  bool _is_in_place = false;
  bool _is_anonymous = false;     // an O_TMPFILE file, named only by Commit
  bool _is_magic_link = false;    // _p_name is a /proc link to an open file: followed by the kernel

  int Find(const char* p_path, struct stat& found);
  int MoveTo(int base, const char* p_path);
  int FollowLink(struct stat& found);
  int FollowProcLink(struct stat& found);
  int OpenInPlace(const struct stat& found);
  int OpenNew(int mode);
  int OpenNamed(int mode);
  int NameAnonymous();
  void ForgetTemporary();
  void SyncFolder() const;
  void Discard();
};

#endif
