// Resample: an image at another size, and the page size that keeps its
// proportions.
//
// Shrinking averages every source pixel that a target pixel covers,
// weighted by how much of it is covered (an area average, in exact
// integers: a flat colour stays exactly that colour, and halving an image
// of 2 x 2 blocks gives exactly the blocks' colours); enlarging repeats
// pixels. Each direction is scaled on its own, so an image may shrink
// across and grow downwards.
//
// Buffers are width x height x 3 bytes, RGB, rows top to bottom, as the
// loader makes them. A page's scaled lines are made one at a time as the
// writer takes them (ScaledLines), so that no page-sized image is ever
// held. Nothing is thrown; a shortage of memory is a false result.

#ifndef MOTTLEPAGE_RESAMPLE_H
#define MOTTLEPAGE_RESAMPLE_H

#include <cstdint>

// A character cell's width and a text line's height in CSS pixels, each an
// exact fraction, so that a page size falling on an exact half is rounded
// the same way on every machine.
struct CellShape {
  int width_numerator;
  int width_denominator;
  int height_numerator;
  int height_denominator;
};

// The page size in characters per line and text lines that shows an image
// in its proportions with cells of this shape: as large as fits inside
// `columns` x `lines`, where 0 leaves a direction free (at least one is
// given). Each side is 1 to 65535; an exact half rounds up.
void ChoosePageSize(int image_width, int image_height, int columns, int lines, const CellShape& cell,
                    int& page_columns, int& page_lines);

// Resamples the source into p_target, target_width x target_height. False
// when there is no memory for the work row.
bool ResamplePixels(const unsigned char* p_source, int source_width, int source_height, unsigned char* p_target,
                    int target_width, int target_height);

struct PageLines;

// The text lines of an image scaled to page_columns x page_lines, each
// computed when the page writer asks for it: line i is row i of the image
// resampled to that size. Only the source and two rows of work memory are
// held; the source must outlive the lines.
class ScaledLines {
 public:
  ScaledLines() = default;
  ScaledLines(const ScaledLines&) = delete;
  ScaledLines& operator=(const ScaledLines&) = delete;
  ~ScaledLines();

  // Sets up lines to draw the scaled image; called once. False when there
  // is no memory for the work rows.
  bool StartLines(const unsigned char* p_source, int source_width, int source_height, int page_columns,
                  int page_lines, PageLines& lines);

  // Line `line`'s page_columns RGB pixels, valid until the next call.
  const unsigned char* GetLine(int line);

 private:
  const unsigned char* _p_source = nullptr;
  int _source_width = 0;
  int _source_height = 0;
  int _page_columns = 0;
  int _page_lines = 0;
  std::uint32_t* _p_sums = nullptr;  // the weighted sums of a line's source rows
  unsigned char* _p_line = nullptr;  // the line last made
  int _first_row = -1;               // the first source row it covers
};

#endif
