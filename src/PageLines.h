// PageLines: the text lines of a page, as the page writers take them.
//
// Lines are handed to the writer one at a time: line i's colours are
// `columns` RGB pixels at GetLine(i), valid until the next call. A page of
// an image shows its rows 0, 2, 4, ... (GetImageLines); a scaled page
// computes each line when it is asked for (ScaledLines, in Resample), so
// that no page-sized image is ever held. GetLine returns null when a line
// cannot be made (the writer then stops).

#ifndef MOTTLEPAGE_PAGELINES_H
#define MOTTLEPAGE_PAGELINES_H

#include <cstddef>

struct PageLines {
  int columns = 0;
  int count = 0;
  const unsigned char* (*p_get_line)(const PageLines& lines, int line) = nullptr;
  const unsigned char* p_pixel = nullptr;  // an image's own rows (GetImageLines)
  void* p_context = nullptr;               // a line source's state (scaling)

  const unsigned char* GetLine(int line) const { return p_get_line(*this, line); }
};

inline const unsigned char* GetImageRow(const PageLines& lines, int line) {
  return lines.p_pixel + std::size_t(2 * line) * std::size_t(lines.columns) * 3;
}

// The lines of a width x height x 3 RGB buffer: every second row.
inline PageLines GetImageLines(const unsigned char* p_pixel, int image_width, int image_height) {
  PageLines lines;
  lines.columns = image_width;
  lines.count = (image_height + 1) / 2;
  lines.p_get_line = GetImageRow;
  lines.p_pixel = p_pixel;
  return lines;
}

#endif
