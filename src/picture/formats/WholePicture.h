// WholePicture: for a library that takes nothing but the whole file and
// gives nothing but the whole picture (libheif), the stream is read whole
// and the picture decoded whole, each weighed against the memory the
// program may use first, then handed to the canvas row by row.
//
// A decoder of this kind is DecodeXXXFile(file, image): it reads the
// header, refuses sides above MAX_SIDE, allocates the picture
// (AllocatePixels: RGB, or RGBA with straight alpha) and decodes into it,
// reporting the EXIF orientation, the ICC profile, the frame count and a
// file cut short.

#ifndef MOTTLEPAGE_PICTURE_FORMATS_WHOLEPICTURE_H
#define MOTTLEPAGE_PICTURE_FORMATS_WHOLEPICTURE_H

#include <cstddef>

#include "picture/formats/Decoder.h"

// The bytes of a whole file.
struct FileBytes {
  const unsigned char* p_data = nullptr;
  std::size_t size = 0;
};

enum DecodeStatus {
  DECODED = 0,
  DECODE_UNREADABLE = 1,  // the decoder cannot get past the data; message says why
  DECODE_TOO_LARGE = 2,   // a side above MAX_SIDE; full_width/full_height say which
  DECODE_NO_MEMORY = 3,   // the buffer for full_width x full_height cannot be had
};

// A plain struct: the HEIF module, built on its own, fills it too.
struct DecodedImage {
  static const int MAX_SIDE = 65535;
  static const int MESSAGE_SIZE = 200;

  // Both blocks are malloc'd and the caller's to free, whatever the status.
  unsigned char* p_pixels = nullptr;  // width x height x channels
  int width = 0;                      // of p_pixels, as stored (before orientation)
  int height = 0;
  int channels = 3;                   // 3: RGB, 4: RGBA with straight alpha
  int full_width = 0;                 // the picture's own size, as stored
  int full_height = 0;
  int orientation = 1;                // EXIF orientation 1..8 still to apply (1: none)
  unsigned char* p_icc = nullptr;     // ICC profile of the RGB samples; null: sRGB
  std::size_t icc_size = 0;
  int frame_count = 1;                // frames in the file (an animation draws its first)
  bool is_cut_short = false;          // decoded, but the data ended early: message says how
  char message[MESSAGE_SIZE] = {};    // the decoder's own words for a failure or a cut-short file
  // Set by the caller: the most bytes the decode may take, AllocatePixels's
  // block among them (0: no limit but MAX_SIDE). A larger need is
  // DECODE_NO_MEMORY.
  long long max_bytes = 0;
  // DECODE_NO_MEMORY: the bytes the decode asked for (0: the picture's
  // full_width x full_height x channels).
  long long bytes_wanted = 0;

  // Sets the message (cut at MESSAGE_SIZE - 1 bytes, one line).
  void SetMessage(const char* p_text);
  // Allocates p_pixels for width x height x channels after checking the
  // sides; DECODED, DECODE_TOO_LARGE or DECODE_NO_MEMORY.
  int AllocatePixels(int pixel_width, int pixel_height, int pixel_channels);
};

typedef int (*WholeFileDecoder)(const FileBytes& file, DecodedImage& image);

// HEIF through libheif (HEIF.cpp): in the module, or linked in.
int DecodeHEIFFile(const FileBytes& file, DecodedImage& image);

// The whole stream in one malloc'd block (the caller's to free, also after
// a failure), weighed against the canvas's memory first: a file of known
// size at once, a pipe as it grows. FILE_TOO_LARGE when it does not fit;
// the reservation stays with the canvas.
LoadFailure ReadWholeStream(PictureStream& stream, Canvas& canvas, LoadReport& report, unsigned char*& p_data,
                            std::size_t& size);

// Reads the stream whole, decodes it with p_decode and paints the canvas.
LoadFailure DecodeWholeFile(PictureStream& stream, Canvas& canvas, LoadReport& report, WholeFileDecoder p_decode);

#endif
