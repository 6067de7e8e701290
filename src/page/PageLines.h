// PageLines: the text lines of a page, as the page writers take them.
//
// Lines are handed to the writer one at a time: line i's colours are
// `columns` RGB pixels at GetLine(i), valid until the next call. A page of
// a picture at its own size shows its rows 0, 2, 4, ... (GetPictureLines);
// a scaled page makes each line when it is asked for (ScaledLines), from
// the source rows it covers, so that no page-sized picture is ever held.
// GetLine returns null when a line cannot be made (the writer then stops).
//
// The half-block page draws two rows a line: its line i is rows 2i and
// 2i + 1, one after the other at GetLine(i) (GetPictureLines gives a
// picture's every row so; ScaledLines makes both when asked for two rows a
// line). `rows` says how many there are: an odd count leaves the last line
// without its lower row.

#ifndef MOTTLEPAGE_PAGE_PAGELINES_H
#define MOTTLEPAGE_PAGE_PAGELINES_H

#include <cstddef>
#include <cstdint>

struct PageLines {
  int columns = 0;
  int count = 0;
  int rows = 0;  // the rows of the picture, at the page's size, that the lines show
  const unsigned char* (*p_get_line)(const PageLines& lines, int line) = nullptr;
  const unsigned char* p_pixel = nullptr;  // a picture's own rows (GetPictureLines)
  void* p_context = nullptr;               // a line source's state (scaling)

  const unsigned char* GetLine(int line) const { return p_get_line(*this, line); }
};

inline const unsigned char* GetPictureRow(const PageLines& lines, int line) {
  return lines.p_pixel + std::size_t(2 * line) * std::size_t(lines.columns) * 3;
}

// The lines of a width x height x 3 RGB buffer: every second row (and the
// row below it, for the half-block page).
inline PageLines GetPictureLines(const unsigned char* p_pixel, int width, int height) {
  PageLines lines;
  lines.columns = width;
  lines.count = (height + 1) / 2;
  lines.rows = height;
  lines.p_get_line = GetPictureRow;
  lines.p_pixel = p_pixel;
  return lines;
}

// The text lines of a picture resampled to page_columns x page_rows (an
// area average; common/AreaAverage), each made when the page writer asks
// for it: line i is row i of the picture at that size, or rows 2i and
// 2i + 1 with two rows a line. Only the source and a few rows of work
// memory are held; the source must outlive the lines.
class ScaledLines {
 public:
  ScaledLines() = default;
  ScaledLines(const ScaledLines&) = delete;
  ScaledLines& operator=(const ScaledLines&) = delete;
  ~ScaledLines();

  // Sets up lines to draw the scaled picture; called once. False when
  // there is no memory for the work rows.
  bool StartLines(const unsigned char* p_source, int source_width, int source_height, int page_columns,
                  int page_rows, PageLines& lines, int rows_per_line = 1);

  // Line `line`'s rows of page_columns RGB pixels, valid until the next
  // call.
  const unsigned char* GetLine(int line);

 private:
  const unsigned char* _p_source = nullptr;
  int _source_width = 0;
  int _source_height = 0;
  int _page_columns = 0;
  int _page_rows = 0;
  int _rows_per_line = 1;
  std::uint32_t* _p_sums = nullptr;      // the weighted sums of a row's source rows
  unsigned char* _p_line = nullptr;      // the line last made
  const unsigned char* _p_last = nullptr;  // its row made last
  int _first_row = -1;                   // the first source row that row covers

  void MakeRow(int row, unsigned char* p_row);
};

#endif
