// mottlepage: draws an RGB image as coloured text on an HTML page.
//
// The page has one text line for every second image row (rows 0, 2, 4, ...)
// and one character per pixel, coloured with the pixel's colour; a colour
// tag is written only where the colour changes along a line. The characters
// come from a source string, cycled along the line and shifted two places
// per line, or are pseudo-random letters 'a'..'y', the same on every run.

#ifndef MOTTLEPAGE_MOTTLEPAGE_H
#define MOTTLEPAGE_MOTTLEPAGE_H

#include <cstdint>
#include <ostream>

#include "Characters.h"
#include "PageLines.h"
#include "Output.h"
#include "Resample.h"

// A character cell of the page as Chromium and Firefox draw it with
// Debian's monospace font, 5.4 x 13 CSS pixels; a text line stands for two
// image rows.
const CellShape PAGE_CELL = {27, 5, 13, 1};

// The HTML5 page sets its font so that cells of the full block touch, in
// Chromium and Firefox: the block is nearly 11 pixels high at 9 pixels,
// and lines a whole number of pixels apart keep every line's glyphs on the
// same pixel rows (at 10.2 or 10.8 a faint seam shows every few lines).
const char HTML5_FONT[] = "9px/10px monospace";
const int HTML5_LINE_HEIGHT = 10;
const CellShape HTML5_CELL = {27, 5, HTML5_LINE_HEIGHT, 1};  // 5.4 x 10

// Writes the usage text.
void WriteHelp(OutputBuffer& out);

// Writes the page for a width x height x 3 RGB buffer. p_source is the
// string of characters to draw with; null or empty gives random letters.
// The bytes '&', '<' and '>' of the source string are written as entities.
// Stops early once the output has failed; the caller checks it.
void WriteHTMLPage(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                   int bg_red, int bg_green, int bg_blue, OutputBuffer& out);
// The same pixels, characters and colour runs on a valid HTML5 page: the
// title (escaped) in its head, CSS in one style element, every element
// closed, the text lines in blocks; the background components clamped to
// 0..255. A source string that is not UTF-8 is drawn as the characters its
// bytes are in Windows-1252, as a browser shows them on the default page.
void WriteHTML5Page(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                    int bg_red, int bg_green, int bg_blue, const char* p_title, OutputBuffer& out);

// What a page draws its cells with, for the writers below: the source
// string's characters as above or, when p_shades is set (and not empty),
// the shade for each cell's lightness (ShadeCharacters; turned round on a
// background lighter than the middle); the background; the HTML5 page's
// title.
struct PageStyle {
  const char* p_source = nullptr;
  const char* p_shades = nullptr;
  int bg_red = 0;
  int bg_green = 0;
  int bg_blue = 0;
  const char* p_title = nullptr;
};
void WriteHTMLPage(const PageLines& lines, const PageStyle& style, OutputBuffer& out);
void WriteHTML5Page(const PageLines& lines, const PageStyle& style, OutputBuffer& out);

// The same page into a stream, for tests and fuzzing.
void WriteHTMLPage(const unsigned char* p_pixel, int image_width, int image_height, const char* p_source,
                   int bg_red, int bg_green, int bg_blue, std::ostream& page);

#endif
