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
