// Characters: which character each cell of the page shows.
//
// A source of characters is told where each text line starts
// (StartLine(y), with y the image row the line shows) and then writes one
// character per cell, left to right (Put, given the cell's RGB colour),
// returning the end of what it wrote. Characters that are markup ('&',
// '<', '>') are written as entities, so that every cell is one visible
// character and a string adds no markup. At most MAX_CHARACTER_BYTES are
// written per cell.
//
// The sources:
//   SourceCharacters       the string's bytes, byte (x + y) mod length
//   CodePointCharacters    a well-formed UTF-8 string's code points, number
//                          (x + y) mod count, each written whole
//   Windows1252Characters  any other string, each byte as the character
//                          Windows-1252 gives it (for a page that declares
//                          UTF-8 but should look like one that does not)
//   RandomCharacters       letters 'a'..'y' from glibc's unseeded rand()
//                          sequence, one value per cell written
//   ShadeCharacters        the character of a string of shades (least ink
//                          first) whose place matches the cell's lightness
//
// ChooseCharacters says which source a command line's string takes.
//
// On the page that declares UTF-8 (the HTML5 page), a character that HTML
// forbids in text or that would break a text line is drawn as U+FFFD, one
// cell like any other, so that the page stays valid and the picture keeps
// its shape whatever the string holds (IsForbiddenInText); the default
// page writes every character as it is.

#ifndef MOTTLEPAGE_PAGE_CHARACTERS_H
#define MOTTLEPAGE_PAGE_CHARACTERS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/Output.h"
#include "common/Utf8.h"

// The sequence of glibc's rand() before any srand() call (its TYPE_3
// additive generator seeded with 1), computed here without rand()'s lock
// and on every C library alike, so that an image gives the same page on
// every system.
class LibcRandom {
 public:
  LibcRandom();
  int GetNextValue() {
    std::uint32_t value = _state[_front] += _state[_rear];
    if (++_front == DEGREE) _front = 0;
    if (++_rear == DEGREE) _rear = 0;
    return int(value >> 1);
  }

 private:
  static const int DEGREE = 31;
  std::uint32_t _state[DEGREE];
  int _front;
  int _rear;
};

const int MAX_CHARACTER_BYTES = 8;

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

const char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";  // U+FFFD

inline char* PutReplacement(char* p_out) {
  std::memcpy(p_out, REPLACEMENT_CHARACTER, 3);
  return p_out + 3;
}

// Controls (tab, line feed, carriage return and form feed among them) and
// DEL: HTML forbids most of them in text, and the rest break or widen a
// text line.
inline bool IsAsciiControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// A well-formed UTF-8 sequence of `length` bytes that the HTML5 page draws as
// U+FFFD: an ASCII control or DEL, a C1 control (U+0080..U+009F), or a
// noncharacter (U+FDD0..U+FDEF, and the last two code points of every plane,
// U+xFFFE and U+xFFFF). HTML forbids them all in text, and the W3C checker
// reports each one.
inline bool IsForbiddenInText(const unsigned char* p_character, int length) {
  switch (length) {
    case 1:
      return IsAsciiControl(p_character[0]);
    case 2:
      return p_character[0] == 0xC2 && p_character[1] < 0xA0;
    case 3:
      return p_character[0] == 0xEF && ((p_character[1] == 0xB7 && p_character[2] >= 0x90 && p_character[2] <= 0xAF) ||
                                        (p_character[1] == 0xBF && p_character[2] >= 0xBE));
    default:
      return (p_character[1] & 0x0F) == 0x0F && p_character[2] == 0xBF && p_character[3] >= 0xBE;
  }
}

