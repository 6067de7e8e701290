#include "picture/Orientation.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct TiffReader {
  const unsigned char* p_data;
  std::size_t size;
  bool is_big_endian;

  bool Has(std::size_t offset, std::size_t length) const { return offset <= size && length <= size - offset; }
  unsigned Get16(std::size_t offset) const {
    const unsigned char* p = p_data + offset;
    return is_big_endian ? unsigned(p[0]) << 8 | p[1] : unsigned(p[1]) << 8 | p[0];
  }
  std::uint32_t Get32(std::size_t offset) const {
    const unsigned char* p = p_data + offset;
    return is_big_endian ? std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3]
                         : std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
  }
};

const unsigned ORIENTATION_TAG = 0x0112;
const unsigned TYPE_SHORT = 3;

// Where the pixel at (x, y) of the upright picture comes from in the
// stored one, as the step from one upright pixel to the next along a row
// and from one row to the next, and the first pixel's place.
struct Walk {
  std::int64_t start;
  std::int64_t step_x;
  std::int64_t step_y;
};

Walk GetWalk(int width, int height, int orientation) {
  const std::int64_t w = width;
  const std::int64_t h = height;
  switch (orientation) {
    case 5:  // transposed: upright (x, y) = stored (y, x)
      return {0, w, 1};
    case 6:  // upright (x, y) = stored (y, h - 1 - x)
      return {(h - 1) * w, -w, 1};
    case 7:  // transversed: upright (x, y) = stored (w - 1 - y, h - 1 - x)
      return {(h - 1) * w + (w - 1), -w, -1};
    default:  // 8: upright (x, y) = stored (w - 1 - y, x)
      return {w - 1, w, -1};
  }
}

void SwapPixels(unsigned char* p_a, unsigned char* p_b) {
  for (int i = 0; i < 3; ++i) {
    const unsigned char t = p_a[i];
    p_a[i] = p_b[i];
    p_b[i] = t;
  }
}

void MirrorRows(unsigned char* p_rgb, int width, int height) {
  for (int y = 0; y < height; ++y) {
    unsigned char* p_row = p_rgb + std::size_t(y) * width * 3;
    for (int x = 0; x < width / 2; ++x) SwapPixels(p_row + 3 * x, p_row + 3 * (width - 1 - x));
  }
}

void FlipRows(unsigned char* p_rgb, int width, int height) {
  const std::size_t row = std::size_t(width) * 3;
  for (int y = 0; y < height / 2; ++y) {
    unsigned char* p_top = p_rgb + std::size_t(y) * row;
    unsigned char* p_bottom = p_rgb + std::size_t(height - 1 - y) * row;
    for (std::size_t i = 0; i < row; ++i) {
      const unsigned char t = p_top[i];
      p_top[i] = p_bottom[i];
      p_bottom[i] = t;
    }
  }
}

}  // namespace

int ReadExifOrientation(const unsigned char* p_exif, std::size_t size) {
  if (p_exif == nullptr) return 1;
  if (size >= 6 && std::memcmp(p_exif, "Exif\0\0", 6) == 0) {
    p_exif += 6;
    size -= 6;
  }
  if (size < 8) return 1;
  TiffReader tiff{p_exif, size, false};
  if (std::memcmp(p_exif, "MM\0*", 4) == 0) {
    tiff.is_big_endian = true;
  } else if (std::memcmp(p_exif, "II*\0", 4) != 0) {
    return 1;
  }
  const std::uint32_t ifd = tiff.Get32(4);
  if (!tiff.Has(ifd, 2)) return 1;
  const unsigned count = tiff.Get16(ifd);
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t entry = std::size_t(ifd) + 2 + std::size_t(i) * 12;
    if (!tiff.Has(entry, 12)) return 1;
    if (tiff.Get16(entry) != ORIENTATION_TAG) continue;
    if (tiff.Get16(entry + 2) != TYPE_SHORT || tiff.Get32(entry + 4) < 1) return 1;
    const unsigned value = tiff.Get16(entry + 8);
    return value >= 1 && value <= 8 ? int(value) : 1;
  }
  return 1;
}

bool ApplyOrientation(unsigned char*& p_rgb, int& width, int& height, int orientation) {
  switch (orientation) {
    case 2:
      MirrorRows(p_rgb, width, height);
      return true;
    case 3:
      MirrorRows(p_rgb, width, height);
      FlipRows(p_rgb, width, height);
      return true;
    case 4:
      FlipRows(p_rgb, width, height);
      return true;
    case 5:
    case 6:
    case 7:
    case 8:
      break;
    default:
      return true;
  }
  const std::size_t size = std::size_t(width) * std::size_t(height) * 3;
  unsigned char* p_turned = static_cast<unsigned char*>(std::malloc(size));
  if (p_turned == nullptr) return false;
  // The upright picture is height wide and width high.
  const Walk walk = GetWalk(width, height, orientation);
  unsigned char* p_out = p_turned;
  for (int y = 0; y < width; ++y) {
    std::int64_t from = walk.start + walk.step_y * y;
    for (int x = 0; x < height; ++x, from += walk.step_x, p_out += 3) {
      std::memcpy(p_out, p_rgb + from * 3, 3);
    }
  }
  std::free(p_rgb);
  p_rgb = p_turned;
  const int stored_width = width;
  width = height;
  height = stored_width;
  return true;
}
