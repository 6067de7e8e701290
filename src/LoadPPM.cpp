#include "LoadPPM.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

const int MAX_LINE = 6000;

// Faulting in a large pixel buffer page by page costs more than reading the
// file; transparent huge pages cut that down. Only a hint: failure is fine.
void AskForHugePages(unsigned char* p_buffer, std::int64_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const std::uintptr_t HUGE_PAGE = std::uintptr_t(2) << 20;
  std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(p_buffer) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p_buffer) + std::uintptr_t(size)) & ~(HUGE_PAGE - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)p_buffer;
  (void)size;
#endif
}

// Zeroes the unfilled part of the pixel buffer. A large range is handed back
// to the kernel instead, which then supplies zero pages on demand: a huge
// header over a short file costs neither the time nor the memory of
// writing gigabytes of zeros.
void ClearBytes(unsigned char* p_start, std::int64_t size) {
#if defined(__linux__) && defined(MADV_DONTNEED)
  const std::uintptr_t PAGE = std::uintptr_t(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(p_start);
  const std::uintptr_t start = (first + PAGE - 1) & ~(PAGE - 1);
  const std::uintptr_t end = (first + std::uintptr_t(size)) & ~(PAGE - 1);
  if (end > start + 64 * PAGE) {
    std::memset(p_start, 0, start - first);
    std::memset(reinterpret_cast<void*>(end), 0, first + std::uintptr_t(size) - end);
    if (madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0) return;
  }
#endif
  std::memset(p_start, 0, std::size_t(size));
}

inline bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\r'; }

// End of a data line's text: its newline, the end of the input, or a NUL
// byte (the line's text stops there, as it would in a C string).
inline bool IsEndOfText(int c) { return c == '\n' || c == '\0' || c == EOF; }

// Reads the samples of a plain file as a stream of lines of any length,
// through a fixed chunk buffer: no line is ever held whole in memory, and a
// number that straddles two chunks is still read as one number.
class PlainSampleReader {
 public:
  explicit PlainSampleReader(std::istream& image_stream)
      : _image_stream(image_stream), _chunk(1 << 16), _p_next(_chunk.GetData()), _p_end(_p_next) {}

  // Begins the next line; false when the input has nothing left.
  bool StartLine() {
    _repeat_count = 0;
    int c = Peek();
    if (c == EOF) return false;
    _is_comment = c == '#';
    return true;
  }

  bool IsCommentLine() const { return _is_comment; }

  // The next number of the current line, or -1 when its text has none left.
  // A word that is no number reads as 0.
  int GetNextNumber() {
    int value = ReadShortNumber();
    if (value != NOT_SHORT) return value;
    if (_repeat_count > 0) {
      --_repeat_count;
      return _repeat_value;
    }
    int vertical_tokens = 0;
    for (;;) {
      SkipBlanks();
      int c = Peek();
      if (IsEndOfText(c)) return vertical_tokens == 0 ? -1 : Repeat(0, vertical_tokens);
      while (c == '\v' || c == '\f') c = Advance();
      // A token made only of vertical tab and form feed: the decimal rule
      // skips those as white space and reads on into the next token, whose
      // value this token then takes as well.
      if (IsBlank(c) || IsEndOfText(c)) {
        ++vertical_tokens;
        continue;
      }
      return Repeat(ReadTokenValue(c), vertical_tokens + 1);
    }
  }

  // Skips what is left of the line. True when the line turned out to be a
  // comment line: it starts with '#' and ends in a newline.
  bool FinishLine() {
    _repeat_count = 0;
    for (;;) {
      if (_p_next == _p_end && !Refill()) return false;
      const void* p_newline = std::memchr(_p_next, '\n', std::size_t(_p_end - _p_next));
      if (p_newline != nullptr) {
        _p_next = static_cast<const char*>(p_newline) + 1;
        return _is_comment;
      }
      _p_next = _p_end;
    }
  }

 private:
  std::istream& _image_stream;
  WorkBuffer _chunk;
  const char* _p_next;
  const char* _p_end;
  bool _is_comment = false;
  int _repeat_count = 0;
  int _repeat_value = 0;

  bool Refill() {
    _image_stream.read(_chunk.GetData(), std::streamsize(_chunk.GetSize()));
    _p_next = _chunk.GetData();
    _p_end = _p_next + _image_stream.gcount();
    return _p_end != _p_next;
  }

  int Peek() {
    if (_p_next == _p_end && !Refill()) return EOF;
    return static_cast<unsigned char>(*_p_next);
  }

  int Advance() {
    ++_p_next;
    return Peek();
  }

  void SkipBlanks() {
    for (int c = Peek(); IsBlank(c); c = Advance()) {
    }
  }

  static const int NOT_SHORT = -2;

  // The common case, read without the bounds checks of the general path:
  // spaces, then up to nine digits followed by white space, all inside the
  // chunk. Anything else is left to GetNextNumber's general path.
  int ReadShortNumber() {
    if (_repeat_count > 0 || _p_end - _p_next < 16) return NOT_SHORT;
    const char* p_limit = _p_end - 12;
    const char* p = _p_next;
    while (p < p_limit && *p == ' ') ++p;
    if (p >= p_limit) return NOT_SHORT;
    unsigned digit = unsigned(*p - '0');
    if (digit > 9) return NOT_SHORT;
    int value = int(digit);
    const char* p_stop = p + 9;
    for (++p; p < p_stop && (digit = unsigned(*p - '0')) <= 9; ++p) value = value * 10 + int(digit);
    if (!IsBlank(*p) && *p != '\n') return NOT_SHORT;
    _p_next = p;
    return value;
  }

  int Repeat(int value, int count) {
    _repeat_value = value;
    _repeat_count = count - 1;
    return value;
  }

  // Sign and digits at c, then past the rest of the token.
  int ReadTokenValue(int c) {
    bool is_negative = c == '-';
    if (c == '-' || c == '+') c = Advance();
    std::int64_t magnitude = 0;
    for (; c >= '0' && c <= '9'; c = Advance()) magnitude = AddDecimalDigit(magnitude, c - '0');
    while (!IsBlank(c) && !IsEndOfText(c)) c = Advance();
    return SignedDecimal(magnitude, is_negative);
  }
};

// Fills the buffer from plain sample text; returns the number of samples
// stored. Samples of a '#' line are stored as they come and taken back if
// the line ends in a newline (a comment after all): only a last line
// without a newline keeps them.
std::int64_t ReadPlainSamples(unsigned char* p_rgb_image, std::int64_t size_image, std::istream& image_stream) {
  PlainSampleReader reader(image_stream);
  std::int64_t counter = 0;
  while (counter < size_image && reader.StartLine()) {
    std::int64_t line_start = counter;
    for (int value; counter < size_image && (value = reader.GetNextNumber()) >= 0;) {
      p_rgb_image[counter++] = static_cast<unsigned char>(value);
    }
    if (counter == size_image && !reader.IsCommentLine()) break;
    if (reader.FinishLine()) {
      std::memset(p_rgb_image + line_start, 0, std::size_t(counter - line_start));
      counter = line_start;
    }
  }
  return counter;
}

}  // namespace

