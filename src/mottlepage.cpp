#include "mottlepage.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "CommandLine.h"
#include "Diagnostics.h"
#include "LoadPPM.h"
#include "Resample.h"

namespace {

const char* const HELP_LINES[] = {
    "mottlepage - draws a PPM image as coloured text on an HTML page",
    "           see mottlepage(1) for further info and the options --width=N, --height=N",
    "",
    "mottlepage image.ppm [source_string] [red green blue] > output.html",
    "",
    "   image.ppm        : rgb image in ppm format",
    "   source_string    : string used for rendering html page",
    "                      (omit for random characters from ['a','y'])",
    "   red, green, blue : html background color (omit for black)",
    "",
};

// A colour tag with room for the six hex digits; padded to 32 bytes so that
// it can be copied as one block.
const char COLOUR_TAG[32] = "</font><font color=\"#000000\">";
const int COLOUR_TAG_LENGTH = 29;
const int COLOUR_TAG_HEX_OFFSET = 21;
const char HEX_DIGITS[] = "0123456789ABCDEF";
const char LINE_BREAK[] = "<br></font><font ";
const char LINE_END[] = "</font><font \n";
// The size line is only buffered: one flush per text line is enough.
const char SIZE_LINE[] = "size=\"-3\"><font \n";

// Pages go out in blocks of this size; per-character writes would cost
// more than the whole page.
const std::size_t PAGE_BUFFER_SIZE = std::size_t(1) << 17;
struct PageTag {};

// Longest output of one pixel: a colour tag and an escaped character.
const int MAX_PIXEL_BYTES = COLOUR_TAG_LENGTH + 8;

// A character as the page shows it: markup characters as entities, so that
// each pixel stays one visible character and the string adds no markup.
inline char* PutCharacter(char* p_out, char c) {
  switch (c) {
    case '&':
      std::memcpy(p_out, "&amp;", 5);
      return p_out + 5;
    case '<':
      std::memcpy(p_out, "&lt;", 4);
      return p_out + 4;
    case '>':
      std::memcpy(p_out, "&gt;", 4);
      return p_out + 4;
    default:
      *p_out = c;
      return p_out + 1;
  }
}

// The source string's bytes, index (x + y) mod length for pixel (x, y).
class SourceCharacters {
 public:
  explicit SourceCharacters(const char* p_source) : _p_source(p_source), _length(std::strlen(p_source)) {}
  void StartLine(int y) { _index = std::size_t(y) % _length; }
  char* Put(char* p_out) {
    char c = _p_source[_index];
    if (++_index == _length) _index = 0;
    return PutCharacter(p_out, c);
  }

 private:
  const char* _p_source;
  std::size_t _length;
  std::size_t _index = 0;
};

// Bytes in a well-formed UTF-8 sequence, by the top four bits of its lead
// byte.
const unsigned char SEQUENCE_LENGTH[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 3, 4};

inline int SequenceLength(char lead) { return SEQUENCE_LENGTH[static_cast<unsigned char>(lead) >> 4]; }

// The code points of a well-formed UTF-8 source string, number (x + y) mod
// count for pixel (x, y), each written whole.
class CodePointCharacters {
 public:
  explicit CodePointCharacters(const char* p_source) : _p_source(p_source), _size(std::strlen(p_source)) {
    for (std::size_t i = 0; i < _size; i += SequenceLength(p_source[i])) ++_count;
  }

  // Walks on from the line above, which for lines in order is two code
  // points back: no line costs a pass over a long string.
  void StartLine(int y) {
    std::size_t wanted = std::size_t(y) % _count;
    for (; _line_index != wanted; _line_index = _line_index + 1 == _count ? 0 : _line_index + 1) {
      _line_start = NextStart(_line_start, SequenceLength(_p_source[_line_start]));
    }
    _next = _line_start;
  }

  char* Put(char* p_out) {
    const char* p_character = _p_source + _next;
    const int length = SequenceLength(*p_character);
    _next = NextStart(_next, length);
    if (length == 1) return PutCharacter(p_out, *p_character);
    // Two overlapping two-byte copies cover two to four bytes without a
    // branch on the length and without reading past the sequence.
    std::memcpy(p_out, p_character, 2);
    std::memcpy(p_out + length - 2, p_character + length - 2, 2);
    return p_out + length;
  }

 private:
  const char* _p_source;
  std::size_t _size;
  std::size_t _count = 0;
  std::size_t _line_index = 0;
  std::size_t _line_start = 0;
  std::size_t _next = 0;

