#include "mottlepage.h"

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "LoadPPM.h"

namespace {

const char* const HELP_LINES[] = {
    "mottlepage - draws a PPM image as coloured text on an HTML page",
    "           see mottlepage(1) for further info",
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

// Longest output of one pixel: a colour tag and an escaped character.
const int MAX_PIXEL_BYTES = COLOUR_TAG_LENGTH + 8;

// Collects a text line's bytes and hands them to the stream in large
// blocks: per-character stream calls would cost more than the whole page.
class PageBuffer {
 public:
  explicit PageBuffer(std::ostream& page) : _page(page), _buffer(1 << 17), _p_end(_buffer.GetData()) {}

  // Room for `size` bytes (a few hundred at most) at the returned position;
  // Commit then says how far it was filled.
  char* Reserve(int size) {
    if (_p_end + size > _buffer.GetData() + _buffer.GetSize()) Drain();
    return _p_end;
  }
  void Commit(char* p_end) { _p_end = p_end; }

  void Put(const char* p_text, std::size_t length) {
    char* p_out = Reserve(int(length));
    std::memcpy(p_out, p_text, length);
    Commit(p_out + length);
  }

  // Hands everything to the stream and flushes it, as std::endl would.
  void Flush() {
    Drain();
    _page.flush();
  }

  bool IsGood() const { return bool(_page); }

 private:
  std::ostream& _page;
  WorkBuffer _buffer;
  char* _p_end;

  void Drain() {
    _page.write(_buffer.GetData(), _p_end - _buffer.GetData());
    _p_end = _buffer.GetData();
  }
};

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
void WriteTextLine(PageBuffer& out, const unsigned char* p_row, int image_width, Characters& characters) {
  const unsigned char* p_current = p_row;
  for (int x = 0; x < image_width; ++x, p_current += 3) {
    char* p_out = out.Reserve(MAX_PIXEL_BYTES);
    if (x == 0 || !IsSameColour(p_current, p_current - 3)) p_out = PutColourTag(p_out, p_current);
    out.Commit(characters.Put(p_out));
  }
  out.Put(LINE_BREAK, sizeof LINE_BREAK - 1);
}

template <class Characters>
void WriteTextLines(std::ostream& page, const unsigned char* p_pixel, int image_width, int image_height,
                    Characters& characters) {
  PageBuffer out(page);
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

void WriteHelp(std::ostream& out) {
  for (const char* p_line : HELP_LINES) out << p_line << std::endl;
}

namespace {

// True for well-formed UTF-8 that holds at least one character beyond ASCII.
bool IsUnicodeText(const char* p_text) {
  bool has_non_ascii = false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(p_text); *p != 0;) {
    const unsigned char lead = *p++;
    if (lead < 0x80) continue;
    has_non_ascii = true;
    // Lead bytes and the range of the byte after each, as Unicode's table of
    // well-formed sequences gives them: no overlong form, no surrogate,
    // nothing above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    int length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    else return false;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    // The terminator fails every range, so no check reads past it.
    if (*p < low || *p > high) return false;
    for (++p; --length > 1; ++p) {
      if (*p < 0x80 || *p > 0xBF) return false;
    }
  }
  return has_non_ascii;
}

}  // namespace

void WriteHTMLPage(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                   int bg_red, int bg_green, int bg_blue, std::ostream& page) {
  const bool has_source = p_source != nullptr && p_source[0] != '\0';
  const bool is_unicode = has_source && IsUnicodeText(p_source);
  page << "<html>" << std::endl;
  page << "<head>" << std::endl;
  if (is_unicode) page << "<meta charset=\"utf-8\">" << std::endl;
  page << "</head>" << std::endl;
  page << "<body style=\"color: rgb(255, 255, 255); background-color: rgb(" << bg_red << ", " << bg_green << ", "
       << bg_blue << ");\"" << " link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">" << std::endl;
  page << "<span style=\"font-family: monospace;\"></span><pre><font " << std::endl;
  if (is_unicode) {
    CodePointCharacters characters(p_source);
    WriteTextLines(page, p_pixel, image_width, image_height, characters);
  } else if (has_source) {
    SourceCharacters characters(p_source);
    WriteTextLines(page, p_pixel, image_width, image_height, characters);
  } else {
    RandomCharacters characters;
    WriteTextLines(page, p_pixel, image_width, image_height, characters);
  }
  page << "</body>" << std::endl;
  page << "</html>" << std::endl;
}

#ifndef MOTTLEPAGE_NO_MAIN
namespace {

bool IsArgument(const char* p_argument, const char* p_option) { return std::strcmp(p_argument, p_option) == 0; }

bool IsHelpOption(const char* p_argument) { return IsArgument(p_argument, "-h") || IsArgument(p_argument, "--help"); }

// How the failure message names the image, and how a suggested command
// names it (netpbm's tools read standard input when given no file).
struct ImageName {
  std::string shown;
  std::string netpbm_input;
  std::string magick_input;
};

ImageName NameImage(const char* p_argument) {
  if (IsArgument(p_argument, "-")) return {"standard input", "", "-"};
  return {p_argument, std::string(" < ") + p_argument, p_argument};
}

std::string Suggest(const char* p_netpbm_tool, const ImageName& name) {
  return std::string("'") + p_netpbm_tool + name.netpbm_input + "' (netpbm) or 'convert " + name.magick_input +
         " -depth 8 ppm:-' (ImageMagick)";
}

// Formats that people hand the program by mistake, known by their first
// bytes, with the netpbm tool that turns each into PPM.
struct Signature {
  const char* p_bytes;
  std::size_t length;
  const char* p_what;
  const char* p_netpbm_tool;
};

const Signature SIGNATURES[] = {
    {"\x89PNG", 4, "a PNG image", "pngtopnm"},
    {"\xFF\xD8\xFF", 3, "a JPEG image", "jpegtopnm"},
    {"GIF8", 4, "a GIF image", "giftopnm"},
    {"II*\0", 4, "a TIFF image", "tifftopnm"},
    {"MM\0*", 4, "a TIFF image", "tifftopnm"},
    {"BM", 2, "a BMP image", "bmptopnm"},
    {"P1", 2, "a plain PBM bitmap (P1)", "ppmtoppm"},
    {"P2", 2, "a plain PGM greymap (P2)", "ppmtoppm"},
    {"P4", 2, "a PBM bitmap (P4)", "ppmtoppm"},
    {"P5", 2, "a PGM greymap (P5)", "ppmtoppm"},
    {"P7", 2, "a PAM image (P7)", "pamtopnm"},
};

const Signature* FindSignature(const PPMLoadDetails& details) {
  for (const Signature& signature : SIGNATURES) {
    if (std::size_t(details.first_line_length) >= signature.length &&
        std::memcmp(details.first_bytes, signature.p_bytes, signature.length) == 0) {
      return &signature;
    }
  }
  return nullptr;
}

std::string DescribeUnreadableStart(const PPMLoadDetails& details, const ImageName& name, bool is_ended) {
  if (const Signature* p_signature = FindSignature(details)) {
    return std::string(p_signature->p_what) + ", not a PPM image (only P3 and P6 are read): convert it with " +
           Suggest(p_signature->p_netpbm_tool, name);
  }
  if (!is_ended && details.first_bytes[0] == 'P' && (details.first_bytes[1] == '3' || details.first_bytes[1] == '6')) {
    return "the header ends within its first line";
  }
  if (!is_ended) return "not a PPM image: its first line has no end";
  if (details.first_line_length == 0) return "not a PPM image: its first line is empty, where P3 or P6 must stand";
  return "not a PPM image: its first line does not start with P3 or P6";
}

std::string DescribeMaximum(int value, const ImageName& name) {
  std::string text = "maximum sample value " + std::to_string(value);
  if (value < 1 || value > 65535) return text + " is not valid; it must be 255";
  return text + ", but only 255 is read: reduce it with " + Suggest("pamdepth 255", name);
}

// Why the load failed, in a user's words, with a way out where one exists.
std::string DescribeLoadFailure(const LoadPPM& loader, const char* p_argument, int width, int height) {
  if (p_argument == nullptr) return "mottlepage: no image given";
  const ImageName name = NameImage(p_argument);
  const PPMLoadDetails& details = loader.GetFailureDetails();
  std::string reason;
  std::error_code error;
  switch (loader.GetErrorNo()) {
    case -3:
      reason = std::string("cannot open it: ") +
               (details.open_error != 0 ? std::strerror(details.open_error) : "reason unknown");
      break;
    case -1:
      if (std::filesystem::is_directory(p_argument, error)) {
        reason = "is a directory, not an image file";
      } else if (details.is_empty) {
        reason = "is empty";
      } else if (details.first_line_length == 0) {
        reason = "holds only comment lines, no PPM header";
      } else {
        reason = DescribeUnreadableStart(details, name, false);
      }
      break;
    case -2:
      reason = DescribeUnreadableStart(details, name, true);
      break;
    case -4:
      reason = "the header ends before its width and height line is complete";
      break;
    case -5:
      reason = "width " + std::to_string(details.refused_value) + " is outside 1 to 65535";
      break;
    case -6:
      reason = details.is_space_missing ? "the width and height line has no space between the two numbers"
                                        : "height " + std::to_string(details.refused_value) + " is outside 1 to 65535";
      break;
    case -7:
      reason = "the header ends before its maximum-value line is complete";
      break;
    case -9:
      reason = "not enough memory for a " + std::to_string(width) + " x " + std::to_string(height) + " image (" +
               std::to_string(std::int64_t(width) * height * 3) + " bytes)";
      break;
    default:  // -8, -10, -11
      reason = DescribeMaximum(details.refused_value, name);
      break;
  }
  return "mottlepage: " + name.shown + ": " + reason;
}

// Standard output must have taken everything before the run counts as a
// success: a page cut short by a full disk is a failure.
int FinishOutput(int status) {
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "mottlepage: output could not be written" << std::endl;
    return 1;
  }
  return status;
}

}  // namespace

int main(int argc, char* argv[]) {
  const char* p_argument = argc > 1 ? argv[1] : nullptr;
  if (p_argument != nullptr && IsHelpOption(p_argument)) {
    WriteHelp(std::cout);
    return FinishOutput(0);
  }
  if (p_argument != nullptr && IsArgument(p_argument, "--version")) {
    std::cout << "mottlepage " MOTTLEPAGE_VERSION << std::endl;
    return FinishOutput(0);
  }

  unsigned char* p_pixel = nullptr;
  int image_width = 0;
  int image_height = 0;
  LoadPPM p_image = p_argument != nullptr && IsArgument(p_argument, "-")
                        ? LoadPPM(p_pixel, std::cin, image_width, image_height)
                        : LoadPPM(p_pixel, p_argument, image_width, image_height);
  if (p_pixel == nullptr) {
    std::cerr << std::endl << ">> file not found <<" << std::endl << std::endl;
    std::cerr << DescribeLoadFailure(p_image, p_argument, image_width, image_height) << std::endl;
    WriteHelp(std::cout);
    return FinishOutput(1);
  }

  int bg_red = 0;
  int bg_green = 0;
  int bg_blue = 0;
  if (argc > 5) {
    bg_red = ReadDecimal(argv[3]);
    bg_green = ReadDecimal(argv[4]);
    bg_blue = ReadDecimal(argv[5]);
  }
  const char* p_source = argc > 2 ? argv[2] : nullptr;
  WriteHTMLPage(p_pixel, image_width, image_height, p_source, bg_red, bg_green, bg_blue);
  delete[] p_pixel;
  return FinishOutput(0);
}
#endif
