// Orientation: EXIF's orientation tag, read and applied.
//
// Values 1 to 8 as EXIF defines them: 1 upright, 2 mirrored, 3 turned
// half round, 4 flipped, 5 mirrored along the main diagonal (transposed),
// 6 turned a quarter clockwise to be upright, 7 transversed, 8 turned a
// quarter anticlockwise. Anything else reads as 1.

#ifndef MOTTLEPAGE_ORIENTATION_H
#define MOTTLEPAGE_ORIENTATION_H

#include <cstddef>

// The orientation in an EXIF block: TIFF data ("II*\0" or "MM\0*"),
// optionally after the "Exif\0\0" that JPEG's APP1 puts before it. 1 when
// the block holds none or is broken; never reads outside the block.
int ReadExifOrientation(const unsigned char* p_exif, std::size_t size);

#endif
