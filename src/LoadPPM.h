// LoadPPM: reads one PPM image into a new pixel buffer.
//
// Accepted input
//   Magic line "P3" (plain: decimal samples as text) or "P6" (binary: one byte
//   per sample), then a dimensions line "width height" and a maximum-value
//   line, each header item on a line of its own. Lines whose first character
//   is '#' and that end in a newline are comments and are skipped whole,
//   before and between the header lines. Only the first two characters of
//   the magic line count; the height is read from just after the first space
//   of the dimensions line. Width and height must lie in 1..65535 and the
//   maximum sample value must be exactly 255.
//
//   A header line longer than 5999 characters is checked on its first 5999
//   characters; once that check passes, the rest of the line is skipped.
//
//   Plain samples are whitespace-separated decimal numbers, read line by line
//   however long a line is. A negative number or a NUL byte ends the
//   contribution of its line, a word counts as 0, a value above 255 keeps
//   its low eight bits, and samples beyond width x height x 3 are ignored.
//   A last line without a newline counts, even when it starts with '#'.
//
//   A file shorter than its header promises still loads: the missing samples
//   are 0 (black), and GetLoadDetails says how many arrived. A read error is
//   no end of the file: the load fails (-12). Every load ends, whatever the
//   input.
//
// Pixel buffer
//   width x height x 3 bytes, red, green, blue per pixel, rows top to bottom,
//   allocated with malloc (whose failure is a plain null, at any memory
//   limit); it belongs to the caller, who releases it with free. On failure
//   the pointer is null and nothing is left allocated.
//
// Error numbers (GetErrorNo)
//     0  loaded
//    -1  the magic line cannot be read
//    -2  the magic line is neither P3 nor P6
//    -3  the file cannot be opened
//    -4  the dimensions line cannot be read
//    -5  width outside 1..65535
//    -6  height outside 1..65535, or no space on the dimensions line
//    -7  the maximum-value line cannot be read
//    -8  maximum sample value outside 1..65535
//    -9  the pixel buffer cannot be allocated (or exceeds the caller's limit)
//   -10  plain file whose maximum sample value is not 255
//   -11  binary file whose maximum sample value is not 255
//   -12  the input cannot be read (a read error, such as EIO or ECONNRESET)
//
// A line "cannot be read" when the input ends before its newline.
//
// GetLoadDetails tells what the loader saw, so that the caller can say why
// a load failed (the start of the first line, the value a check refused,
// the system's reason for a failed open or read) or that a loaded image
// was cut short.

#ifndef MOTTLEPAGE_LOADPPM_H
#define MOTTLEPAGE_LOADPPM_H

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>

#include "PlainSamples.h"

// Value of one decimal digit appended to a magnitude, saturating just past
// the largest magnitude an int can take (2^31), so that any number of digits
// can be fed in without overflow.
inline std::int64_t AddDecimalDigit(std::int64_t magnitude, int digit) {
  const std::int64_t LIMIT = std::int64_t(INT_MAX) + 1;
  magnitude = magnitude * 10 + digit;
  return magnitude > LIMIT ? LIMIT : magnitude;
}

