// Format: what every decoder under formats/ shares with the face that
// calls it (ImageInput).
//
// A decoder is one function per format, DecodeXXX(file, request, image).
// It takes the whole file in memory, reads its header first (size,
// frames, orientation, colour profile), refuses sides above MAX_SIDE, then
// decodes the first frame at the size the page needs (request.GetLeastSize:
// formats that can decode smaller, like JPEG at 1/2, 1/4, 1/8, do so) into
// a new buffer of 8-bit samples: RGB, or RGBA with straight alpha where the
// picture has transparency. 16-bit samples are rounded to 8 bits, grey and
// palette pictures become RGB(A).
//
// The decoder does not orient, convert colours or composite: it reports
// the EXIF orientation and hands over the embedded ICC profile; the face
// does the rest in one place for every format. A CMYK picture is the
// exception: its decoder makes RGB itself (ConvertCMYK in ColourProfile).
//
// No library writes to standard error or exits: a failure comes back as a
// status with the library's own words in `message`, and a library's long
// jump never crosses a C++ object with a destructor.

#ifndef MOTTLEPAGE_FORMATS_FORMAT_H
#define MOTTLEPAGE_FORMATS_FORMAT_H

#include <cstddef>

#include "Resample.h"

// The bytes of a whole file.
struct FileBytes {
  const unsigned char* p_data = nullptr;
  std::size_t size = 0;
};

// What the page needs of the picture: the page's limits in characters and
// lines, as --width and --height give them (both 0: the picture at full
// size), and the cell shape those are measured in.
struct ImageRequest {
  int columns = 0;
  int lines = 0;
  CellShape cell = {1, 1, 2, 1};

  // The least size, as stored (before orientation), that a picture stored
  // at stored_width x stored_height must be decoded at so that the page
  // still has every cell it draws; both the full size when no scaling is
  // asked for. Orientations 5 to 8 swap width and height on the page.
  void GetLeastSize(int stored_width, int stored_height, int orientation, int& least_width,
                    int& least_height) const;
};

enum DecodeStatus {
  DECODED = 0,
  DECODE_UNREADABLE = 1,  // the decoder cannot get past the data; message says why
  DECODE_TOO_LARGE = 2,   // a side above MAX_SIDE; full_width/full_height say which
  DECODE_NO_MEMORY = 3,   // the buffer for full_width x full_height cannot be had
};

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
  // Set by the caller before decoding: the most pixels AllocatePixels
  // grants (0: no limit but MAX_SIDE), so that tests and fuzzing explore
  // decoding rather than allocation. A larger picture is DECODE_NO_MEMORY.
  long long max_pixels = 0;

  // Sets the message (cut at MESSAGE_SIZE - 1 bytes, one line).
  void SetMessage(const char* p_text);
  // Allocates p_pixels for width x height x channels after checking the
  // sides; DECODED, DECODE_TOO_LARGE or DECODE_NO_MEMORY.
  int AllocatePixels(int pixel_width, int pixel_height, int pixel_channels);
};

// The decoders; each is built only when its library was found (the macros
// MOTTLEPAGE_HAS_GIF, _WEBP, _HEIF; JPEG and PNG always are).
int DecodeJPEG(const FileBytes& file, const ImageRequest& request, DecodedImage& image);
int DecodePNG(const FileBytes& file, const ImageRequest& request, DecodedImage& image);
int DecodeGIF(const FileBytes& file, const ImageRequest& request, DecodedImage& image);
int DecodeWebP(const FileBytes& file, const ImageRequest& request, DecodedImage& image);
int DecodeHEIF(const FileBytes& file, const ImageRequest& request, DecodedImage& image);

#endif
