#include "picture/PictureStream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const std::size_t CHUNK_SIZE = std::size_t(1) << 16;

}  // namespace

PictureStream::PictureStream(int file_descriptor)
    : _file_descriptor(file_descriptor), _p_stream(nullptr), _chunk(CHUNK_SIZE), _p_next(_chunk.GetData()),
      _p_end(_p_next) {}

PictureStream::PictureStream(std::istream& stream)
    : _file_descriptor(-1), _p_stream(&stream), _chunk(CHUNK_SIZE), _p_next(_chunk.GetData()), _p_end(_p_next) {}

std::int64_t PictureStream::ReadSome(char* p_target, std::int64_t size) {
  if (_read_error != 0) return -1;
  if (_p_stream != nullptr) {
    _p_stream->read(p_target, std::streamsize(size));
    if (_p_stream->bad()) _read_error = EIO;
    _total_read += _p_stream->gcount();
    return _p_stream->gcount();
  }
  // Linux moves at most this much in one read.
  const std::int64_t MAX_READ = 0x7ffff000;
  for (;;) {
    ssize_t count = read(_file_descriptor, p_target, std::size_t(size < MAX_READ ? size : MAX_READ));
    if (count >= 0) {
      _total_read += count;
      return count;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd wanted = {_file_descriptor, POLLIN, 0};
      if (poll(&wanted, 1, -1) >= 0 || errno == EINTR) continue;
    }
    _read_error = errno;
    return -1;
  }
}

bool PictureStream::Refill() {
  if (_p_next < _p_end) return true;
  std::int64_t count = ReadSome(_chunk.GetData(), std::int64_t(_chunk.GetSize()));
  _p_next = _chunk.GetData();
  _p_end = _p_next + (count > 0 ? count : 0);
  return count > 0;
}

bool PictureStream::SkipPastNewline() {
  for (;;) {
    if (!Refill()) return false;
    const void* p_newline = std::memchr(_p_next, '\n', std::size_t(_p_end - _p_next));
    if (p_newline != nullptr) {
      _p_next = static_cast<const char*>(p_newline) + 1;
      return true;
    }
    _p_next = _p_end;
  }
}

std::int64_t PictureStream::PeekAhead(std::int64_t wanted) {
  const std::int64_t capacity = std::int64_t(_chunk.GetSize());
  if (wanted > capacity) wanted = capacity;
  std::int64_t held = _p_end - _p_next;
  if (held >= wanted) return held;
  char* p_start = _chunk.GetData();
  std::memmove(p_start, _p_next, std::size_t(held));
  _p_next = p_start;
  _p_end = p_start + held;
  while (held < wanted) {
    std::int64_t count = ReadSome(p_start + held, capacity - held);
    if (count <= 0) break;
    held += count;
    _p_end = p_start + held;
  }
  return held;
}

std::int64_t PictureStream::ReadBlock(unsigned char* p_target, std::int64_t size) {
  std::int64_t done = _p_end - _p_next < size ? _p_end - _p_next : size;
  std::memcpy(p_target, _p_next, std::size_t(done));
  _p_next += done;
  // The rest goes straight into the target, without a copy.
  while (done < size) {
    std::int64_t count = ReadSome(reinterpret_cast<char*>(p_target) + done, size - done);
    if (count <= 0) break;
    done += count;
  }
  return done;
}
