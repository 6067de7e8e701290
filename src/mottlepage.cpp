#include "mottlepage.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "CommandLine.h"
#include "Diagnostics.h"
#include "ImageInput.h"
#include "LoadPPM.h"
#include "OutputFile.h"
#include "Resample.h"

namespace {

const char* const HELP_LINES[] = {
    "mottlepage - draws a PPM image as coloured text on an HTML page",
    "           see mottlepage(1) for further info and the options --width=N, --height=N, --html5, --shades=CHARS, --output=FILE",
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
const int MAX_PIXEL_BYTES = 32 + MAX_CHARACTER_BYTES;

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

}  // namespace

void WriteHelp(OutputBuffer& out) {
  for (const char* p_line : HELP_LINES) {
    out.Put(p_line);
    out.Put('\n');
    out.Flush();
  }
}

namespace {

// A fixed line of the page, flushed as std::endl would.
void PutLine(OutputBuffer& out, const char* p_text) {
  out.Put(p_text);
  out.Put('\n');
  out.Flush();
}

}  // namespace

namespace {

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

int ClampColour(int value) { return value < 0 ? 0 : value > 255 ? 255 : value; }

}  // namespace

namespace {

PageStyle GetPlainStyle(const char* p_source, int bg_red, int bg_green, int bg_blue, const char* p_title) {
  PageStyle style;
  style.p_source = p_source;
  style.bg_red = bg_red;
  style.bg_green = bg_green;
  style.bg_blue = bg_blue;
  style.p_title = p_title;
  return style;
}

}  // namespace

void WriteHTMLPage(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                   int bg_red, int bg_green, int bg_blue, OutputBuffer& out) {
  WriteHTMLPage(GetImageLines(p_pixel, image_width, image_height),
                GetPlainStyle(p_source, bg_red, bg_green, bg_blue, nullptr), out);
}

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
  PutLine(out, "</body>");
  PutLine(out, "</html>");
}

void WriteHTML5Page(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                    int bg_red, int bg_green, int bg_blue, const char* p_title, OutputBuffer& out) {
  WriteHTML5Page(GetImageLines(p_pixel, image_width, image_height),
                 GetPlainStyle(p_source, bg_red, bg_green, bg_blue, p_title), out);
}

