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
    "           see mottlepage(1) for further info and the options --width=N, --height=N, --html5",
    "",
    "mottlepage image.ppm [source_string] [red green blue] > output.html",
    "",
    "   image.ppm        : rgb image in ppm format",
    "   source_string    : string used for rendering html page",
    "                      (omit for random characters from ['a','y'])",
    "   red, green, blue : html background color (omit for black)",
    "",
};

const char HEX_DIGITS[] = "0123456789ABCDEF";

// The two kinds of page share one loop over lines, colour runs and
// characters (WriteTextLines); a form says what a page writes around it:
// the tag that opens a run (closing the one before), padded to 32 bytes so
// that it is copied as one block, and the texts around each text line.
//
// The default page opens a font tag per run and never closes one; its
// text lines end in a line break and stand in one pre block.
struct ClassicForm {
  static constexpr char RUN_TAG[32] = "</font><font color=\"#000000\">";
  static const int RUN_TAG_LENGTH = 29;
  static const int HEX_OFFSET = 21;
  static const int FIRST_RUN_SKIP = 0;  // bytes of RUN_TAG left out at a line's start

  static void StartLine(OutputBuffer& out, int, int) { out.Put("size=\"-3\"><font \n"); }
  static void EndLine(OutputBuffer& out, int, int) { out.Put("<br></font><font </font><font \n"); }
};

// The HTML5 page closes every element: a run is an i element (styled
// upright), and every LINES_PER_BLOCK text lines stand in a pre block of
// their own, which keeps the browser's layout work linear in the page's
// size, and lets it skip the blocks off screen at their known size.
struct Html5Form {
  static constexpr char RUN_TAG[32] = "</i><i style=color:#000000>";
  static const int RUN_TAG_LENGTH = 27;
  static const int HEX_OFFSET = 20;
  static const int FIRST_RUN_SKIP = 4;
  static const int LINES_PER_BLOCK = 16;

  static void StartLine(OutputBuffer& out, int line, int line_count) {
    if (line % LINES_PER_BLOCK != 0) return;
    const int lines_left = line_count - line;
    if (lines_left >= LINES_PER_BLOCK) {
      out.Put("<pre>");
      return;
    }
    // A last, shorter block tells its own height while it is skipped.
    out.Put("<pre style=\"contain-intrinsic-height:auto ");
    out.PutNumber(lines_left * HTML5_LINE_HEIGHT);
    out.Put("px\">");
  }

  static void EndLine(OutputBuffer& out, int line, int line_count) {
    const bool is_block_end = line % LINES_PER_BLOCK == LINES_PER_BLOCK - 1 || line == line_count - 1;
    out.Put(is_block_end ? "</i></pre>\n" : "</i>\n");
  }
};

// Pages go out in blocks of this size; per-character writes would cost
// more than the whole page.
const std::size_t PAGE_BUFFER_SIZE = std::size_t(1) << 17;
struct PageTag {};

