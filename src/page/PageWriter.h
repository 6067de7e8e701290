// PageWriter: the HTML page that draws a picture as coloured text.
//
// The page has one text line for every line the source gives (a picture's
// rows 0, 2, 4, ..., or a scaled picture's rows) and one character per
// pixel, coloured with the pixel's colour; a colour tag is written only
// where the colour changes along a line. The characters come from a source
// string, cycled along the line and shifted two places per line, or are
// pseudo-random letters 'a'..'y', the same on every run, or shades by
// lightness.

#ifndef MOTTLEPAGE_PAGE_PAGEWRITER_H
#define MOTTLEPAGE_PAGE_PAGEWRITER_H

#include "common/Output.h"
#include "page/PageLines.h"

// What a page draws its cells with: the source string's characters (null
// or empty: random letters) or, when p_shades is set (and not empty), the
// shade for each cell's lightness (ShadeCharacters; turned round on a
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

// The default page, byte for byte as it always was: no doctype, font tags
// never closed. The bytes '&', '<' and '>' of the string are written as
// entities. Stops early once the output has failed; the caller checks it.
void WriteHTMLPage(const PageLines& lines, const PageStyle& style, OutputBuffer& out);

// The same pixels, characters and colour runs on a valid HTML5 page: the
// title (escaped) in its head, CSS in one style element, every element
// closed, the text lines in blocks; the background components clamped to
// 0..255. A source string that is not UTF-8 is drawn as the characters its
// bytes are in Windows-1252, as a browser shows them on the default page.
void WriteHTML5Page(const PageLines& lines, const PageStyle& style, OutputBuffer& out);

// The HTML5 page of two picture pixels a cell, the upper in its top half
// and the lower in its bottom half, each exactly half a line high and
// solid, with no characters: every text line shows two rows (PageLines),
// and under an odd last row the lower halves are the background. A run
// takes the cells whose halves both match the cell before them. The
// style's source and shades are not used.
void WriteHalfBlockPage(const PageLines& lines, const PageStyle& style, OutputBuffer& out);

#endif