inline int SignedDecimal(std::int64_t magnitude, bool is_negative) {
  if (is_negative) return magnitude >= std::int64_t(INT_MAX) + 1 ? INT_MIN : int(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : int(magnitude);
}

inline bool IsDecimalSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a decimal number the way atoi is documented to: leading white space
// skipped, an optional sign, digits up to the first non-digit, 0 without
// digits. Unlike glibc's atoi, a value beyond the int range reads as the
// nearest end of that range instead of wrapping.
inline int ReadDecimal(const char* p_text) {
  while (IsDecimalSpace(*p_text)) ++p_text;
  bool is_negative = *p_text == '-';
  if (*p_text == '-' || *p_text == '+') ++p_text;
  std::int64_t magnitude = 0;
  for (; *p_text >= '0' && *p_text <= '9'; ++p_text) magnitude = AddDecimalDigit(magnitude, *p_text - '0');
  return SignedDecimal(magnitude, is_negative);
}

// What a load saw, so that the caller can say why it failed or what is
// missing. Only the fields that its error number names are meaningful; the
// last three are set after every load that got as far as the samples.
struct PPMLoadDetails {
  static const int FIRST_BYTES = 16;
  int open_error = 0;              // -3: errno of the failed open, 0 when unknown
  int read_error = 0;              // -12: errno of the failed read
  bool is_empty = false;           // -1: the input held no byte at all
  int first_line_length = 0;       // -1, -2: bytes read of the first line that is no comment
  char first_bytes[FIRST_BYTES]{};  // -1, -2: its first bytes, zero-padded
  int refused_value = 0;           // -5, -6, -8, -10, -11: the width, height or maximum value refused
  bool is_space_missing = false;   // -6: the dimensions line has no space, so no height
  bool is_plain = false;           // 0: samples are decimal text (P3), not bytes
  std::int64_t samples_wanted = 0;  // 0: width x height x 3
  std::int64_t samples_read = 0;    // 0: samples the input held; fewer than wanted: the rest is black
};

// Memory for a buffer of the wanted size from the C allocator, or a small
// block that the class keeps for the case that the heap has none left:
// slower then, never a crash. Large buffers stay off the stack, which a
// user may have limited (ulimit -s 16). The fallback block is the class's
// own static one: only one buffer of each kind (Tag) may use it at a time,
// as the program's single loader and single page writer do.
template <class Tag, std::size_t FALLBACK_SIZE>
class WorkBuffer {
 public:
  explicit WorkBuffer(std::size_t wanted)
      : _p_heap(static_cast<char*>(std::malloc(wanted))), _size(_p_heap ? wanted : FALLBACK_SIZE) {}
  ~WorkBuffer() { std::free(_p_heap); }
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  char* GetData() { return _p_heap ? _p_heap : _s_fallback; }
  std::size_t GetSize() const { return _size; }

 private:
  char* _p_heap;
  std::size_t _size;
  static char _s_fallback[FALLBACK_SIZE];
};

template <class Tag, std::size_t FALLBACK_SIZE>
char WorkBuffer<Tag, FALLBACK_SIZE>::_s_fallback[FALLBACK_SIZE];

// The bytes of an image, read through a buffer from a file descriptor (the
// program) or from a stream (tests and fuzzing). Unlike a stream, it tells
// the end of the input from a read error, whose errno it keeps.
class PPMInput {
 public:
  static const int MAX_LINE = 6000;  // header line buffer, terminator included

  explicit PPMInput(int file_descriptor);
  explicit PPMInput(std::istream& stream);

  int Peek() { return _p_next < _p_end || Refill() ? static_cast<unsigned char>(*_p_next) : EOF; }
  int Get() { return _p_next < _p_end || Refill() ? static_cast<unsigned char>(*_p_next++) : EOF; }
  // Past the next newline; false when the input ends first.
  bool SkipPastNewline();
  // Copies up to `size` bytes to p_target; returns how many the input held.
  std::int64_t ReadBlock(unsigned char* p_target, std::int64_t size);
  int GetReadError() const { return _read_error; }
  // Reads on until at least `wanted` unread bytes are in the buffer (at
  // most its size), the input ends or a read fails; returns how many are
  // there. Nothing is consumed: a loader then reads them as usual.
  std::int64_t PeekAhead(std::int64_t wanted);
  // The file descriptor read from, or -1 for a stream.
  int GetFileDescriptor() const { return _file_descriptor; }
  char* GetLineBuffer() { return _line.GetData(); }

  // The unread bytes in the buffer, for readers that scan it directly.
  const char* GetNext() const { return _p_next; }
  const char* GetEnd() const { return _p_end; }
  void SetNext(const char* p_next) { _p_next = p_next; }
  // Reads the next block once the buffer is used up; false at the end of
  // the input or after a read error.
  bool Refill();

 private:
  struct ChunkTag {};
  struct LineTag {};
  int _file_descriptor;
  std::istream* _p_stream;
  WorkBuffer<ChunkTag, 2048> _chunk;
  WorkBuffer<LineTag, MAX_LINE> _line;
  const char* _p_next;
  const char* _p_end;
  int _read_error = 0;

  // One read into p_target; 0 at the end, -1 after a read error.
  std::int64_t ReadSome(char* p_target, std::int64_t size);
};

// Tests and fuzzing only: keeps the plain sample reader to `code` and the
// ones below it (the program always takes the best the processor runs).
// Returns the code that loads now use.
PlainSampleCode LimitPlainSampleCode(PlainSampleCode code);

class LoadPPM {
 public:
  // Largest image the program accepts: 65535 x 65535 pixels.
  static constexpr std::int64_t MAX_PIXELS = std::int64_t(65535) * 65535;

  // Loads the file at p_filename (null: no file, error -3).
  LoadPPM(unsigned char*& p_rgb_image, const char* p_filename, int& width, int& height);

  // Loads from an open file descriptor, such as standard input's; it stays
  // open.
  LoadPPM(unsigned char*& p_rgb_image, int file_descriptor, int& width, int& height);

  // Loads from an open stream. Images of more than max_pixels pixels are
  // refused with -9 before anything is allocated.
  LoadPPM(unsigned char*& p_rgb_image, std::istream& image_stream, int& width, int& height,
          std::int64_t max_pixels = MAX_PIXELS);

  // Loads from an input that a caller has already opened and may have
  // peeked into (PPMInput::PeekAhead): the same load from its first byte.
  LoadPPM(unsigned char*& p_rgb_image, PPMInput& input, int& width, int& height,
          std::int64_t max_pixels = MAX_PIXELS);

  int GetErrorNo() const { return _error_number; }
  const PPMLoadDetails& GetLoadDetails() const { return _details; }

 protected:
  int _error_number;
  PPMLoadDetails _details;

  int Load(unsigned char*& p_rgb_image, PPMInput& input, int& width, int& height, std::int64_t max_pixels);
  int ReadHeader(PPMInput& input, int& ppm_type, int& width, int& height, int& max_color_comp);
  // Records the value that a check refused and returns error_number.
  int Refuse(int error_number, int value);
  int ReadSamples(unsigned char* p_rgb_image, std::int64_t size_image, PPMInput& input, int ppm_type,
                  int max_color_comp);

  // Reads the next line that is not a comment into p_line (terminated) and
  // sets length to the number of characters stored. False when the input
  // ends before the line's newline. A line longer than size_buffer - 1
  // characters comes back cut, with is_cut set and the rest of it still
  // unread: the caller checks what it got, then calls SkipPastNewline.
  bool GetNextPPMLine(PPMInput& input, char* p_line, short size_buffer, bool& is_cut, int& length);
};

#endif
