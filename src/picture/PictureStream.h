// PictureStream: the bytes of a picture, read as a stream from a file
// descriptor (the program: a file or standard input) or from a std::istream
// (tests and fuzzing), through one buffer. Nothing is ever held whole: the
// readers of every format take the bytes as they come.
//
// Unlike a std::istream, it tells the end of the input from a read error,
// whose errno it keeps: a reset connection or a failing disk is no end of
// the file. A descriptor left non-blocking by another program is waited on,
// not taken for an error.

#ifndef MOTTLEPAGE_PICTURE_PICTURESTREAM_H
#define MOTTLEPAGE_PICTURE_PICTURESTREAM_H

#include <cstdint>
#include <cstdio>
#include <istream>

#include "common/WorkBuffer.h"

class PictureStream {
 public:
  explicit PictureStream(int file_descriptor);
  explicit PictureStream(std::istream& stream);

  int Peek() { return _p_next < _p_end || Refill() ? static_cast<unsigned char>(*_p_next) : EOF; }
  int Get() { return _p_next < _p_end || Refill() ? static_cast<unsigned char>(*_p_next++) : EOF; }
  // Past the next newline; false when the input ends first.
  bool SkipPastNewline();
  // Copies up to `size` bytes to p_target; returns how many the input held.
  std::int64_t ReadBlock(unsigned char* p_target, std::int64_t size);
  int GetReadError() const { return _read_error; }
  // Reads on until at least `wanted` unread bytes are in the buffer (at
  // most its size), the input ends or a read fails; returns how many are
  // there. Nothing is consumed: a reader then reads them as usual.
  std::int64_t PeekAhead(std::int64_t wanted);
  // The most bytes the buffer holds, and so the most PeekAhead gives.
  std::int64_t GetBufferSize() const { return std::int64_t(_chunk.GetSize()); }
  // The file descriptor read from, or -1 for a std::istream.
  int GetFileDescriptor() const { return _file_descriptor; }
  // Bytes handed out so far (consumed from the buffer).
  std::int64_t GetPosition() const { return _total_read - (_p_end - _p_next); }

  // The unread bytes in the buffer, for readers that scan it directly.
  const char* GetNext() const { return _p_next; }
  const char* GetEnd() const { return _p_end; }
  void SetNext(const char* p_next) { _p_next = p_next; }
  // Reads the next block once the buffer is used up; false at the end of
  // the input or after a read error.
  bool Refill();

 private:
  struct ChunkTag {};
  int _file_descriptor;
  std::istream* _p_stream;
  WorkBuffer<ChunkTag, 2048> _chunk;
  const char* _p_next;
  const char* _p_end;
  std::int64_t _total_read = 0;
  int _read_error = 0;

  // One read into p_target; 0 at the end, -1 after a read error.
  std::int64_t ReadSome(char* p_target, std::int64_t size);
};

#endif
