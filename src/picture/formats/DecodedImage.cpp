// The whole picture's own checks and words, shared by the program and the
// HEIF module.

#include <cstdint>
#include <cstdlib>

#include "common/OneLine.h"
#include "picture/formats/WholePicture.h"

void DecodedImage::SetMessage(const char* p_text) { CopyAsOneLine(message, MESSAGE_SIZE, p_text); }

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
  const std::uint64_t bytes = std::uint64_t(pixel_width) * std::uint64_t(pixel_height) * std::uint64_t(pixel_channels);
  std::free(p_pixels);
  p_pixels = nullptr;
  width = pixel_width;
  height = pixel_height;
  channels = pixel_channels;
  if (max_bytes <= 0 || bytes <= std::uint64_t(max_bytes)) {
    p_pixels = static_cast<unsigned char*>(std::malloc(std::size_t(bytes)));
    if (p_pixels != nullptr) return DECODED;
  }
  // A decoder that weighed more than this block already said so.
  if (bytes_wanted == 0) bytes_wanted = (long long)bytes;
  return DECODE_NO_MEMORY;
}