// Longest output of one pixel: a run tag and an escaped character.
const int MAX_PIXEL_BYTES = 32 + 8;

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
  char* Put(char* p_out) { return PutCharacter(p_out, GetNextByte()); }
  char GetNextByte() {
    char c = _p_source[_index];
    if (++_index == _length) _index = 0;
    return c;
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

// A string that is not UTF-8, for a page that declares UTF-8: each byte as
// the character a browser shows for it on a page without a declared
// encoding (Windows-1252), so that both pages show the same characters.
class Windows1252Characters {
 public:
  explicit Windows1252Characters(const char* p_source) : _bytes(p_source) {}
  void StartLine(int y) { _bytes.StartLine(y); }
  char* Put(char* p_out) {
    const char byte = _bytes.GetNextByte();
    const unsigned code = static_cast<unsigned char>(byte);
    if (code < 0x80) return PutCharacter(p_out, byte);
    return PutCodePoint(p_out, code < 0xA0 ? WINDOWS_1252_C1[code - 0x80] : code);
  }

 private:
  // What Windows-1252 puts at 0x80..0x9F; the five holes stay C1 controls.
  static constexpr std::uint16_t WINDOWS_1252_C1[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  SourceCharacters _bytes;

  static char* PutCodePoint(char* p_out, unsigned code) {
    if (code < 0x800) {
      p_out[0] = char(0xC0 | code >> 6);
      p_out[1] = char(0x80 | (code & 0x3F));
      return p_out + 2;
    }
    p_out[0] = char(0xE0 | code >> 12);
    p_out[1] = char(0x80 | ((code >> 6) & 0x3F));
    p_out[2] = char(0x80 | (code & 0x3F));
    return p_out + 3;
  }
};

template <class Form>
inline char* PutRunTag(char* p_out, const unsigned char* p_rgb, bool is_line_start) {
  const int skip = is_line_start ? Form::FIRST_RUN_SKIP : 0;
  std::memcpy(p_out, Form::RUN_TAG + skip, sizeof Form::RUN_TAG - skip);
  char* p_hex = p_out + Form::HEX_OFFSET - skip;
  for (int i = 0; i < 3; ++i) {
    p_hex[2 * i] = HEX_DIGITS[p_rgb[i] >> 4];
    p_hex[2 * i + 1] = HEX_DIGITS[p_rgb[i] & 15];
  }
  return p_out + Form::RUN_TAG_LENGTH - skip;
}

inline bool IsSameColour(const unsigned char* p_a, const unsigned char* p_b) {
  return p_a[0] == p_b[0] && p_a[1] == p_b[1] && p_a[2] == p_b[2];
}

// One text line: a run tag wherever the colour changes, and the first pixel
// always opens one.
template <class Form, class Characters>
void WriteTextLine(OutputBuffer& out, const unsigned char* p_row, int image_width, Characters& characters) {
  char* p_out = out.Reserve(MAX_PIXEL_BYTES);
  out.Commit(characters.Put(PutRunTag<Form>(p_out, p_row, true)));
  const unsigned char* p_current = p_row + 3;
  for (int x = 1; x < image_width; ++x, p_current += 3) {
    p_out = out.Reserve(MAX_PIXEL_BYTES);
    if (!IsSameColour(p_current, p_current - 3)) p_out = PutRunTag<Form>(p_out, p_current, false);
    out.Commit(characters.Put(p_out));
  }
}

// Every second image row as a text line, each handed to the output as a
// std::endl would.
template <class Form, class Characters>
void WriteTextLines(OutputBuffer& out, const unsigned char* p_pixel, int image_width, int image_height,
                    Characters& characters) {
  const std::int64_t row_bytes = std::int64_t(image_width) * 3;
  const int line_count = (image_height + 1) / 2;
  for (int line = 0; line < line_count && out.IsGood(); ++line) {
    const int y = 2 * line;
    Form::StartLine(out, line, line_count);
    characters.StartLine(y);
    WriteTextLine<Form>(out, p_pixel + y * row_bytes, image_width, characters);
    Form::EndLine(out, line, line_count);
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

bool IsAsciiText(const char* p_text) {
  for (; *p_text != '\0'; ++p_text) {
    if (static_cast<unsigned char>(*p_text) >= 0x80) return false;
  }
  return true;
}

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

namespace {

// The characters for the source string: code points of UTF-8, bytes of
// anything else (as Windows-1252 characters on a page that declares UTF-8),
// random letters without a string.
template <class Form>
void WriteTextLinesWith(OutputBuffer& out, const unsigned char* p_pixel, int image_width, int image_height,
                        const char* p_source, bool is_utf8_page) {
  const bool has_source = p_source != nullptr && p_source[0] != '\0';
  if (has_source && IsUnicodeText(p_source)) {
    CodePointCharacters characters(p_source);
    WriteTextLines<Form>(out, p_pixel, image_width, image_height, characters);
  } else if (has_source && is_utf8_page && !IsAsciiText(p_source)) {
    Windows1252Characters characters(p_source);
    WriteTextLines<Form>(out, p_pixel, image_width, image_height, characters);
  } else if (has_source) {
    SourceCharacters characters(p_source);
    WriteTextLines<Form>(out, p_pixel, image_width, image_height, characters);
  } else {
    RandomCharacters characters;
    WriteTextLines<Form>(out, p_pixel, image_width, image_height, characters);
  }
}

// Text for an element's content: markup characters as entities, and every
// control character or byte that is not UTF-8 as U+FFFD, so that the page
// stays valid whatever a file name holds.
void PutElementText(OutputBuffer& out, const char* p_text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(p_text); *p != 0;) {
    const int length = GetUtf8Length(p);
    const bool is_control = *p < 32 || *p == 127 || (length == 2 && p[0] == 0xC2 && p[1] < 0xA0);
    if (length == 0 || is_control) {
      out.Put("\xEF\xBF\xBD");
      p += length > 0 ? length : 1;
    } else if (length == 1) {
      char* p_out = out.Reserve(8);
      out.Commit(PutCharacter(p_out, char(*p++)));
    } else {
      out.Put(reinterpret_cast<const char*>(p), std::size_t(length));
      p += length;
    }
  }
}

// "red, green, blue", as CSS's rgb() takes them.
void PutComponents(OutputBuffer& out, int red, int green, int blue) {
  out.PutNumber(red);
  out.Put(", ");
  out.PutNumber(green);
  out.Put(", ");
  out.PutNumber(blue);
}

int ClampColour(int value) { return value < 0 ? 0 : value > 255 ? 255 : value; }

}  // namespace

void WriteHTMLPage(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                   int bg_red, int bg_green, int bg_blue, OutputBuffer& out) {
  const bool is_unicode = p_source != nullptr && IsUnicodeText(p_source);
  PutLine(out, "<html>");
  PutLine(out, "<head>");
  if (is_unicode) PutLine(out, "<meta charset=\"utf-8\">");
  PutLine(out, "</head>");
  out.Put("<body style=\"color: rgb(255, 255, 255); background-color: rgb(");
  PutComponents(out, bg_red, bg_green, bg_blue);
  PutLine(out, ");\" link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">");
  PutLine(out, "<span style=\"font-family: monospace;\"></span><pre><font ");
  WriteTextLinesWith<ClassicForm>(out, p_pixel, image_width, image_height, p_source, false);
  PutLine(out, "</body>");
  PutLine(out, "</html>");
}

void WriteHTML5Page(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                    int bg_red, int bg_green, int bg_blue, const char* p_title, OutputBuffer& out) {
  PutLine(out, "<!DOCTYPE html>");
  PutLine(out, "<html lang=\"zxx\">");
  PutLine(out, "<head>");
  PutLine(out, "<meta charset=\"utf-8\">");
  out.Put("<title>");
  PutElementText(out, p_title);
  PutLine(out, "</title>");
  PutLine(out, "<style>");
  out.Put("body{color:#FFFFFF;background:rgb(");
  PutComponents(out, ClampColour(bg_red), ClampColour(bg_green), ClampColour(bg_blue));
  PutLine(out, ")}");
  // Blocks off screen are skipped until they come near, at their known
  // size; the clip margin lets the glyphs of a block's first and last
  // lines reach into the next block, which Firefox would otherwise leave
  // a seam between.
  out.Put("pre{margin:0;font:");
  out.Put(HTML5_FONT);
  out.Put(";content-visibility:auto;overflow-clip-margin:2px;contain-intrinsic-size:auto ");
  out.PutNumber(image_width);
  out.Put("ch auto ");
  out.PutNumber(Html5Form::LINES_PER_BLOCK * HTML5_LINE_HEIGHT);
  PutLine(out, "px}");
  PutLine(out, "i{font-style:normal}");
  PutLine(out, "</style>");
  PutLine(out, "</head>");
  PutLine(out, "<body>");
  WriteTextLinesWith<Html5Form>(out, p_pixel, image_width, image_height, p_source, true);
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
    ChoosePageSize(image_width, image_height, command_line.columns, command_line.lines,
                   command_line.is_html5 ? HTML5_CELL_WIDTH : PAGE_CELL_WIDTH,
                   command_line.is_html5 ? HTML5_LINE_HEIGHT : PAGE_LINE_HEIGHT, page_columns, page_lines);
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

  if (command_line.is_html5) {
    const char* p_title = command_line.p_title;
    // A page must have a title: an empty one gives way to the image's name.
    if (p_title == nullptr || *p_title == '\0') {
      p_title = std::strcmp(p_argument, "-") == 0 ? "standard input" : p_argument;
    }
    WriteHTML5Page(p_pixel, image_width, image_height, command_line.p_source, command_line.bg_red,
                   command_line.bg_green, command_line.bg_blue, p_title, out);
  } else {
    WriteHTMLPage(p_pixel, image_width, image_height, command_line.p_source, command_line.bg_red,
                  command_line.bg_green, command_line.bg_blue, out);
  }
  std::free(p_pixel);
  return FinishOutput(out, err, 0);
}
#endif