void WriteHTML5Page(const PageLines& lines, const PageStyle& style, OutputBuffer& out) {
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
  out.Put(HTML5_FONT);
  out.Put(";content-visibility:auto;overflow-clip-margin:2px;contain-intrinsic-size:auto ");
  out.PutNumber(lines.columns);
  out.Put("ch auto ");
  out.PutNumber(Html5Form::LINES_PER_BLOCK * HTML5_LINE_HEIGHT);
  PutLine(out, "px}");
  // Neighbouring glyphs share a screen pixel where cells are 5.4 px wide,
  // and their anti-aliased edges let the background through between
  // blocks; a run's background in its own colour, drawn in whole pixels,
  // closes those seams. Only a string of full blocks has it: it would hide
  // any other character.
  const char* p_characters = HasShades(style) ? style.p_shades : style.p_source;
  const bool is_solid = p_characters != nullptr && IsFullBlocks(p_characters);
  PutLine(out, is_solid ? "i{font-style:normal;background:currentColor}" : "i{font-style:normal}");
  PutLine(out, "</style>");
  PutLine(out, "</head>");
  PutLine(out, "<body>");
  WriteTextLinesWith<Html5Form>(out, lines, style, true);
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

// The page the command line asks for, on either kind of page.
PageStyle ChoosePageStyle(const CommandLine& command_line) {
  PageStyle style;
  style.p_source = command_line.p_source;
  style.p_shades = command_line.p_shades;
  style.bg_red = command_line.bg_red;
  style.bg_green = command_line.bg_green;
  style.bg_blue = command_line.bg_blue;
  style.p_title = command_line.p_title;
  // A page must have a title: an empty one gives way to the image's name.
  if (style.p_title == nullptr || *style.p_title == '\0') {
    style.p_title = std::strcmp(command_line.p_image, "-") == 0 ? "standard input" : command_line.p_image;
  }
  return style;
}

void WritePage(const PageLines& lines, const CommandLine& command_line, OutputBuffer& page) {
  if (command_line.is_html5) {
    WriteHTML5Page(lines, ChoosePageStyle(command_line), page);
  } else {
    WriteHTMLPage(lines, ChoosePageStyle(command_line), page);
  }
}

// The page to standard output, or (--output) to a file that takes FILE's
// place only once the page is complete: a failure leaves FILE as it was.
// The page's buffer is the one standard output would have used.
int WritePageOut(const PageLines& lines, const CommandLine& command_line, OutputBuffer& out, char* p_storage,
                 std::size_t size, OutputBuffer& err) {
  // A page beyond the file size limit (ulimit -f) is a failure with its
  // reason (File too large), as on a full disk, not an end by SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);
  if (command_line.p_output == nullptr) {
    WritePage(lines, command_line, out);
    return FinishOutput(out, err, 0);
  }
  OutputFile file;
  int error = file.Open(command_line.p_output);
  if (error == 0) {
    OutputBuffer page(file.GetDescriptor(), p_storage, size);
    WritePage(lines, command_line, page);
    page.Flush();
    error = page.IsGood() ? file.Commit() : -page.GetWriteError();
  }
  if (error == 0) return 0;
  WriteOutputFileFailure(err, command_line.p_output, -error, file.HasOldFile());
  return 1;
}

// --output naming the image itself (by any name or link, or standard
// input's file) is refused before anything is read: the page would replace
// the picture it draws.
bool RefusesOutputOverImage(const CommandLine& command_line, OutputBuffer& err) {
  const char* p_image = command_line.p_image;
  if (command_line.p_output == nullptr || p_image == nullptr) return false;
  if (!OutputFile::IsImageFile(command_line.p_output, std::strcmp(p_image, "-") == 0 ? nullptr : p_image)) {
    return false;
  }
  WriteOutputIsImage(err, command_line.p_output);
  return true;
}

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

  if (RefusesOutputOverImage(command_line, err)) return 1;

  unsigned char* p_pixel = nullptr;
  int image_width = 0;
  int image_height = 0;
  const char* p_argument = command_line.p_image;
  ImageOptions options;
  options.request.columns = command_line.columns;
  options.request.lines = command_line.lines;
  options.request.cell = command_line.is_html5 ? HTML5_CELL : PAGE_CELL;
  options.has_background = command_line.has_background;
  options.bg_red = command_line.bg_red;
  options.bg_green = command_line.bg_green;
  options.bg_blue = command_line.bg_blue;
  LoadImage p_image = p_argument != nullptr && std::strcmp(p_argument, "-") == 0
                          ? LoadImage(p_pixel, STDIN_FILENO, image_width, image_height, options)
                          : LoadImage(p_pixel, p_argument, image_width, image_height, options);
  if (p_pixel == nullptr) {
    StartFailure(err);
    WriteLoadFailure(err, p_image, command_line, image_width, image_height);
    WriteHelp(out);
    return FinishOutput(out, err, 1);
  }
  WriteLoadWarnings(err, p_image, command_line);
  WriteLateOptionWarning(err, command_line);

  PageLines lines = GetImageLines(p_pixel, image_width, image_height);
  ScaledLines scaled_lines;
  if (command_line.IsScaled()) {
    // The page's size comes from the picture's own size, even when it was
    // decoded smaller.
    int page_columns = 0;
    int page_lines = 0;
    ChoosePageSize(p_image.GetFullWidth(), p_image.GetFullHeight(), command_line.columns, command_line.lines,
                   options.request.cell, page_columns, page_lines);
    if (!scaled_lines.StartLines(p_pixel, image_width, image_height, page_columns, page_lines, lines)) {
      std::free(p_pixel);
      StartFailure(err);
      WriteScalingFailure(err, command_line, page_columns, page_lines);
      WriteHelp(out);
      return FinishOutput(out, err, 1);
    }
  }

  const int status =
      WritePageOut(lines, command_line, out, page_storage.GetData(), page_storage.GetSize(), err);
  std::free(p_pixel);
  return status;
}
#endif
