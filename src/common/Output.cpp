#include "common/Output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

OutputBuffer::OutputBuffer(int file_descriptor, char* p_storage, std::size_t size)
    : _file_descriptor(file_descriptor), _p_stream(nullptr), _p_storage(p_storage), _size(size), _p_end(p_storage) {}

OutputBuffer::OutputBuffer(std::ostream& stream, char* p_storage, std::size_t size)
    : _file_descriptor(-1), _p_stream(&stream), _p_storage(p_storage), _size(size), _p_end(p_storage) {}

void OutputBuffer::Put(const char* p_text, std::size_t length) {
  while (length > 0) {
    std::size_t room = _size - std::size_t(_p_end - _p_storage);
    if (room == 0) {
      Drain();
      continue;
    }
    std::size_t piece = length < room ? length : room;
    std::memcpy(_p_end, p_text, piece);
    _p_end += piece;
    p_text += piece;
    length -= piece;
  }
}

void OutputBuffer::PutNumber(long long value) {
  char digits[24];
  char* p = digits + sizeof digits;
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
  do {
    *--p = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--p = '-';
  Put(p, std::size_t(digits + sizeof digits - p));
}

void OutputBuffer::Flush() {
  Drain();
  if (_p_stream != nullptr && _write_error == 0 && !_p_stream->flush()) _write_error = EIO;
}

void OutputBuffer::Drain() {
  const char* p_next = _p_storage;
  if (_p_stream != nullptr && _write_error == 0) {
    if (!_p_stream->write(p_next, _p_end - p_next)) _write_error = EIO;
    p_next = _p_end;
  }
  while (p_next < _p_end && _write_error == 0) {
    ssize_t count = write(_file_descriptor, p_next, std::size_t(_p_end - p_next));
    if (count >= 0) {
      p_next += count;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // An output left non-blocking by another program: wait for room.
      struct pollfd wanted = {_file_descriptor, POLLOUT, 0};
      if (poll(&wanted, 1, -1) < 0 && errno != EINTR) _write_error = errno;
    } else if (errno != EINTR) {
      _write_error = errno;
    }
  }
  _p_end = _p_storage;
}
