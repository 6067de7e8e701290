// GIF through giflib, record by record as the bytes come: the first frame
// goes to the canvas row by row on its logical screen, every later frame is
// only counted (its data skipped as it streams past), so an animation costs
// one frame's work and a screen of any size costs one row. Outside the
// first frame the screen is transparent, as a browser shows it before the
// second frame.
//
// An interlaced frame sends its rows out of order (every 8th, then the 4th
// between them, ...), while the canvas takes them top to bottom: its colour
// indices are held, one byte a pixel, until the frame is in.

#include <gif_lib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "picture/formats/Decoder.h"

namespace {

// The stream as giflib reads it.
struct StreamSource {
  PictureStream* p_stream;
  bool has_run_out;  // giflib asked for bytes past the end
};

int ReadFromStream(GifFileType* p_gif, GifByteType* p_bytes, int count) {
  StreamSource& source = *static_cast<StreamSource*>(p_gif->UserData);
  const std::int64_t taken = count > 0 ? source.p_stream->ReadBlock(p_bytes, count) : 0;
  if (taken < count) source.has_run_out = true;
  return int(taken);
}

LoadFailure FailWithLibraryWords(int error, LoadReport& report) {
  const char* p_words = GifErrorString(error);
  report.SetWords(p_words != nullptr ? p_words : "unknown giflib error");
  return LoadFailure::UNREADABLE;
}

// What the extensions before the first frame say about it.
struct FrameControl {
  int transparent_index = -1;
};

void ReadGraphicsControl(const GifByteType* p_block, FrameControl& control) {
  if (p_block[0] >= 4 && (p_block[1] & 1) != 0) control.transparent_index = p_block[4];
}

// Reads an extension's blocks, taking the transparent index from a
// Graphics Control Extension when `p_control` is given.
bool ReadExtension(GifFileType* p_gif, FrameControl* p_control) {
  int code = 0;
  GifByteType* p_block = nullptr;
  if (DGifGetExtension(p_gif, &code, &p_block) == GIF_ERROR) return false;
  if (p_control != nullptr && code == GRAPHICS_EXT_FUNC_CODE && p_block != nullptr)
    ReadGraphicsControl(p_block, *p_control);
  while (p_block != nullptr) {
    if (DGifGetExtensionNext(p_gif, &p_block) == GIF_ERROR) return false;
  }
  return true;
}

bool SkipFrameData(GifFileType* p_gif) {
  int code_size = 0;
  GifByteType* p_block = nullptr;
  if (DGifGetCode(p_gif, &code_size, &p_block) == GIF_ERROR) return false;
  while (p_block != nullptr) {
    if (DGifGetCodeNext(p_gif, &p_block) == GIF_ERROR) return false;
  }
  return true;
}

// giflib keeps every frame's descriptor and colour table it reads; a
// skipped frame's are let go at once, so that thousands of frames cost
// nothing.
bool SkipFrame(GifFileType* p_gif) {
  if (DGifGetImageDesc(p_gif) == GIF_ERROR) return false;
  GifFreeSavedImages(p_gif);
  p_gif->ImageCount = 0;
  return SkipFrameData(p_gif);
}

// The first frame's place on the screen and how its rows are stored.
struct Frame {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool is_interlaced = false;
  const ColorMapObject* p_colours = nullptr;
  int transparent_index = -1;
};

// Whether the screen shows anything transparent: the frame leaves part of
// it uncovered, or has a transparent index.
bool ShowsTransparency(const Frame& frame, int screen_width, int screen_height) {
  return frame.transparent_index >= 0 || frame.left > 0 || frame.top > 0 || frame.left + frame.width < screen_width ||
         frame.top + frame.height < screen_height;
}

// The stored row at `position` in the order an interlaced frame sends its
// rows: every 8th from 0, every 8th from 4, every 4th from 2, every 2nd
// from 1.
int GetInterlacedRow(int position, int height) {
  const int starts[4] = {0, 4, 2, 1};
  const int steps[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    int rows_in_pass = (height - starts[pass] + steps[pass] - 1) / steps[pass];
    if (rows_in_pass < 0) rows_in_pass = 0;
    if (position < rows_in_pass) return starts[pass] + position * steps[pass];
    position -= rows_in_pass;
  }
  return height - 1;
}

int Clamp(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

// Paints the first frame's rows onto a screen row, the sides left
// transparent, and hands them to the canvas.
class FramePainter {
 public:
  FramePainter(const Frame& frame, int screen_width, int screen_height, int channels, Canvas& canvas)
      : _frame(frame), _screen_height(screen_height), _channels(channels), _canvas(canvas),
        _row_size(std::size_t(screen_width) * std::size_t(channels)),
        _shown_width(Clamp(screen_width - frame.left, 0, frame.width)),
        _shown_height(Clamp(screen_height - frame.top, 0, frame.height)) {}
  ~FramePainter() {
    std::free(_p_row);
    std::free(_p_line);
    std::free(_p_held);
  }
  FramePainter(const FramePainter&) = delete;
  FramePainter& operator=(const FramePainter&) = delete;

  // The row and line blocks, and for an interlaced frame its held indices.
  bool Allocate();
  // Decodes the frame; false on a failure, after the rows that came.
  bool PaintFrame(GifFileType* p_gif);
  // The rows above the frame, and below it once it is whole.
  void PutRowsAbove() { PutBackground(_frame.top); }
  void PutRowsBelow() { PutBackground(_screen_height - _frame.top - _shown_height); }
  // An interlaced frame's rows top to bottom, once it is in or the file
  // has ended: those that never came are transparent, or black.
  void PutHeldRows();

 private:
  const Frame& _frame;
  int _screen_height;
  int _channels;
  Canvas& _canvas;
  std::size_t _row_size;
  int _shown_width;   // the frame's columns and rows that lie on the screen
  int _shown_height;
  unsigned char* _p_row = nullptr;   // a screen row
  GifPixelType* _p_line = nullptr;   // one line of the frame's indices
  GifPixelType* _p_held = nullptr;   // an interlaced frame's shown indices, then a flag a row
  int _lines_read = 0;

  void PutBackground(int count);
  void PaintRow(const GifPixelType* p_indices);
};

bool FramePainter::Allocate() {
  std::int64_t held = 0;
  if (_frame.is_interlaced) held = (std::int64_t(_shown_width) + 1) * _shown_height;
  if (!_canvas.Reserve(std::int64_t(_row_size) + _frame.width + held)) return false;
  _p_row = static_cast<unsigned char*>(std::calloc(_row_size, 1));
  _p_line = static_cast<GifPixelType*>(std::malloc(std::size_t(_frame.width) + 1));
  if (held > 0) _p_held = static_cast<GifPixelType*>(std::calloc(std::size_t(held), 1));
  if (_p_row != nullptr && _p_line != nullptr && (held == 0 || _p_held != nullptr)) return true;
  _canvas.Refuse(0);
  return false;
}

void FramePainter::PutBackground(int count) {
  if (count < 1) return;
  std::memset(_p_row, 0, _row_size);
  _canvas.PutRows(_p_row, count);
}

void FramePainter::PaintRow(const GifPixelType* p_indices) {
  unsigned char* p_pixel = _p_row + std::size_t(_frame.left) * _channels;
  for (int column = 0; column < _shown_width; ++column, p_pixel += _channels) {
    const int index = p_indices[column];
    std::memset(p_pixel, 0, std::size_t(_channels));
    if (index == _frame.transparent_index) continue;
    if (index < _frame.p_colours->ColorCount) {
      const GifColorType& colour = _frame.p_colours->Colors[index];
      p_pixel[0] = colour.Red;
      p_pixel[1] = colour.Green;
      p_pixel[2] = colour.Blue;
    }
    if (_channels == 4) p_pixel[3] = 255;
  }
}

bool FramePainter::PaintFrame(GifFileType* p_gif) {
  if (_frame.width < 1 || _frame.height < 1) return SkipFrameData(p_gif);
  const std::size_t held_width = std::size_t(_shown_width);
  for (; _lines_read < _frame.height; ++_lines_read) {
    if (DGifGetLine(p_gif, _p_line, _frame.width) == GIF_ERROR) break;
    if (!_frame.is_interlaced) {
      if (_lines_read >= _shown_height) continue;
      PaintRow(_p_line);
      _canvas.PutRows(_p_row);
      continue;
    }
    const int row = GetInterlacedRow(_lines_read, _frame.height);
    if (row >= _shown_height) continue;
    std::memcpy(_p_held + held_width * row, _p_line, held_width);
    _p_held[held_width * _shown_height + row] = 1;
  }
  return _lines_read == _frame.height;
}

void FramePainter::PutHeldRows() {
  if (_p_held == nullptr) return;
  const GifPixelType* p_flags = _p_held + std::size_t(_shown_width) * _shown_height;
  int row = 0;
  while (row < _shown_height) {
    int missing = 0;
    while (row + missing < _shown_height && p_flags[row + missing] == 0) ++missing;
    PutBackground(missing);
    row += missing;
    if (row == _shown_height) break;
    PaintRow(_p_held + std::size_t(_shown_width) * row);
    _canvas.PutRows(_p_row);
    ++row;
  }
}

// Reads the first frame's descriptor: where it lies and its colours.
LoadFailure ReadFrameDescription(GifFileType* p_gif, const FrameControl& control, Frame& frame, LoadReport& report) {
  if (DGifGetImageDesc(p_gif) == GIF_ERROR) return FailWithLibraryWords(p_gif->Error, report);
  const GifImageDesc& description = p_gif->Image;
  frame.left = description.Left;
  frame.top = description.Top;
  frame.width = description.Width;
  frame.height = description.Height;
  frame.is_interlaced = description.Interlace;
  frame.p_colours = description.ColorMap != nullptr ? description.ColorMap : p_gif->SColorMap;
  frame.transparent_index = control.transparent_index;
  if (frame.p_colours != nullptr) return LoadFailure::NONE;
  report.SetWords("the picture has no colour table");
  return LoadFailure::UNREADABLE;
}

// Counts the frames after the first, skipping their data. A file that
// ends or breaks among them still shows its first frame, cut short.
void CountLaterFrames(GifFileType* p_gif, LoadReport& report) {
  GifRecordType record = UNDEFINED_RECORD_TYPE;
  bool is_sound = true;
  while (is_sound && record != TERMINATE_RECORD_TYPE) {
    is_sound = DGifGetRecordType(p_gif, &record) != GIF_ERROR;
    if (is_sound && record == EXTENSION_RECORD_TYPE) is_sound = ReadExtension(p_gif, nullptr);
    if (is_sound && record == IMAGE_DESC_RECORD_TYPE) {
      is_sound = SkipFrame(p_gif);
      if (is_sound) ++report.frame_count;
    }
  }
  if (is_sound) return;
  report.is_cut_short = true;
  report.SetWords(GifErrorString(p_gif->Error));
}

// Reads records up to the first frame's descriptor.
LoadFailure FindFirstFrame(GifFileType* p_gif, Frame& frame, LoadReport& report) {
  FrameControl control;
  GifRecordType record = UNDEFINED_RECORD_TYPE;
  while (record != IMAGE_DESC_RECORD_TYPE) {
    if (DGifGetRecordType(p_gif, &record) == GIF_ERROR) return FailWithLibraryWords(p_gif->Error, report);
    if (record == TERMINATE_RECORD_TYPE) {
      report.SetWords("the file holds no picture");
      return LoadFailure::UNREADABLE;
    }
    if (record == EXTENSION_RECORD_TYPE && !ReadExtension(p_gif, &control))
      return FailWithLibraryWords(p_gif->Error, report);
  }
  return ReadFrameDescription(p_gif, control, frame, report);
}

// The first frame on its screen, into the canvas. A screen of no size is
// taken to be the frame's.
LoadFailure DrawFirstFrame(GifFileType* p_gif, const StreamSource& source, Canvas& canvas, LoadReport& report) {
  Frame frame;
  LoadFailure failure = FindFirstFrame(p_gif, frame, report);
  if (failure != LoadFailure::NONE) return failure;
  PictureHeader header;
  header.width = p_gif->SWidth > 0 ? p_gif->SWidth : frame.left + frame.width;
  header.height = p_gif->SHeight > 0 ? p_gif->SHeight : frame.top + frame.height;
  const bool has_alpha = ShowsTransparency(frame, header.width, header.height);
  header.layout = has_alpha ? SampleLayout::RGBA : SampleLayout::RGB;
  failure = canvas.Start(header);
  if (failure != LoadFailure::NONE) return failure;
  FramePainter painter(frame, header.width, header.height, has_alpha ? 4 : 3, canvas);
  if (!painter.Allocate()) return LoadFailure::NO_MEMORY;
  painter.PutRowsAbove();
  if (painter.PaintFrame(p_gif)) {
    painter.PutHeldRows();
    painter.PutRowsBelow();
    return LoadFailure::NONE;
  }
  if (!source.has_run_out) return FailWithLibraryWords(p_gif->Error, report);
  painter.PutHeldRows();
  report.is_cut_short = true;
  report.SetWords(GifErrorString(p_gif->Error));
  return LoadFailure::NONE;
}

}  // namespace

LoadFailure DecodeGIF(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  StreamSource source = {&stream, false};
  int error = 0;
  GifFileType* p_gif = DGifOpen(&source, ReadFromStream, &error);
  if (p_gif == nullptr) return FailWithLibraryWords(error, report);
  const LoadFailure failure = DrawFirstFrame(p_gif, source, canvas, report);
  if (failure == LoadFailure::NONE && !report.is_cut_short) CountLaterFrames(p_gif, report);
  DGifCloseFile(p_gif, &error);
  return failure;
}
