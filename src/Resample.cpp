#include "Resample.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "PageLines.h"

namespace {

const int MAX_SIDE = 65535;

// numerator / denominator rounded to the nearest whole number, an exact
// half up, within 1 to limit.
int RoundSide(std::int64_t numerator, std::int64_t denominator, int limit) {
  const std::int64_t rounded = (2 * numerator + denominator) / (2 * denominator);
  if (rounded < 1) return 1;
  return rounded > limit ? limit : int(rounded);
}

// The source pixels that target pixel `index` takes along one direction,
// from `first` to `last`, with their weights: `first_weight`, then
// `middle_weight` each, then `last_weight`; they add up to `total`.
// Shrinking measures in steps of 1 / target_size of a source pixel, so
// every weight is an integer.
struct Span {
  int first;
  int last;
  std::uint32_t first_weight;
  std::uint32_t middle_weight;
  std::uint32_t last_weight;
  std::uint32_t total;

  std::uint32_t GetWeight(int source) const {
    return source == first ? first_weight : source == last ? last_weight : middle_weight;
  }
};

Span GetSpan(int index, int source_size, int target_size) {
  const std::int64_t s = source_size;
  const std::int64_t t = target_size;
  if (target_size > source_size) {
    // Enlarging: the source pixel under the target pixel's centre.
    const int source = int((2 * index + 1) * s / (2 * t));
    return {source, source, 1, 1, 1, 1};
  }
  const std::int64_t start = index * s;
  const std::int64_t end = start + s;
  Span span{int(start / t), int((end - 1) / t), 0, std::uint32_t(t), 0, std::uint32_t(s)};
  if (span.first == span.last) {
    span.first_weight = span.last_weight = std::uint32_t(s);
  } else {
    span.first_weight = std::uint32_t((span.first + 1) * t - start);
    span.last_weight = std::uint32_t(end - span.last * t);
  }
  return span;
}

// Adds weight x each sample of a source row into the row's sums.
void AddRow(std::uint32_t* p_sums, const unsigned char* p_row, std::size_t samples, std::uint32_t weight) {
  for (std::size_t k = 0; k < samples; ++k) p_sums[k] += weight * p_row[k];
}

// One target row from the sums of the source rows it covers.
void ReduceRow(const std::uint32_t* p_sums, int source_width, unsigned char* p_target, int target_width,
               std::uint64_t row_total) {
  for (int x = 0; x < target_width; ++x) {
    const Span span = GetSpan(x, source_width, target_width);
    std::uint64_t sum[3] = {0, 0, 0};
    for (int source = span.first; source <= span.last; ++source) {
      const std::uint64_t weight = span.GetWeight(source);
      const std::uint32_t* p_pixel = p_sums + std::size_t(source) * 3;
      for (int c = 0; c < 3; ++c) sum[c] += weight * p_pixel[c];
    }
    const std::uint64_t total = row_total * span.total;
    for (int c = 0; c < 3; ++c) p_target[std::size_t(x) * 3 + c] = static_cast<unsigned char>((sum[c] + total / 2) / total);
  }
}

const unsigned char* GetScaledLine(const PageLines& lines, int line) {
  return static_cast<ScaledLines*>(lines.p_context)->GetLine(line);
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

bool ResamplePixels(const unsigned char* p_source, int source_width, int source_height, unsigned char* p_target,
                    int target_width, int target_height) {
  const std::size_t samples = std::size_t(source_width) * 3;
  std::uint32_t* p_sums = static_cast<std::uint32_t*>(std::malloc(samples * sizeof(std::uint32_t)));
  if (p_sums == nullptr) return false;
  for (int y = 0; y < target_height; ++y) {
    const Span span = GetSpan(y, source_height, target_height);
    std::memset(p_sums, 0, samples * sizeof(std::uint32_t));
    for (int source = span.first; source <= span.last; ++source) {
      AddRow(p_sums, p_source + std::size_t(source) * samples, samples, span.GetWeight(source));
    }
    ReduceRow(p_sums, source_width, p_target + std::size_t(y) * target_width * 3, target_width, span.total);
  }
  std::free(p_sums);
  return true;
}

ScaledLines::~ScaledLines() {
  std::free(_p_sums);
  std::free(_p_line);
}

bool ScaledLines::StartLines(const unsigned char* p_source, int source_width, int source_height, int page_columns,
                             int page_lines, PageLines& lines) {
  _p_sums = static_cast<std::uint32_t*>(std::malloc(std::size_t(source_width) * 3 * sizeof(std::uint32_t)));
  _p_line = static_cast<unsigned char*>(std::malloc(std::size_t(page_columns) * 3));
  if (_p_sums == nullptr || _p_line == nullptr) return false;
  _p_source = p_source;
  _source_width = source_width;
  _source_height = source_height;
  _page_columns = page_columns;
  _page_lines = page_lines;
  lines = PageLines();
  lines.columns = page_columns;
  lines.count = page_lines;
  lines.p_get_line = GetScaledLine;
  lines.p_context = this;
  return true;
}

const unsigned char* ScaledLines::GetLine(int line) {
  const Span span = GetSpan(line, _source_height, _page_lines);
  // Enlarging repeats a source row over several lines: it is reduced once.
  // (Shrinking starts every line at a row of its own.)
  if (span.first == _first_row) return _p_line;
  _first_row = span.first;
  const std::size_t samples = std::size_t(_source_width) * 3;
  std::memset(_p_sums, 0, samples * sizeof(std::uint32_t));
  for (int source = span.first; source <= span.last; ++source) {
    AddRow(_p_sums, _p_source + std::size_t(source) * samples, samples, span.GetWeight(source));
  }
  ReduceRow(_p_sums, _source_width, _p_line, _page_columns, span.total);
  return _p_line;
}
