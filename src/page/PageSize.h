// PageSize: how many characters and text lines a page takes for a picture,
// keeping its proportions on the cells that browsers draw.

#ifndef MOTTLEPAGE_PAGE_PAGESIZE_H
#define MOTTLEPAGE_PAGE_PAGESIZE_H

// A character cell's width and a text line's height in CSS pixels, each an
// exact fraction, so that a page size falling on an exact half is rounded
// the same way on every machine.
struct CellShape {
  int width_numerator;
  int width_denominator;
  int height_numerator;
  int height_denominator;
};

// A character cell of the default page as Chromium and Firefox draw it with
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

// The half-block page draws no glyphs: its cells are inline blocks as wide
// as their spaces and as high as a line, each half a picture pixel. At 9
// px a cell is 5.4 px wide, which Chromium lays out in 1/64 px and rounds
// up once per run, so that cells drift by up to 1.6 px over a line of
// photo; 8.75 px makes a cell 5.25 px, a whole number of Chromium's and
// Firefox's (1/60 px) units, and every half lands where it should.
const char HALF_BLOCK_FONT[] = "8.75px/10px monospace";
const int HALF_BLOCK_HEIGHT = HTML5_LINE_HEIGHT / 2;
const CellShape HALF_BLOCK_CELL = {21, 4, HALF_BLOCK_HEIGHT, 1};  // 5.25 x 5, a picture pixel

// The page size in characters per line and text lines that shows an image
// in its proportions with cells of this shape: as large as fits inside
// `columns` x `lines`, where 0 leaves a direction free (at least one is
// given). Each side is 1 to 65535; an exact half rounds up.
void ChoosePageSize(int image_width, int image_height, int columns, int lines, const CellShape& cell,
                    int& page_columns, int& page_lines);

// What the command line asks of the page's size: limits in characters and
// lines (both 0: the picture's own size, a character per pixel of every
// second row) and the cell shape they are measured in. For the half-block
// page the lines are picture rows, two to a text line, and the cell is a
// half cell.
struct PageRequest {
  int columns = 0;
  int lines = 0;
  CellShape cell = PAGE_CELL;

  bool IsScaled() const { return columns > 0 || lines > 0; }
};

// The least size a picture of width x height must have for the page to
// take every cell from pixels of its own: the page's size where it is
// smaller, the picture's own where the page enlarges it. For a reader that
// can shrink a picture as it reads it; p_request is a PageRequest.
void ChooseLeastPictureSize(const void* p_request, int width, int height, int& least_width, int& least_height);

#endif
