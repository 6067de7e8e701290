#include "picture/formats/LoadPPM.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/Decimal.h"
#include "common/WorkBuffer.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

struct LineTag {};

// The fastest plain sample code the processor runs, unless a test has
// lowered the limit.
PlainSampleCode g_plain_sample_limit = PlainSampleCode::AVX2;

PlainSampleCode GetPlainSampleCode() {
  PlainSampleCode best = GetBestPlainSampleCode();
  return best < g_plain_sample_limit ? best : g_plain_sample_limit;
}

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
// straight from the input's buffer: no line is ever held whole in memory,
// and a number that straddles two blocks is still read as one number.
class PlainSampleReader {
 public:
  PlainSampleReader(PictureStream& input, FastSampleReader p_fast_reader)
      : _input(input), _p_next(input.GetNext()), _p_end(input.GetEnd()), _p_fast_reader(p_fast_reader) {}
  ~PlainSampleReader() { _input.SetNext(_p_next); }

  // Begins the next line; false when the input has nothing left.
  bool StartLine() {
    _repeat_count = 0;
    int c = Peek();
    if (c == EOF) return false;
    _is_comment = c == '#';
    return true;
  }

  bool IsCommentLine() const { return _is_comment; }

  // As many samples of a data line as the fast path reads from here on,
  // at most `wanted`; 0 when it cannot go on. After a block it could not
  // read, it waits until the scalar path has passed that block.
  std::int64_t ReadFastSamples(unsigned char* p_out, std::int64_t wanted) {
    if (_p_fast_reader == nullptr || _is_comment || _repeat_count > 0 || _p_next < _p_fast_retry) return 0;
    std::int64_t count = _p_fast_reader(_p_next, _p_end, p_out, wanted);
    _p_fast_retry = _p_next + 32;
    return count;
  }

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
  PictureStream& _input;
  const char* _p_next;
  const char* _p_end;
  bool _is_comment = false;
  int _repeat_count = 0;
  int _repeat_value = 0;
  FastSampleReader _p_fast_reader;
  const char* _p_fast_retry = nullptr;

