#include "page/PageLines.h"

#include <cstdlib>
#include <cstring>

#include "common/AreaAverage.h"

namespace {

const unsigned char* GetScaledLine(const PageLines& lines, int line) {
  return static_cast<ScaledLines*>(lines.p_context)->GetLine(line);
}

}  // namespace

ScaledLines::~ScaledLines() {
  std::free(_p_sums);
  std::free(_p_line);
}

bool ScaledLines::StartLines(const unsigned char* p_source, int source_width, int source_height, int page_columns,
                             int page_rows, PageLines& lines, int rows_per_line) {
  _p_sums = static_cast<std::uint32_t*>(std::malloc(std::size_t(source_width) * 3 * sizeof(std::uint32_t)));
  _p_line = static_cast<unsigned char*>(std::malloc(std::size_t(page_columns) * 3 * rows_per_line));
  if (_p_sums == nullptr || _p_line == nullptr) return false;
  _p_source = p_source;
  _source_width = source_width;
  _source_height = source_height;
  _page_columns = page_columns;
  _page_rows = page_rows;
  _rows_per_line = rows_per_line;
  lines = PageLines();
  lines.columns = page_columns;
  lines.count = (page_rows + rows_per_line - 1) / rows_per_line;
  lines.rows = page_rows;
  lines.p_get_line = GetScaledLine;
  lines.p_context = this;
  return true;
}

const unsigned char* ScaledLines::GetLine(int line) {
  const std::size_t row_size = std::size_t(_page_columns) * 3;
  for (int k = 0; k < _rows_per_line && line * _rows_per_line + k < _page_rows; ++k) {
    MakeRow(line * _rows_per_line + k, _p_line + k * row_size);
  }
  return _p_line;
}

void ScaledLines::MakeRow(int row, unsigned char* p_row) {
  const Span span = GetSpan(row, _source_height, _page_rows);
  // Enlarging repeats a source row over several rows: it is reduced once.
  // (Shrinking starts every row at a source row of its own.)
  if (span.first == _first_row) {
    if (p_row != _p_last) std::memcpy(p_row, _p_last, std::size_t(_page_columns) * 3);
    _p_last = p_row;
    return;
  }
  _first_row = span.first;
  _p_last = p_row;
  const std::size_t samples = std::size_t(_source_width) * 3;
  std::memset(_p_sums, 0, samples * sizeof(std::uint32_t));
  for (int source = span.first; source <= span.last; ++source) {
    AddRow(_p_sums, _p_source + std::size_t(source) * samples, samples, span.GetWeight(source));
  }
  ReduceRow(_p_sums, _source_width, p_row, _page_columns, span.total);
}
