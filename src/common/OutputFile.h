// OutputFile: a file that is replaced only by a complete page (--output).
//
// Open makes a new file in FILE's folder (.mottlepage-XXXXXX, closed on
// exec), so that the page never lands half written where the old one was,
// and the rename cannot cross file systems. It gets FILE's mode, or for a
// new FILE the mode a shell's redirection gives (0666 less the umask). A
// FILE that is a symbolic link is replaced where the link points, as a
// redirection writes there. Commit hands the page to the disk (fsync) and
// renames it over FILE. Until then FILE is untouched: a file that is not
// committed is removed when the object ends, and also when SIGINT, SIGTERM
// or SIGHUP ends the program.
//
// A FILE that exists and is no regular file (/dev/null, /dev/full, a pipe)
// has no page to keep: it is written in place, as a redirection would. A
// directory, or a FILE the user may not write, is refused.
//
// Open and Commit return 0, or minus the errno of what failed (-ENOMEM when
// not even the paths find memory: nothing here throws). One OutputFile at
// a time may be open.

#ifndef MOTTLEPAGE_COMMON_OUTPUTFILE_H
#define MOTTLEPAGE_COMMON_OUTPUTFILE_H

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Discard(); }

  int Open(const char* p_path);
  int GetDescriptor() const { return _file_descriptor; }
  int Commit();

 private:
  int _file_descriptor = -1;
  bool _is_in_place = false;
  char* _p_target = nullptr;     // malloc'd: the file the page replaces
  char* _p_temporary = nullptr;  // malloc'd: the new file, null when none is left to remove

  int OpenTemporary(int mode);
  void Discard();
};

#endif
