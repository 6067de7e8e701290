// Output: text to a file descriptor (the program's standard output and
// standard error) or to a stream (tests), through a buffer the caller
// provides.
//
// Flush hands everything to the file, as std::endl does for a stream. The
// first write that fails is kept with its errno (No space left on device,
// Broken pipe, ...); later output is dropped, so a writer may simply go on
// and check IsGood at the end, or whenever stopping early saves work. No
// memory is allocated and nothing is thrown.

#ifndef MOTTLEPAGE_COMMON_OUTPUT_H
#define MOTTLEPAGE_COMMON_OUTPUT_H

#include <cstddef>
#include <cstring>
#include <ostream>

class OutputBuffer {
 public:
  // p_storage holds `size` bytes, at least MIN_SIZE.
  static const std::size_t MIN_SIZE = 256;
  OutputBuffer(int file_descriptor, char* p_storage, std::size_t size);
  OutputBuffer(std::ostream& stream, char* p_storage, std::size_t size);

  // Room for `size` bytes (at most MIN_SIZE) at the returned position;
  // Commit then says how far it was filled.
  char* Reserve(std::size_t size) {
    if (_p_end + size > _p_storage + _size) Drain();
    return _p_end;
  }
  void Commit(char* p_end) { _p_end = p_end; }

  void Put(const char* p_text, std::size_t length);
  void Put(const char* p_text) { Put(p_text, std::strlen(p_text)); }
  void Put(char c) {
    char* p_out = Reserve(1);
    *p_out = c;
    Commit(p_out + 1);
  }
  void PutNumber(long long value);
  void Flush();

  bool IsGood() const { return _write_error == 0; }
  int GetWriteError() const { return _write_error; }

 private:
  int _file_descriptor;
  std::ostream* _p_stream;
  char* _p_storage;
  std::size_t _size;
  char* _p_end;
  int _write_error = 0;

  void Drain();
};

#endif
