#include "page/PageSize.h"

#include <cstdint>

namespace {

const int MAX_SIDE = 65535;

// numerator / denominator rounded to the nearest whole number, an exact
// half up, within 1 to limit.
int RoundSide(std::int64_t numerator, std::int64_t denominator, int limit) {
  const std::int64_t rounded = (2 * numerator + denominator) / (2 * denominator);
  if (rounded < 1) return 1;
  return rounded > limit ? limit : int(rounded);
}

}  // namespace

void ChoosePageSize(int image_width, int image_height, int columns, int lines, const CellShape& cell,
                    int& page_columns, int& page_lines) {
  // Text lines per character of width that keep the image's shape, as the
  // fraction per_column / per_line.
  const std::int64_t per_column = std::int64_t(image_height) * cell.width_numerator * cell.height_denominator;
  const std::int64_t per_line = std::int64_t(image_width) * cell.width_denominator * cell.height_numerator;
  const int column_limit = columns > 0 ? columns : MAX_SIDE;
  const int line_limit = lines > 0 ? lines : MAX_SIDE;
  if (columns > 0 && column_limit * per_column <= line_limit * per_line) {
    page_columns = column_limit;
    page_lines = RoundSide(column_limit * per_column, per_line, line_limit);
  } else {
    page_lines = line_limit;
    page_columns = RoundSide(line_limit * per_line, per_column, column_limit);
    if (page_columns == column_limit) page_lines = RoundSide(column_limit * per_column, per_line, line_limit);
  }
}

void ChooseLeastPictureSize(const void* p_request, int width, int height, int& least_width, int& least_height) {
  const PageRequest& request = *static_cast<const PageRequest*>(p_request);
  least_width = width;
  least_height = height;
  if (!request.IsScaled() || width < 1 || height < 1) return;
  int page_columns = 0;
  int page_lines = 0;
  ChoosePageSize(width, height, request.columns, request.lines, request.cell, page_columns, page_lines);
  // A scaled page's line i is row i of the picture at page_columns x
  // page_lines.
  if (page_columns < width) least_width = page_columns;
  if (page_lines < height) least_height = page_lines;
}
