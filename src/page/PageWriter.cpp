#include "page/PageWriter.h"

#include <cstring>

#include "common/Colour.h"
#include "common/Utf8.h"
#include "page/Characters.h"
#include "page/PageSize.h"

namespace {

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

// Longest output of one pixel: a run tag and an escaped character.
const int MAX_PIXEL_BYTES = 32 + MAX_CHARACTER_BYTES;

inline void PutHexColour(char* p_hex, const unsigned char* p_rgb) {
  for (int i = 0; i < 3; ++i) {
    p_hex[2 * i] = HEX_DIGITS[p_rgb[i] >> 4];
    p_hex[2 * i + 1] = HEX_DIGITS[p_rgb[i] & 15];
  }
}

template <class Form>
inline char* PutRunTag(char* p_out, const unsigned char* p_rgb, bool is_line_start) {
  const int skip = is_line_start ? Form::FIRST_RUN_SKIP : 0;
  std::memcpy(p_out, Form::RUN_TAG + skip, sizeof Form::RUN_TAG - skip);
  PutHexColour(p_out + Form::HEX_OFFSET - skip, p_rgb);
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
  out.Commit(characters.Put(PutRunTag<Form>(p_out, p_row, true), p_row));
  const unsigned char* p_current = p_row + 3;
  for (int x = 1; x < image_width; ++x, p_current += 3) {
    p_out = out.Reserve(MAX_PIXEL_BYTES);
    if (!IsSameColour(p_current, p_current - 3)) p_out = PutRunTag<Form>(p_out, p_current, false);
    out.Commit(characters.Put(p_out, p_current));
  }
}

// Every second image row as a text line, each handed to the output as a
// std::endl would.
template <class Form, class Characters>
void WriteTextLines(OutputBuffer& out, const PageLines& lines, Characters& characters) {
  for (int line = 0; line < lines.count && out.IsGood(); ++line) {
    const unsigned char* p_row = lines.GetLine(line);
    if (p_row == nullptr) return;
    Form::StartLine(out, line, lines.count);
    characters.StartLine(2 * line);
    WriteTextLine<Form>(out, p_row, lines.columns, characters);
    Form::EndLine(out, line, lines.count);
    out.Flush();
  }
}

// A fixed line of the page, flushed as std::endl would.
void PutLine(OutputBuffer& out, const char* p_text) {
  out.Put(p_text);
  out.Put('\n');
  out.Flush();
}

bool HasShades(const PageStyle& style) { return style.p_shades != nullptr && style.p_shades[0] != '\0'; }

// The characters for the source string: code points of UTF-8, bytes of
// anything else (as Windows-1252 characters on a page that declares UTF-8),
// random letters without a string; or the shades, when given.
template <class Form>
void WriteTextLinesWith(OutputBuffer& out, const PageLines& lines, const PageStyle& style, bool is_utf8_page) {
  if (HasShades(style)) {
    ShadeCharacters characters(style.p_shades, is_utf8_page,
                               ShadeCharacters::IsLightBackground(style.bg_red, style.bg_green, style.bg_blue));
    WriteTextLines<Form>(out, lines, characters);
    return;
  }
  const char* p_source = style.p_source;
  switch (ChooseCharacters(p_source, is_utf8_page)) {
    case CharacterKind::CODE_POINTS: {
      CodePointCharacters characters(p_source, is_utf8_page);
      WriteTextLines<Form>(out, lines, characters);
      break;
    }
    case CharacterKind::WINDOWS_1252: {
      Windows1252Characters characters(p_source);
      WriteTextLines<Form>(out, lines, characters);
      break;
    }
    case CharacterKind::BYTES: {
      SourceCharacters characters(p_source);
      WriteTextLines<Form>(out, lines, characters);
      break;
    }
    case CharacterKind::RANDOM: {
      RandomCharacters characters;
      WriteTextLines<Form>(out, lines, characters);
      break;
    }
  }
}

// The half-block page's runs: cells whose upper and lower pixels both match
// the cell before them share a run, an inline block (HALF_BLOCK_STYLE) whose
// top border is the upper pixels' colour and whose background the lower
// pixels'. A cell is a space: it gives the run its width and draws nothing.
const char HALF_RUN_TAG[48] = "</i><i style=color:#000000;background:#000000>";
const int HALF_RUN_TAG_LENGTH = 46;
const int UPPER_HEX_OFFSET = 20;
const int LOWER_HEX_OFFSET = 39;
const char HALF_BLOCK_STYLE[] =
    "i{font-style:normal;display:inline-block;vertical-align:top;height:5px;border-top:5px solid}";

// One text line of half blocks; lower_step 0 gives every cell the same
// lower pixel (the background, under a picture's last odd row).
void WriteHalfBlockLine(OutputBuffer& out, const unsigned char* p_upper, const unsigned char* p_lower,
                        int lower_step, int columns) {
  for (int x = 0; x < columns; ++x, p_upper += 3, p_lower += lower_step) {
    char* p_out = out.Reserve(sizeof HALF_RUN_TAG);
    const bool is_run_start =
        x == 0 || !IsSameColour(p_upper, p_upper - 3) || !IsSameColour(p_lower, p_lower - lower_step);
    if (is_run_start) {
      const int skip = x == 0 ? Html5Form::FIRST_RUN_SKIP : 0;
      std::memcpy(p_out, HALF_RUN_TAG + skip, sizeof HALF_RUN_TAG - skip);
      PutHexColour(p_out + UPPER_HEX_OFFSET - skip, p_upper);
      PutHexColour(p_out + LOWER_HEX_OFFSET - skip, p_lower);
      p_out += HALF_RUN_TAG_LENGTH - skip;
    }
    *p_out++ = ' ';
    out.Commit(p_out);
  }
}

// Two rows a text line, in the HTML5 page's blocks.
void WriteHalfBlockLines(OutputBuffer& out, const PageLines& lines, const PageStyle& style) {
  const unsigned char background[3] = {static_cast<unsigned char>(ClampColour(style.bg_red)),
                                       static_cast<unsigned char>(ClampColour(style.bg_green)),
                                       static_cast<unsigned char>(ClampColour(style.bg_blue))};
  for (int line = 0; line < lines.count && out.IsGood(); ++line) {
    const unsigned char* p_upper = lines.GetLine(line);
    if (p_upper == nullptr) return;
    const bool has_lower = 2 * line + 1 < lines.rows;
    Html5Form::StartLine(out, line, lines.count);
    WriteHalfBlockLine(out, p_upper, has_lower ? p_upper + std::size_t(lines.columns) * 3 : background,
                       has_lower ? 3 : 0, lines.columns);
    Html5Form::EndLine(out, line, lines.count);
    out.Flush();
  }
}

// Text for an element's content: markup characters as entities, and every
// character HTML forbids in text (controls, noncharacters) or byte that is
// not UTF-8 as U+FFFD, so that the page stays valid whatever a file name
// holds.
void PutElementText(OutputBuffer& out, const char* p_text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(p_text); *p != 0;) {
    const int length = GetUtf8Length(p);
    if (length == 0 || IsForbiddenInText(p, length)) {
      out.Put(REPLACEMENT_CHARACTER);
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

// The HTML5 page up to its body: the title, the background, blocks of
// lines in this font, and the rule for the runs.
void WriteHTML5Head(const PageLines& lines, const PageStyle& style, const char* p_font, const char* p_run_style,
                    OutputBuffer& out) {
  PutLine(out, "<!DOCTYPE html>");
  PutLine(out, "<html lang=\"zxx\">");
  PutLine(out, "<head>");
  PutLine(out, "<meta charset=\"utf-8\">");
  out.Put("<title>");
  PutElementText(out, style.p_title);
  PutLine(out, "</title>");
  PutLine(out, "<style>");
  out.Put("body{color:#FFFFFF;background:rgb(");
  PutComponents(out, ClampColour(style.bg_red), ClampColour(style.bg_green), ClampColour(style.bg_blue));
  PutLine(out, ")}");
  // Blocks off screen are skipped until they come near, at their known
  // size; the clip margin lets the glyphs of a block's first and last
  // lines reach into the next block, which Firefox would otherwise leave
  // a seam between.
  out.Put("pre{margin:0;font:");
  out.Put(p_font);
  out.Put(";content-visibility:auto;overflow-clip-margin:2px;contain-intrinsic-size:auto ");
  out.PutNumber(lines.columns);
  out.Put("ch auto ");
  out.PutNumber(Html5Form::LINES_PER_BLOCK * HTML5_LINE_HEIGHT);
  PutLine(out, "px}");
  PutLine(out, p_run_style);
  PutLine(out, "</style>");
  PutLine(out, "</head>");
  PutLine(out, "<body>");
}

void WritePageEnd(OutputBuffer& out) {
  PutLine(out, "</body>");
  PutLine(out, "</html>");
}

}  // namespace

void WriteHTMLPage(const PageLines& lines, const PageStyle& style, OutputBuffer& out) {
  const char* p_characters = HasShades(style) ? style.p_shades : style.p_source;
  const bool is_unicode = p_characters != nullptr && IsUnicodeText(p_characters);
  PutLine(out, "<html>");
  PutLine(out, "<head>");
  if (is_unicode) PutLine(out, "<meta charset=\"utf-8\">");
  PutLine(out, "</head>");
  out.Put("<body style=\"color: rgb(255, 255, 255); background-color: rgb(");
  PutComponents(out, style.bg_red, style.bg_green, style.bg_blue);
  PutLine(out, ");\" link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">");
  PutLine(out, "<span style=\"font-family: monospace;\"></span><pre><font ");
  WriteTextLinesWith<ClassicForm>(out, lines, style, false);
  WritePageEnd(out);
}


void WriteHTML5Page(const PageLines& lines, const PageStyle& style, OutputBuffer& out) {
  // Neighbouring glyphs share a screen pixel where cells are 5.4 px wide,
  // and their anti-aliased edges let the background through between
  // blocks; a run's background in its own colour, drawn in whole pixels,
  // closes those seams. Only a string of full blocks has it: it would hide
  // any other character.
  const char* p_characters = HasShades(style) ? style.p_shades : style.p_source;
  const bool is_solid = p_characters != nullptr && IsFullBlocks(p_characters);
  WriteHTML5Head(lines, style, HTML5_FONT,
                 is_solid ? "i{font-style:normal;background:currentColor}" : "i{font-style:normal}", out);
  WriteTextLinesWith<Html5Form>(out, lines, style, true);
  WritePageEnd(out);
}

void WriteHalfBlockPage(const PageLines& lines, const PageStyle& style, OutputBuffer& out) {
  WriteHTML5Head(lines, style, HALF_BLOCK_FONT, HALF_BLOCK_STYLE, out);
  WriteHalfBlockLines(out, lines, style);
  WritePageEnd(out);
}