LoadPPM::LoadPPM(unsigned char*& p_rgb_image, const char* p_filename, int& width, int& height)
    : _error_number(0) {
  p_rgb_image = nullptr;
  if (p_filename == nullptr) {
    _error_number = -3;
    return;
  }
  errno = 0;
  std::ifstream image_stream(p_filename, std::ios::in | std::ios::binary);
  if (!image_stream.is_open()) {
    _details.open_error = errno;
    _error_number = -3;
    return;
  }
  _error_number = Load(p_rgb_image, image_stream, width, height, MAX_PIXELS);
}

LoadPPM::LoadPPM(unsigned char*& p_rgb_image, std::istream& image_stream, int& width, int& height,
                 std::int64_t max_pixels)
    : _error_number(0) {
  p_rgb_image = nullptr;
  _error_number = Load(p_rgb_image, image_stream, width, height, max_pixels);
}

int LoadPPM::Load(unsigned char*& p_rgb_image, std::istream& image_stream, int& width, int& height,
                  std::int64_t max_pixels) {
  int ppm_type = -1;
  int max_color_comp = 0;
  int error_number = ReadHeader(image_stream, ppm_type, width, height, max_color_comp);
  if (error_number != 0) return error_number;

  std::int64_t pixels = std::int64_t(width) * height;
  std::int64_t size_image = pixels * 3;
  if (pixels > max_pixels || std::uint64_t(size_image) > std::uint64_t(std::numeric_limits<std::ptrdiff_t>::max())) {
    return -9;
  }
  p_rgb_image = new (std::nothrow) unsigned char[std::size_t(size_image)];
  if (p_rgb_image == nullptr) return -9;
  AskForHugePages(p_rgb_image, size_image);

  error_number = ReadSamples(p_rgb_image, size_image, image_stream, ppm_type, max_color_comp);
  if (error_number != 0) {
    delete[] p_rgb_image;
    p_rgb_image = nullptr;
  }
  return error_number;
}

