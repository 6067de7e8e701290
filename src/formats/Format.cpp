#include "formats/Format.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Resample.h"

void ImageRequest::GetLeastSize(int stored_width, int stored_height, int orientation, int& least_width,
                                int& least_height) const {
  least_width = stored_width;
  least_height = stored_height;
  if (columns <= 0 && lines <= 0) return;
  if (stored_width < 1 || stored_height < 1) return;
  const bool is_turned = orientation >= 5 && orientation <= 8;
  const int shown_width = is_turned ? stored_height : stored_width;
  const int shown_height = is_turned ? stored_width : stored_height;
  int page_columns = 0;
  int page_lines = 0;
  ChoosePageSize(shown_width, shown_height, columns, lines, cell, page_columns, page_lines);
  // The page takes page_columns cells across and page_lines lines down:
  // a picture at least that size still gives every cell its own pixels.
  const int need_across = page_columns < shown_width ? page_columns : shown_width;
  const int need_down = page_lines < shown_height ? page_lines : shown_height;
  least_width = is_turned ? need_down : need_across;
  least_height = is_turned ? need_across : need_down;
}

void DecodedImage::SetMessage(const char* p_text) {
  if (p_text == nullptr) p_text = "";
  std::size_t length = 0;
  for (; length < MESSAGE_SIZE - 1 && p_text[length] != '\0'; ++length) {
    const char c = p_text[length];
    // One line: line breaks and other control characters become spaces.
    message[length] = (static_cast<unsigned char>(c) < 32 || c == 127) ? ' ' : c;
  }
  while (length > 0 && message[length - 1] == ' ') --length;
  message[length] = '\0';
}

int DecodedImage::AllocatePixels(int pixel_width, int pixel_height, int pixel_channels) {
  if (pixel_width > MAX_SIDE || pixel_height > MAX_SIDE) {
    if (full_width == 0 && full_height == 0) {
      full_width = pixel_width;
      full_height = pixel_height;
    }
    return DECODE_TOO_LARGE;
  }
  if (pixel_width < 1 || pixel_height < 1 || pixel_channels < 1 || pixel_channels > 4) {
    SetMessage("the picture has no pixels");
    return DECODE_UNREADABLE;
  }
  const std::uint64_t pixels = std::uint64_t(pixel_width) * std::uint64_t(pixel_height);
  std::free(p_pixels);
  p_pixels = nullptr;
  width = pixel_width;
  height = pixel_height;
  channels = pixel_channels;
  if (max_pixels > 0 && pixels > std::uint64_t(max_pixels)) return DECODE_NO_MEMORY;
  p_pixels = static_cast<unsigned char*>(std::malloc(std::size_t(pixels * std::uint64_t(pixel_channels))));
  return p_pixels != nullptr ? DECODED : DECODE_NO_MEMORY;
}