  std::size_t NextStart(std::size_t start, int length) const {
    start += std::size_t(length);
    return start == _size ? 0 : start;
  }
};

// Letters 'a'..'y' from rand() % 25, one value per pixel written.
class RandomCharacters {
 public:
  void StartLine(int) {}
  char* Put(char* p_out) {
    *p_out = char('a' + _random.GetNextValue() % 25);
    return p_out + 1;
  }

 private:
  LibcRandom _random;
};

inline char* PutColourTag(char* p_out, const unsigned char* p_rgb) {
  std::memcpy(p_out, COLOUR_TAG, sizeof COLOUR_TAG);
  char* p_hex = p_out + COLOUR_TAG_HEX_OFFSET;
  for (int i = 0; i < 3; ++i) {
    p_hex[2 * i] = HEX_DIGITS[p_rgb[i] >> 4];
    p_hex[2 * i + 1] = HEX_DIGITS[p_rgb[i] & 15];
  }
  return p_out + COLOUR_TAG_LENGTH;
}

inline bool IsSameColour(const unsigned char* p_a, const unsigned char* p_b) {
  return p_a[0] == p_b[0] && p_a[1] == p_b[1] && p_a[2] == p_b[2];
}

template <class Characters>
void WriteTextLine(OutputBuffer& out, const unsigned char* p_row, int image_width, Characters& characters) {
  const unsigned char* p_current = p_row;
  for (int x = 0; x < image_width; ++x, p_current += 3) {
    char* p_out = out.Reserve(MAX_PIXEL_BYTES);
    if (x == 0 || !IsSameColour(p_current, p_current - 3)) p_out = PutColourTag(p_out, p_current);
    out.Commit(characters.Put(p_out));
  }
  out.Put(LINE_BREAK, sizeof LINE_BREAK - 1);
}

template <class Characters>
void WriteTextLines(OutputBuffer& out, const unsigned char* p_pixel, int image_width, int image_height,
                    Characters& characters) {
  const std::int64_t row_bytes = std::int64_t(image_width) * 3;
  for (int y = 0; y < image_height && out.IsGood(); y += 2) {
    out.Put(SIZE_LINE, sizeof SIZE_LINE - 1);
    characters.StartLine(y);
    WriteTextLine(out, p_pixel + y * row_bytes, image_width, characters);
    out.Put(LINE_END, sizeof LINE_END - 1);
    out.Flush();
  }
}

}  // namespace

LibcRandom::LibcRandom() : _front(3), _rear(0) {
  // glibc's srandom(1): a Lehmer sequence fills the table, then 310 values
  // are thrown away.
  std::int32_t word = 1;
  _state[0] = 1;
  for (int i = 1; i < DEGREE; ++i) {
    std::int32_t hi = word / 127773;
    std::int32_t lo = word % 127773;
    word = 16807 * lo - 2836 * hi;
    if (word < 0) word += 2147483647;
    _state[i] = std::uint32_t(word);
  }
  for (int i = 0; i < 10 * DEGREE; ++i) GetNextValue();
}

void WriteHelp(OutputBuffer& out) {
  for (const char* p_line : HELP_LINES) {
    out.Put(p_line);
    out.Put('\n');
    out.Flush();
  }
}

namespace {

// True for well-formed UTF-8 that holds at least one character beyond ASCII.
bool IsUnicodeText(const char* p_text) {
  bool has_non_ascii = false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(p_text); *p != 0;) {
    const int length = GetUtf8Length(p);
    if (length == 0) return false;
    has_non_ascii = has_non_ascii || length > 1;
    p += length;
  }
  return has_non_ascii;
}

// A fixed line of the page, flushed as std::endl would.
void PutLine(OutputBuffer& out, const char* p_text) {
  out.Put(p_text);
  out.Put('\n');
  out.Flush();
}

}  // namespace

