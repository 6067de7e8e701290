// Orientation: EXIF's orientation tag, read and applied.
//
// Values 1 to 8 as EXIF defines them: 1 upright, 2 mirrored, 3 turned
// half round, 4 flipped, 5 mirrored along the main diagonal (transposed),
// 6 turned a quarter clockwise to be upright, 7 transversed, 8 turned a
// quarter anticlockwise. Anything else reads as 1.

#ifndef MOTTLEPAGE_PICTURE_ORIENTATION_H
#define MOTTLEPAGE_PICTURE_ORIENTATION_H

#include <cstddef>

// The orientation in an EXIF block: TIFF data ("II*\0" or "MM\0*"),
// optionally after the "Exif\0\0" that JPEG's APP1 puts before it. 1 when
// the block holds none or is broken; never reads outside the block.
int ReadExifOrientation(const unsigned char* p_exif, std::size_t size);

// Turns a width x height RGB buffer (3 bytes a pixel, rows top to bottom,
// malloc'd) upright for `orientation`: 2 to 4 in place, 5 to 8 into a new
// buffer that replaces it (the old one is freed), with width and height
// swapped. False when that new buffer cannot be had: then the buffer and
// the sides are as they were. Orientation 1 and values outside 1 to 8
// change nothing.
bool ApplyOrientation(unsigned char*& p_rgb, int& width, int& height, int orientation);

// The sides a picture of stored_width x stored_height shows once oriented.
inline void GetOrientedSize(int stored_width, int stored_height, int orientation, int& width, int& height) {
  const bool is_turned = orientation >= 5 && orientation <= 8;
  width = is_turned ? stored_height : stored_width;
  height = is_turned ? stored_width : stored_height;
}

#endif
