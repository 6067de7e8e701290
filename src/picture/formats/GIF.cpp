// GIF through giflib, record by record: the first frame is decoded onto
// the logical screen, every later frame is only counted (its data skipped
// unread), so an animation costs one frame's work. Outside the first frame
// the screen is transparent, as a browser shows it before the second frame.

#include <gif_lib.h>

#include <cstdlib>
#include <cstring>

#include "picture/formats/WholePicture.h"

namespace {

// The file in memory as giflib reads it.
struct MemorySource {
  const FileBytes* p_file;
  std::size_t offset;
  bool has_run_out;  // giflib asked for bytes past the end
};

int ReadFromMemory(GifFileType* p_gif, GifByteType* p_bytes, int count) {
  MemorySource& source = *static_cast<MemorySource*>(p_gif->UserData);
  std::size_t left = source.p_file->size - source.offset;
  std::size_t taken = std::size_t(count) < left ? std::size_t(count) : left;
  if (taken < std::size_t(count)) source.has_run_out = true;
  std::memcpy(p_bytes, source.p_file->p_data + source.offset, taken);
  source.offset += taken;
  return int(taken);
}

int FailWithLibraryWords(int error, DecodedImage& image) {
  const char* p_words = GifErrorString(error);
  image.SetMessage(p_words != nullptr ? p_words : "unknown giflib error");
  return DECODE_UNREADABLE;
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

bool SkipFrame(GifFileType* p_gif) { return DGifGetImageDesc(p_gif) != GIF_ERROR && SkipFrameData(p_gif); }

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

void PaintRow(const GifPixelType* p_indices, const Frame& frame, int row, DecodedImage& image) {
  int y = frame.top + row;
  if (y >= image.height) return;
  for (int column = 0; column < frame.width; ++column) {
    int x = frame.left + column;
    if (x >= image.width) break;
    unsigned char* p_pixel = image.p_pixels + (std::size_t(y) * image.width + x) * image.channels;
    int index = p_indices[column];
    if (index == frame.transparent_index) continue;  // stays as cleared: transparent
    if (index < frame.p_colours->ColorCount) {
      const GifColorType& colour = frame.p_colours->Colors[index];
      p_pixel[0] = colour.Red;
      p_pixel[1] = colour.Green;
      p_pixel[2] = colour.Blue;
    }
    if (image.channels == 4) p_pixel[3] = 255;
  }
}

// Decodes the frame's rows onto the cleared screen. False on a failure;
// the rows that came before it stay painted.
bool PaintFrame(GifFileType* p_gif, const Frame& frame, DecodedImage& image) {
  if (frame.width < 1 || frame.height < 1) return SkipFrameData(p_gif);
  GifPixelType* p_indices = static_cast<GifPixelType*>(std::malloc(std::size_t(frame.width)));
  if (p_indices == nullptr) return false;
  bool is_whole = true;
  for (int position = 0; position < frame.height && is_whole; ++position) {
    is_whole = DGifGetLine(p_gif, p_indices, frame.width) != GIF_ERROR;
    int row = frame.is_interlaced ? GetInterlacedRow(position, frame.height) : position;
    if (is_whole) PaintRow(p_indices, frame, row, image);
  }
  std::free(p_indices);
  return is_whole;
}

// Reads the first frame's descriptor and allocates the screen for it.
int StartFirstFrame(GifFileType* p_gif, const FrameControl& control, Frame& frame, DecodedImage& image) {
  if (DGifGetImageDesc(p_gif) == GIF_ERROR) return FailWithLibraryWords(p_gif->Error, image);
  const GifImageDesc& description = p_gif->Image;
  frame.left = description.Left;
  frame.top = description.Top;
  frame.width = description.Width;
  frame.height = description.Height;
  frame.is_interlaced = description.Interlace;
  frame.p_colours = description.ColorMap != nullptr ? description.ColorMap : p_gif->SColorMap;
  frame.transparent_index = control.transparent_index;
  if (frame.p_colours == nullptr) {
    image.SetMessage("the picture has no colour table");
    return DECODE_UNREADABLE;
  }
  // A screen of no size is taken to be the frame's.
  int screen_width = p_gif->SWidth > 0 ? p_gif->SWidth : frame.left + frame.width;
  int screen_height = p_gif->SHeight > 0 ? p_gif->SHeight : frame.top + frame.height;
  image.full_width = screen_width;
  image.full_height = screen_height;
  int channels = ShowsTransparency(frame, screen_width, screen_height) ? 4 : 3;
  int status = image.AllocatePixels(screen_width, screen_height, channels);
  if (status != DECODED) return status;
  std::memset(image.p_pixels, 0, std::size_t(image.width) * image.height * image.channels);
  return DECODED;
}

// Counts the frames after the first, skipping their data. A file that
// ends or breaks among them still shows its first frame, cut short.
void CountLaterFrames(GifFileType* p_gif, DecodedImage& image) {
  GifRecordType record = UNDEFINED_RECORD_TYPE;
  bool is_sound = true;
  while (is_sound && record != TERMINATE_RECORD_TYPE) {
    is_sound = DGifGetRecordType(p_gif, &record) != GIF_ERROR;
    if (is_sound && record == EXTENSION_RECORD_TYPE) is_sound = ReadExtension(p_gif, nullptr);
    if (is_sound && record == IMAGE_DESC_RECORD_TYPE) {
      is_sound = SkipFrame(p_gif);
      if (is_sound) ++image.frame_count;
    }
  }
  if (is_sound) return;
  image.is_cut_short = true;
  image.SetMessage(GifErrorString(p_gif->Error));
}

// Reads records up to and through the first frame.
int ReadFirstFrame(GifFileType* p_gif, const MemorySource& source, DecodedImage& image) {
  FrameControl control;
  GifRecordType record = UNDEFINED_RECORD_TYPE;
  while (record != IMAGE_DESC_RECORD_TYPE) {
    if (DGifGetRecordType(p_gif, &record) == GIF_ERROR) return FailWithLibraryWords(p_gif->Error, image);
    if (record == TERMINATE_RECORD_TYPE) {
      image.SetMessage("the file holds no picture");
      return DECODE_UNREADABLE;
    }
    if (record == EXTENSION_RECORD_TYPE && !ReadExtension(p_gif, &control))
      return FailWithLibraryWords(p_gif->Error, image);
  }
  Frame frame;
  int status = StartFirstFrame(p_gif, control, frame, image);
  if (status != DECODED) return status;
  if (PaintFrame(p_gif, frame, image)) return DECODED;
  if (!source.has_run_out) return FailWithLibraryWords(p_gif->Error, image);
  image.is_cut_short = true;
  image.SetMessage(GifErrorString(p_gif->Error));
  return DECODED;
}

int DecodeGIFFile(const FileBytes& file, DecodedImage& image) {
  MemorySource source = {&file, 0, false};
  int error = 0;
  GifFileType* p_gif = DGifOpen(&source, ReadFromMemory, &error);
  if (p_gif == nullptr) return FailWithLibraryWords(error, image);
  int status = ReadFirstFrame(p_gif, source, image);
  if (status == DECODED && !image.is_cut_short) CountLaterFrames(p_gif, image);
  if (status != DECODED) {
    std::free(image.p_pixels);
    image.p_pixels = nullptr;
  }
  DGifCloseFile(p_gif, &error);
  return status;
}

}  // namespace

LoadFailure DecodeGIF(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  return DecodeWholeFile(stream, canvas, report, DecodeGIFFile);
}