void WriteHTMLPage(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                   int bg_red, int bg_green, int bg_blue, OutputBuffer& out) {
  const bool has_source = p_source != nullptr && p_source[0] != '\0';
  const bool is_unicode = has_source && IsUnicodeText(p_source);
  PutLine(out, "<html>");
  PutLine(out, "<head>");
  if (is_unicode) PutLine(out, "<meta charset=\"utf-8\">");
  PutLine(out, "</head>");
  out.Put("<body style=\"color: rgb(255, 255, 255); background-color: rgb(");
  out.PutNumber(bg_red);
  out.Put(", ");
  out.PutNumber(bg_green);
  out.Put(", ");
  out.PutNumber(bg_blue);
  PutLine(out, ");\" link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">");
  PutLine(out, "<span style=\"font-family: monospace;\"></span><pre><font ");
  if (is_unicode) {
    CodePointCharacters characters(p_source);
    WriteTextLines(out, p_pixel, image_width, image_height, characters);
  } else if (has_source) {
    SourceCharacters characters(p_source);
    WriteTextLines(out, p_pixel, image_width, image_height, characters);
  } else {
    RandomCharacters characters;
    WriteTextLines(out, p_pixel, image_width, image_height, characters);
  }
  PutLine(out, "</body>");
  PutLine(out, "</html>");
}

void WriteHTMLPage(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                   int bg_red, int bg_green, int bg_blue, std::ostream& page) {
  WorkBuffer<PageTag, 1024> storage(PAGE_BUFFER_SIZE);
  OutputBuffer out(page, storage.GetData(), storage.GetSize());
  WriteHTMLPage(p_pixel, image_width, image_height, p_source, bg_red, bg_green, bg_blue, out);
}

#ifndef MOTTLEPAGE_NO_MAIN
namespace {

// Standard output must have taken everything before the run counts as a
// success: a page cut short by a full disk is a failure.
int FinishOutput(OutputBuffer& out, OutputBuffer& err, int status) {
  out.Flush();
  if (!out.IsGood()) {
    WriteOutputFailure(err, out.GetWriteError());
    return 1;
  }
  return status;
}

// A run that ends without a page: the fixed message and the reason on
// standard error, the help on standard output.
void StartFailure(OutputBuffer& err) { err.Put("\n>> file not found <<\n\n"); }

}  // namespace

int main(int argc, char* argv[]) {
  // Both buffers come from outside the heap, so that every message can be
  // written whatever memory is left.
  WorkBuffer<PageTag, 1024> page_storage(PAGE_BUFFER_SIZE);
  OutputBuffer out(STDOUT_FILENO, page_storage.GetData(), page_storage.GetSize());
  char err_storage[OutputBuffer::MIN_SIZE];
  OutputBuffer err(STDERR_FILENO, err_storage, sizeof err_storage);

  CommandLine command_line;
  ReadCommandLine(argc, argv, command_line);
  switch (command_line.request) {
    case CommandLine::HELP:
      WriteHelp(out);
      return FinishOutput(out, err, 0);
    case CommandLine::VERSION:
      PutLine(out, "mottlepage " MOTTLEPAGE_VERSION);
      return FinishOutput(out, err, 0);
    case CommandLine::USAGE_ERROR:
      WriteUsageError(err, command_line);
      return 2;
    case CommandLine::CONVERT:
      break;
  }

  unsigned char* p_pixel = nullptr;
  int image_width = 0;
  int image_height = 0;
  const char* p_argument = command_line.p_image;
  LoadPPM p_image = p_argument != nullptr && std::strcmp(p_argument, "-") == 0
                        ? LoadPPM(p_pixel, STDIN_FILENO, image_width, image_height)
                        : LoadPPM(p_pixel, p_argument, image_width, image_height);
  if (p_pixel == nullptr) {
    StartFailure(err);
    WriteLoadFailure(err, p_image, command_line, image_width, image_height);
    WriteHelp(out);
    return FinishOutput(out, err, 1);
  }
  WriteCutShortWarning(err, p_image.GetLoadDetails(), command_line);

  if (command_line.IsScaled()) {
    int page_columns = 0;
    int page_lines = 0;
    ChoosePageSize(image_width, image_height, command_line.columns, command_line.lines, PAGE_CELL_WIDTH,
                   PAGE_LINE_HEIGHT, page_columns, page_lines);
    unsigned char* p_scaled = ScaleForPage(p_pixel, image_width, image_height, page_columns, page_lines);
    std::free(p_pixel);
    if (p_scaled == nullptr) {
      StartFailure(err);
      WriteScalingFailure(err, command_line, page_columns, 2 * page_lines);
      WriteHelp(out);
      return FinishOutput(out, err, 1);
    }
    p_pixel = p_scaled;
    image_width = page_columns;
    image_height = 2 * page_lines;
  }

  WriteHTMLPage(p_pixel, image_width, image_height, command_line.p_source, command_line.bg_red,
                command_line.bg_green, command_line.bg_blue, out);
  std::free(p_pixel);
  return FinishOutput(out, err, 0);
}
#endif