int LoadPPM::ReadHeader(std::istream& image_stream, int& ppm_type, int& width, int& height, int& max_color_comp) {
  char text[MAX_LINE] = {};
  bool is_cut = false;
  int length = 0;

  _details.is_empty = image_stream.peek() == EOF;
  bool is_read = GetNextPPMLine(image_stream, text, MAX_LINE, is_cut, length);
  _details.first_line_length = length;
  std::memcpy(_details.first_bytes, text, sizeof _details.first_bytes);
  if (!is_read) return -1;
  if (text[0] == 'P' && text[1] == '3') ppm_type = 1;
  if (text[0] == 'P' && text[1] == '6') ppm_type = 2;
  if (ppm_type == -1) return -2;
  if (is_cut && !SkipRestOfLine(image_stream)) return -1;

  if (!GetNextPPMLine(image_stream, text, MAX_LINE, is_cut, length)) return -4;
  width = ReadDecimal(text);
  if (width < 1 || width > 65535) return Refuse(-5, width);
  const char* p_space = std::strchr(text, ' ');
  _details.is_space_missing = p_space == nullptr;
  if (p_space == nullptr) return -6;
  height = ReadDecimal(p_space + 1);
  if (height < 1 || height > 65535) return Refuse(-6, height);
  if (is_cut && !SkipRestOfLine(image_stream)) return -4;

  if (!GetNextPPMLine(image_stream, text, MAX_LINE, is_cut, length)) return -7;
  max_color_comp = ReadDecimal(text);
  if (max_color_comp < 1 || max_color_comp > 65535) return Refuse(-8, max_color_comp);
  if (is_cut && !SkipRestOfLine(image_stream)) return -7;
  return 0;
}

int LoadPPM::Refuse(int error_number, int value) {
  _details.refused_value = value;
  return error_number;
}

int LoadPPM::ReadSamples(unsigned char* p_rgb_image, std::int64_t size_image, std::istream& image_stream,
                         int ppm_type, int max_color_comp) {
  std::int64_t filled = 0;
  if (ppm_type == 1) {
    if (max_color_comp != 255) return Refuse(-10, max_color_comp);
    filled = ReadPlainSamples(p_rgb_image, size_image, image_stream);
  } else {
    if (max_color_comp != 255) return Refuse(-11, max_color_comp);
    image_stream.read(reinterpret_cast<char*>(p_rgb_image), size_image);
    filled = image_stream.gcount();
  }
  // A short file leaves the rest black rather than whatever the heap held.
  ClearBytes(p_rgb_image + filled, size_image - filled);
  return 0;
}

bool LoadPPM::GetNextPPMLine(std::istream& image_stream, char* p_line, short size_buffer, bool& is_cut,
                             int& length) {
  for (;;) {
    is_cut = false;
    length = 0;
    if (image_stream.peek() == '#') {
      if (!SkipRestOfLine(image_stream)) return false;
      continue;
    }
    int c = EOF;
    while (length < size_buffer - 1) {
      c = image_stream.get();
      if (c == EOF || c == '\n') break;
      p_line[length++] = char(c);
    }
    p_line[length] = '\0';
    if (c == '\n') return true;
    if (c == EOF) return false;
    // The buffer is full: the newline may still be the next character.
    c = image_stream.peek();
    if (c == EOF) return false;
    if (c == '\n') {
      image_stream.get();
      return true;
    }
    is_cut = true;
    return true;
  }
}

bool LoadPPM::SkipRestOfLine(std::istream& image_stream) {
  image_stream.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  return !image_stream.eof() && !image_stream.bad();
}
