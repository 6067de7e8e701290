#include "picture/Canvas.h"

#include <cstdlib>
#include <cstring>

#include "common/AreaAverage.h"
#include "common/Colour.h"
#include "picture/Orientation.h"

namespace {

bool IsTurned(int orientation) { return orientation >= 5 && orientation <= 8; }

// RGBA onto the background, packed into RGB from the row's start.
void Composite(unsigned char* p_pixels, int count, const unsigned background[3]) {
  const unsigned char* p_in = p_pixels;
  unsigned char* p_out = p_pixels;
  for (int i = 0; i < count; ++i, p_in += 4, p_out += 3) {
    const unsigned alpha = p_in[3];
    unsigned char blended[3];
    for (int c = 0; c < 3; ++c) {
      blended[c] = static_cast<unsigned char>((p_in[c] * alpha + background[c] * (255 - alpha) + 127) / 255);
    }
    std::memcpy(p_out, blended, 3);
  }
}

}  // namespace

Canvas::Canvas(const CanvasOptions& options, LoadReport& report) : _options(options), _report(report) {}

Canvas::~Canvas() {
  std::free(_p_target);
  std::free(_p_row);
  std::free(_p_sums);
}

void Canvas::GetLeastSize(int width, int height, int orientation, int& least_width, int& least_height) const {
  least_width = width;
  least_height = height;
  if (_options.p_choose_least_size == nullptr || width < 1 || height < 1) return;
  const bool is_turned = IsTurned(orientation);
  const int upright_width = is_turned ? height : width;
  const int upright_height = is_turned ? width : height;
  int across = upright_width;
  int down = upright_height;
  _options.p_choose_least_size(_options.p_size_context, upright_width, upright_height, across, down);
  if (across < 1 || across > upright_width) across = upright_width;
  if (down < 1 || down > upright_height) down = upright_height;
  least_width = is_turned ? down : across;
  least_height = is_turned ? across : down;
}

void Canvas::Refuse(std::int64_t bytes) { _report.bytes_wanted = _reserved + bytes; }

bool Canvas::Reserve(std::int64_t bytes) {
  if (_options.memory_limit > 0 && _reserved + bytes > _options.memory_limit) {
    Refuse(bytes);
    return false;
  }
  _reserved += bytes;
  return true;
}

std::int64_t Canvas::GetBytesLeft() const {
  if (_options.memory_limit <= 0) return 0;
  return _reserved < _options.memory_limit ? _options.memory_limit - _reserved : 1;
}

LoadFailure Canvas::Start(const PictureHeader& header) {
  _header = header;
  if (_header.row_width == 0) {
    _header.row_width = header.width;
    _header.row_height = header.height;
  }
  const bool is_turned = IsTurned(header.orientation);
  _report.width = is_turned ? header.height : header.width;
  _report.height = is_turned ? header.width : header.height;
  if (header.width > PictureHeader::MAX_SIDE) {
    _report.refused_value = header.width;
    return LoadFailure::WIDTH_OUT_OF_RANGE;
  }
  if (header.height > PictureHeader::MAX_SIDE) {
    _report.refused_value = header.height;
    return LoadFailure::HEIGHT_OUT_OF_RANGE;
  }
  const int row_width = _header.row_width;
  const int row_height = _header.row_height;
  if (header.width < 1 || header.height < 1 || row_width < 1 || row_height < 1) {
    _report.SetWords("the picture has no pixels");
    return LoadFailure::UNREADABLE;
  }
  GetLeastSize(header.width, header.height, header.orientation, _target_width, _target_height);
  if (_target_width > row_width) _target_width = row_width;
  if (_target_height > row_height) _target_height = row_height;

  const std::int64_t target_bytes = std::int64_t(_target_width) * _target_height * 3;
  const std::int64_t row_bytes = std::int64_t(row_width) * 4;
  const std::int64_t sums_bytes = IsWholeSize() ? 0 : std::int64_t(row_width) * 3 * 4;
  // Turning a picture a quarter round takes a second block of its size.
  if (!Reserve(target_bytes * (is_turned ? 2 : 1) + row_bytes + sums_bytes)) return LoadFailure::NO_MEMORY;
  _p_target = static_cast<unsigned char*>(std::malloc(std::size_t(target_bytes)));
  _p_row = static_cast<unsigned char*>(std::malloc(std::size_t(row_bytes)));
  _p_sums = sums_bytes > 0 ? static_cast<std::uint32_t*>(std::calloc(std::size_t(sums_bytes), 1)) : nullptr;
  if (_p_target == nullptr || _p_row == nullptr || (sums_bytes > 0 && _p_sums == nullptr)) {
    Refuse(0);
    return LoadFailure::NO_MEMORY;
  }
  _conversion.Open(header.layout, header.p_icc, header.icc_size);
  return LoadFailure::NONE;
}

