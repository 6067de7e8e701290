// ImageInput: the one way the program takes in a picture, whatever its
// format.
//
// Contract
//   The format is told by the content's first bytes, never by the name,
//   for files and standard input alike:
//     FF D8 FF                      JPEG (always built in)
//     89 'PNG'                      PNG (always built in)
//     'GIF87a', 'GIF89a'            GIF (with giflib: MOTTLEPAGE_HAS_GIF)
//     'RIFF' size 'WEBP'            WebP (with libwebp: MOTTLEPAGE_HAS_WEBP)
//     size 'ftyp' heic/avif/...     HEIF and AVIF (with libheif: MOTTLEPAGE_HAS_HEIF)
//   Everything else, and a format whose library the build lacks, goes to
//   LoadPPM exactly as it always did: the same pixels and the same error
//   numbers and details, so the same reason lines and suggestions.
//
//   A picture in another format is read whole into memory (a read error is
//   -12, as for PPM), decoded at the least size the page needs
//   (ImageOptions::request), then, in this order: its embedded ICC
//   profile applied (to sRGB, with Little CMS), transparency composited
//   onto the page's background (the command line's colour clamped to 0 to
//   255, black without one; out = (fg * a + bg * (255 - a) + 127) / 255 on
//   the sRGB values, as browsers blend), and the EXIF orientation applied.
//   The result is an upright RGB buffer, width x height x 3 bytes,
//   malloc'd, that belongs to the caller (free); null on failure.
//
// Error numbers (GetErrorNo): 0 and LoadPPM's -1 to -12, where -3 (open),
// -12 (read), -1 (empty input), -5 and -6 (a side outside 1 to 65535) and
// -9 (no memory for the width x height image the constructor reports) can
// also come from another format, and
//   -13  the decoder cannot get past the data (GetDetails().message says
//        why, in its library's words)

#ifndef MOTTLEPAGE_IMAGEINPUT_H
#define MOTTLEPAGE_IMAGEINPUT_H

#include <cstdint>
#include <istream>

#include "LoadPPM.h"
#include "formats/Format.h"

enum class ImageFormat { PPM, JPEG, PNG, GIF, WEBP, HEIF };

// The format's name as reason lines say it ("JPEG", "PNG", ...).
const char* GetFormatName(ImageFormat format);

// Whether this build reads the format (PPM, JPEG and PNG: always).
bool IsFormatBuiltIn(ImageFormat format);

// The format the first bytes of a content announce, whether or not this
// build reads it; PPM for anything else.
ImageFormat SniffFormat(const unsigned char* p_start, std::size_t size);

struct ImageOptions {
  ImageRequest request;            // the page's size: the least size to decode at
  bool has_background = false;     // the page's background, for transparent pixels
  int bg_red = 0;                  // any int: clamped to 0..255
  int bg_green = 0;
  int bg_blue = 0;
  std::int64_t max_pixels = LoadPPM::MAX_PIXELS;  // larger pictures are refused with -9
};

// What the load saw, for the diagnostics.
struct ImageLoadDetails {
  ImageFormat format = ImageFormat::PPM;
  PPMLoadDetails ppm;        // a PPM load's details; open_error, read_error, is_empty and refused_value for all
  int full_width = 0;        // 0: the picture's upright size before any scaling
  int full_height = 0;
  int frame_count = 1;       // 0: frames in the file; the first is drawn
  bool is_cut_short = false;  // 0: the data ended early (not PPM: see ppm for that); message says how
  char message[DecodedImage::MESSAGE_SIZE] = {};  // -13, and a cut-short file: the decoder's words
};

class LoadImage {
 public:
  static const int UNREADABLE = -13;

  // From the file at p_filename (null: no file, -3).
  LoadImage(unsigned char*& p_rgb_image, const char* p_filename, int& width, int& height,
            const ImageOptions& options = ImageOptions());
  // From an open file descriptor, such as standard input's; it stays open.
  LoadImage(unsigned char*& p_rgb_image, int file_descriptor, int& width, int& height,
            const ImageOptions& options = ImageOptions());
  // From a stream or from bytes in memory (tests and fuzzing).
  LoadImage(unsigned char*& p_rgb_image, std::istream& image_stream, int& width, int& height,
            const ImageOptions& options = ImageOptions());
  LoadImage(unsigned char*& p_rgb_image, const FileBytes& file, int& width, int& height,
            const ImageOptions& options = ImageOptions());

  int GetErrorNo() const { return _error_number; }
  const ImageLoadDetails& GetDetails() const { return _details; }
  // The picture's upright size before scaling: what the page's size is
  // chosen from when it was decoded smaller (as width x height otherwise).
  int GetFullWidth() const { return _details.full_width; }
  int GetFullHeight() const { return _details.full_height; }

 private:
  int _error_number = 0;
  ImageLoadDetails _details;

  void Load(unsigned char*& p_rgb_image, PPMInput& input, int& width, int& height, const ImageOptions& options);
  void Decode(unsigned char*& p_rgb_image, const FileBytes& file, int& width, int& height,
              const ImageOptions& options);
};

#endif
