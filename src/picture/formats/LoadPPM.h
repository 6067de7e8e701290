// LoadPPM: reads one PPM image into a new pixel buffer.
//
// Accepted input
//   Magic line "P3" (plain: decimal samples as text) or "P6" (binary: one byte
//   per sample), then a dimensions line "width height" and a maximum-value
//   line, each header item on a line of its own. Lines whose first character
//   is '#' and that end in a newline are comments and are skipped whole,
//   before and between the header lines. Only the first two characters of
//   the magic line count; the height is read from just after the first space
//   of the dimensions line. Width and height must lie in 1..65535 and the
//   maximum sample value must be exactly 255.
//
//   A header line longer than 5999 characters is checked on its first 5999
//   characters; once that check passes, the rest of the line is skipped.
//
//   Plain samples are whitespace-separated decimal numbers, read line by line
//   however long a line is. A negative number or a NUL byte ends the
//   contribution of its line, a word counts as 0, a value above 255 keeps
//   its low eight bits, and samples beyond width x height x 3 are ignored.
//   A last line without a newline counts, even when it starts with '#'.
//
//   A file shorter than its header promises still loads: the missing samples
//   are 0 (black), and GetLoadDetails says how many arrived. A read error is
//   no end of the file: the load fails (-12). Every load ends, whatever the
//   input.
//
// Pixel buffer
//   width x height x 3 bytes, red, green, blue per pixel, rows top to bottom,
//   allocated with malloc (whose failure is a plain null, at any memory
//   limit); it belongs to the caller, who releases it with free. On failure
//   the pointer is null and nothing is left allocated.
//
// Error numbers (GetErrorNo)
//     0  loaded
//    -1  the magic line cannot be read
//    -2  the magic line is neither P3 nor P6
//    -3  the file cannot be opened
//    -4  the dimensions line cannot be read
//    -5  width outside 1..65535
//    -6  height outside 1..65535, or no space on the dimensions line
//    -7  the maximum-value line cannot be read
//    -8  maximum sample value outside 1..65535
//    -9  the pixel buffer cannot be allocated (or exceeds the caller's limit)
//   -10  plain file whose maximum sample value is not 255
//   -11  binary file whose maximum sample value is not 255
//   -12  the input cannot be read (a read error, such as EIO or ECONNRESET)
//
// A line "cannot be read" when the input ends before its newline.
//
// GetLoadDetails tells what the loader saw, so that the caller can say why
// a load failed (the start of the first line, the value a check refused,
// the system's reason for a failed open or read) or that a loaded image
// was cut short.

#ifndef MOTTLEPAGE_PICTURE_FORMATS_LOADPPM_H
#define MOTTLEPAGE_PICTURE_FORMATS_LOADPPM_H

#include <cstdint>
#include <istream>

#include "picture/LoadReport.h"
#include "picture/PictureStream.h"
#include "picture/formats/PlainSamples.h"

// Tests and fuzzing only: keeps the plain sample reader to `code` and the
// ones below it (the program always takes the best the processor runs).
// Returns the code that loads now use.
PlainSampleCode LimitPlainSampleCode(PlainSampleCode code);

class LoadPPM {
 public:
  // Header lines are read into a buffer of this size, terminator included.
  static const int MAX_LINE = 6000;
  // Largest image the program accepts: 65535 x 65535 pixels.
  static constexpr std::int64_t MAX_PIXELS = std::int64_t(65535) * 65535;

  // Loads the file at p_filename (null: no file, error -3).
  LoadPPM(unsigned char*& p_rgb_image, const char* p_filename, int& width, int& height);

  // Loads from an open stream. Images of more than max_pixels pixels are
  // refused with -9 before anything is allocated.
  LoadPPM(unsigned char*& p_rgb_image, std::istream& image_stream, int& width, int& height,
          std::int64_t max_pixels = MAX_PIXELS);

  // Loads from a stream that a caller has already opened and may have
  // peeked into (PictureStream::PeekAhead): the same load from its first
  // byte.
  LoadPPM(unsigned char*& p_rgb_image, PictureStream& input, int& width, int& height,
          std::int64_t max_pixels = MAX_PIXELS);

  int GetErrorNo() const { return _error_number; }
  const PPMLoadDetails& GetLoadDetails() const { return _details; }

 protected:
  int _error_number;
  PPMLoadDetails _details;

  int Load(unsigned char*& p_rgb_image, PictureStream& input, int& width, int& height, std::int64_t max_pixels);
  int ReadHeader(PictureStream& input, char* text, int& ppm_type, int& width, int& height, int& max_color_comp);
  // Records the value that a check refused and returns error_number.
  int Refuse(int error_number, int value);
  int ReadSamples(unsigned char* p_rgb_image, std::int64_t size_image, PictureStream& input, int ppm_type,
                  int max_color_comp);

  // Reads the next line that is not a comment into p_line (terminated) and
  // sets length to the number of characters stored. False when the input
  // ends before the line's newline. A line longer than size_buffer - 1
  // characters comes back cut, with is_cut set and the rest of it still
  // unread: the caller checks what it got, then calls SkipPastNewline.
  bool GetNextPPMLine(PictureStream& input, char* p_line, short size_buffer, bool& is_cut, int& length);
};

#endif