bool Canvas::IsWholeSize() const {
  return _target_width == _header.row_width && _target_height == _header.row_height;
}

void Canvas::MakeRGB(const unsigned char* p_row) {
  _conversion.ConvertRow(p_row, _p_row, _header.row_width);
  if (_header.layout != SampleLayout::RGBA) return;
  const bool has = _options.has_background;
  const unsigned background[3] = {unsigned(has ? ClampColour(_options.bg_red) : 0),
                                  unsigned(has ? ClampColour(_options.bg_green) : 0),
                                  unsigned(has ? ClampColour(_options.bg_blue) : 0)};
  Composite(_p_row, _header.row_width, background);
}

void Canvas::PutRows(const unsigned char* p_row, int count) {
  if (_p_target == nullptr || count < 1 || _rows_put >= _header.row_height) return;
  if (count > _header.row_height - _rows_put) count = _header.row_height - _rows_put;
  MakeRGB(p_row);
  const int first = _rows_put;
  _rows_put += count;
  if (!IsWholeSize()) {
    AddRows(first, first + count - 1);
    return;
  }
  const std::size_t row_size = std::size_t(_target_width) * 3;
  for (int y = first; y < first + count; ++y) std::memcpy(_p_target + std::size_t(y) * row_size, _p_row, row_size);
}

// The rows `first` to `last` (all the row in _p_row) into the sums of the
// target rows they cover; each target row is made once its last source row
// is in.
void Canvas::AddRows(int first, int last) {
  const std::size_t samples = std::size_t(_header.row_width) * 3;
  while (_target_row < _target_height) {
    const Span span = GetSpan(_target_row, _header.row_height, _target_height);
    const int from = first > span.first ? first : span.first;
    const int to = last < span.last ? last : span.last;
    if (from > to) return;
    AddRow(_p_sums, _p_row, samples, span.GetWeightOf(from, to));
    if (to != span.last) return;
    unsigned char* p_target = _p_target + std::size_t(_target_row) * _target_width * 3;
    ReduceRow(_p_sums, _header.row_width, p_target, _target_width, span.total);
    std::memset(_p_sums, 0, samples * sizeof(std::uint32_t));
    ++_target_row;
  }
}

LoadFailure Canvas::Finish(unsigned char*& p_rgb, int& width, int& height) {
  p_rgb = nullptr;
  width = 0;
  height = 0;
  if (_p_target == nullptr) return LoadFailure::NO_MEMORY;
  if (_rows_put < _header.row_height) {
    // The rows that never came: zero samples, in a row of the canvas's
    // own (its size was reserved with the row's).
    std::memset(_p_row, 0, std::size_t(_header.row_width) * 4);
    unsigned char* p_zeros = _p_row;
    _p_row = static_cast<unsigned char*>(std::malloc(std::size_t(_header.row_width) * 4));
    if (_p_row == nullptr) {
      _p_row = p_zeros;
      std::free(_p_target);
      _p_target = nullptr;
      Refuse(0);
      return LoadFailure::NO_MEMORY;
    }
    PutRows(p_zeros, _header.row_height - _rows_put);
    std::free(p_zeros);
  }
  width = _target_width;
  height = _target_height;
  if (!ApplyOrientation(_p_target, width, height, _header.orientation)) {
    width = 0;
    height = 0;
    Refuse(0);
    return LoadFailure::NO_MEMORY;
  }
  p_rgb = _p_target;
  _p_target = nullptr;
  return LoadFailure::NONE;
}