  bool Refill() {
    _input.SetNext(_p_end);
    bool is_filled = _input.Refill();
    _p_next = _input.GetNext();
    _p_end = _input.GetEnd();
    _p_fast_retry = nullptr;
    return is_filled;
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
std::int64_t ReadPlainSamples(unsigned char* p_rgb_image, std::int64_t size_image, PictureStream& input) {
  PlainSampleReader reader(input, GetFastSampleReader(GetPlainSampleCode()));
  std::int64_t counter = 0;
  while (counter < size_image && reader.StartLine()) {
    std::int64_t line_start = counter;
    for (int value; counter < size_image;) {
      counter += reader.ReadFastSamples(p_rgb_image + counter, size_image - counter);
      if ((value = reader.GetNextNumber()) < 0) break;
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

PlainSampleCode LimitPlainSampleCode(PlainSampleCode code) {
  g_plain_sample_limit = code;
  return GetPlainSampleCode();
}

LoadPPM::LoadPPM(unsigned char*& p_rgb_image, const char* p_filename, int& width, int& height)
    : _error_number(0) {
  p_rgb_image = nullptr;
  if (p_filename == nullptr) {
    _error_number = -3;
    return;
  }
  int file_descriptor = open(p_filename, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (file_descriptor < 0) {
    _details.open_error = errno;
    _error_number = -3;
    return;
  }
  PictureStream input(file_descriptor);
  _error_number = Load(p_rgb_image, input, width, height, MAX_PIXELS);
  close(file_descriptor);
}

LoadPPM::LoadPPM(unsigned char*& p_rgb_image, std::istream& image_stream, int& width, int& height,
                 std::int64_t max_pixels)
    : _error_number(0) {
  p_rgb_image = nullptr;
  PictureStream input(image_stream);
  _error_number = Load(p_rgb_image, input, width, height, max_pixels);
}

LoadPPM::LoadPPM(unsigned char*& p_rgb_image, PictureStream& input, int& width, int& height, std::int64_t max_pixels)
    : _error_number(0) {
  p_rgb_image = nullptr;
  _error_number = Load(p_rgb_image, input, width, height, max_pixels);
}

int LoadPPM::Load(unsigned char*& p_rgb_image, PictureStream& input, int& width, int& height, std::int64_t max_pixels) {
  int ppm_type = -1;
  int max_color_comp = 0;
  WorkBuffer<LineTag, MAX_LINE> line(MAX_LINE);
  int error_number = ReadHeader(input, line.GetData(), ppm_type, width, height, max_color_comp);
  if (error_number == 0) {
    std::int64_t pixels = std::int64_t(width) * height;
    std::int64_t size_image = pixels * 3;
    if (pixels > max_pixels || std::uint64_t(size_image) > std::uint64_t(std::numeric_limits<std::ptrdiff_t>::max())) {
      return -9;
    }
    p_rgb_image = static_cast<unsigned char*>(std::malloc(std::size_t(size_image)));
    if (p_rgb_image == nullptr) return -9;
    AskForHugePages(p_rgb_image, size_image);
    error_number = ReadSamples(p_rgb_image, size_image, input, ppm_type, max_color_comp);
  }
  // Whatever a step made of the input it got, a read error is the cause.
  _details.read_error = input.GetReadError();
  if (_details.read_error != 0) error_number = -12;
  if (error_number != 0) {
    std::free(p_rgb_image);
    p_rgb_image = nullptr;
  }
  return error_number;
}

int LoadPPM::ReadHeader(PictureStream& input, char* text, int& ppm_type, int& width, int& height,
                        int& max_color_comp) {
  bool is_cut = false;
  int length = 0;

  _details.is_empty = input.Peek() == EOF;
  bool is_read = GetNextPPMLine(input, text, MAX_LINE, is_cut, length);
  _details.first_line_length = length;
  std::memset(_details.first_bytes, 0, sizeof _details.first_bytes);
  std::memcpy(_details.first_bytes, text, std::size_t(length) < sizeof _details.first_bytes ? length : sizeof _details.first_bytes);
  if (!is_read) return -1;
  if (text[0] == 'P' && text[1] == '3') ppm_type = 1;
  if (text[0] == 'P' && text[1] == '6') ppm_type = 2;
  if (ppm_type == -1) return -2;
  if (is_cut && !input.SkipPastNewline()) return -1;

  if (!GetNextPPMLine(input, text, MAX_LINE, is_cut, length)) return -4;
  width = ReadDecimal(text);
  if (width < 1 || width > 65535) return Refuse(-5, width);
  const char* p_space = std::strchr(text, ' ');
  _details.is_space_missing = p_space == nullptr;
  if (p_space == nullptr) return -6;
  height = ReadDecimal(p_space + 1);
  if (height < 1 || height > 65535) return Refuse(-6, height);
  if (is_cut && !input.SkipPastNewline()) return -4;

  if (!GetNextPPMLine(input, text, MAX_LINE, is_cut, length)) return -7;
  max_color_comp = ReadDecimal(text);
  if (max_color_comp < 1 || max_color_comp > 65535) return Refuse(-8, max_color_comp);
  if (is_cut && !input.SkipPastNewline()) return -7;
  return 0;
}

int LoadPPM::Refuse(int error_number, int value) {
  _details.refused_value = value;
  return error_number;
}

int LoadPPM::ReadSamples(unsigned char* p_rgb_image, std::int64_t size_image, PictureStream& input, int ppm_type,
                         int max_color_comp) {
  std::int64_t filled = 0;
  _details.is_plain = ppm_type == 1;
  if (ppm_type == 1) {
    if (max_color_comp != 255) return Refuse(-10, max_color_comp);
    filled = ReadPlainSamples(p_rgb_image, size_image, input);
  } else {
    if (max_color_comp != 255) return Refuse(-11, max_color_comp);
    filled = input.ReadBlock(p_rgb_image, size_image);
  }
  _details.samples_wanted = size_image;
  _details.samples_read = filled;
  // A short file leaves the rest black rather than whatever the heap held.
  ClearBytes(p_rgb_image + filled, size_image - filled);
  return 0;
}

bool LoadPPM::GetNextPPMLine(PictureStream& input, char* p_line, short size_buffer, bool& is_cut, int& length) {
  for (;;) {
    is_cut = false;
    length = 0;
    if (input.Peek() == '#') {
      if (!input.SkipPastNewline()) return false;
      continue;
    }
    int c = EOF;
    while (length < size_buffer - 1) {
      c = input.Get();
      if (c == EOF || c == '\n') break;
      p_line[length++] = char(c);
    }
    p_line[length] = '\0';
    if (c == '\n') return true;
    if (c == EOF) return false;
    // The buffer is full: the newline may still be the next character.
    c = input.Peek();
    if (c == EOF) return false;
    if (c == '\n') {
      input.Get();
      return true;
    }
    is_cut = true;
    return true;
  }
}