// The source string's bytes, index (x + y) mod length for pixel (x, y).
class SourceCharacters {
 public:
  explicit SourceCharacters(const char* p_source) : _p_source(p_source), _length(std::strlen(p_source)) {}
  void StartLine(int y) { _index = std::size_t(y) % _length; }
  char* Put(char* p_out, const unsigned char*) { return PutCharacter(p_out, GetNextByte()); }
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
constexpr unsigned char SEQUENCE_LENGTH[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 3, 4};

inline int SequenceLength(char lead) { return SEQUENCE_LENGTH[static_cast<unsigned char>(lead) >> 4]; }

// The code points of a well-formed UTF-8 source string, number (x + y) mod
// count for pixel (x, y), each written whole; on a page that declares
// UTF-8, those that IsForbiddenInText as U+FFFD.
class CodePointCharacters {
 public:
  explicit CodePointCharacters(const char* p_source, bool is_utf8_page = false)
      : _p_source(p_source), _size(std::strlen(p_source)) {
    for (std::size_t i = 0; i < _size; i += SequenceLength(p_source[i])) {
      ++_count;
      const auto* p_character = reinterpret_cast<const unsigned char*>(p_source + i);
      const bool is_forbidden = IsForbiddenInText(p_character, SequenceLength(p_source[i]));
      _replaces_forbidden = _replaces_forbidden || (is_utf8_page && is_forbidden);
    }
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

  char* Put(char* p_out, const unsigned char*) {
    const char* p_character = _p_source + _next;
    const int length = SequenceLength(*p_character);
    _next = NextStart(_next, length);
    if (_replaces_forbidden && IsForbiddenInText(reinterpret_cast<const unsigned char*>(p_character), length)) {
      return PutReplacement(p_out);
    }
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
  bool _replaces_forbidden = false;  // only a string that holds such a character pays for the check
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
  char* Put(char* p_out, const unsigned char*) {
    *p_out = char('a' + _random.GetNextValue() % 25);
    return p_out + 1;
  }

 private:
  LibcRandom _random;
};

// A string that is not UTF-8 (or ASCII with controls), for a page that
// declares UTF-8: each byte as the character a browser shows for it on a page
// without a declared encoding (Windows-1252), so that both pages show the
// same characters. Controls and the five bytes Windows-1252 leaves
// undefined, which a browser shows as C1 controls, are U+FFFD.
class Windows1252Characters {
 public:
  explicit Windows1252Characters(const char* p_source) : _bytes(p_source) {}
  void StartLine(int y) { _bytes.StartLine(y); }
  char* Put(char* p_out, const unsigned char*) {
    const char byte = _bytes.GetNextByte();
    const unsigned code = static_cast<unsigned char>(byte);
    if (code < 0x80 && !IsAsciiControl(byte)) return PutCharacter(p_out, byte);
    if (code < 0x80) return PutReplacement(p_out);
    return PutCodePoint(p_out, code < 0xA0 ? WINDOWS_1252_C1[code - 0x80] : code);
  }

 private:
  // What Windows-1252 puts at 0x80..0x9F; its five holes are U+FFFD.
  static constexpr std::uint16_t WINDOWS_1252_C1[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
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

// Shades from least ink to most (code points of UTF-8, else bytes, as the
// source string is taken): each cell gets the one whose place matches its
// lightness, the CIE L* of its sRGB colour, in equal steps from black (the
// first) to white (the last). On a light background the order turns round,
// so that more ink always stands out more from the page. Each shade is
// written as the string's own source would write it (markup as entities,
// Windows-1252 on a page that declares UTF-8 for a string that is not).
// The string holds at least one character.
class ShadeCharacters {
 public:
  ShadeCharacters(const char* p_shades, bool is_utf8_page, bool is_light_background);
  void StartLine(int) {}
  char* Put(char* p_out, const unsigned char* p_rgb) {
    const Shade& shade = _shades[FindShade(GetLuminance(p_rgb))];
    std::memcpy(p_out, shade.bytes, MAX_CHARACTER_BYTES);
    return p_out + shade.length;
  }

  // Whether a background colour (components clamped to 0..255) is lighter
  // than the middle, L* above 50.
  static bool IsLightBackground(int red, int green, int blue);

  struct Shade {
    char bytes[MAX_CHARACTER_BYTES];
    int length;
  };

 private:
  // Relative luminance in units of 2^-24: the sum of one entry per channel.
  static const int LUMINANCE_BITS = 24;
  std::vector<std::uint32_t> _luminance;  // red, green, blue: 256 entries each
  std::vector<Shade> _shades;
  std::vector<std::uint32_t> _thresholds;  // the least luminance of shades 1, 2, ...

  std::uint32_t GetLuminance(const unsigned char* p_rgb) const {
    return _luminance[p_rgb[0]] + _luminance[256 + p_rgb[1]] + _luminance[512 + p_rgb[2]];
  }
  std::size_t FindShade(std::uint32_t luminance) const;
};

enum class CharacterKind { RANDOM, BYTES, CODE_POINTS, WINDOWS_1252 };

// The source for a source string (null or empty: random letters): code
// points of well-formed UTF-8 with a character beyond ASCII, else bytes;
// on a page that declares UTF-8, bytes as Windows-1252 characters unless
// they are all printable ASCII.
CharacterKind ChooseCharacters(const char* p_source, bool is_utf8_page);

// True for well-formed UTF-8 that holds at least one character beyond ASCII.
bool IsUnicodeText(const char* p_text);

// The characters a string draws with: code points of Unicode text, else
// bytes.
std::size_t CountCharacters(const char* p_text);

// True for a string of full blocks (U+2588) alone, which draws every cell
// as a solid block of its colour.
bool IsFullBlocks(const char* p_text);

#endif
