// PictureReader: the one way the program takes in a picture, whatever its
// format.
//
// Contract
//   The format is told by the input's first bytes, never by its name, for
//   files and standard input alike, through the table of PictureFormats. A
//   format with a decoder is read by it, as a stream, into a Canvas: made
//   sRGB, composited onto the page's background, shrunk to the least size
//   the page needs as the rows come, and turned upright by its EXIF
//   orientation. Everything else, and a format whose library the build
//   lacks, goes to LoadPPM exactly as it always did: the same pixels, the
//   same failures.
//
//   The result is an upright RGB buffer, width x height x 3 bytes,
//   malloc'd, that belongs to the caller (free); null on failure. For a
//   PPM it is the whole image; for the other formats it may be smaller
//   than the picture (never smaller than the page needs): the report's
//   width and height give the picture's own size, which the page's size
//   is chosen from.
//
//   The report says what happened (LoadReport): the failure, or warnings
//   for a file cut short or frames not drawn.

#ifndef MOTTLEPAGE_PICTURE_PICTUREREADER_H
#define MOTTLEPAGE_PICTURE_PICTUREREADER_H

#include <istream>

#include "picture/Canvas.h"
#include "picture/LoadReport.h"
#include "picture/PictureStream.h"

class PictureReader {
 public:
  explicit PictureReader(const CanvasOptions& options = CanvasOptions()) : _options(options) {}

  // The picture in the file at p_path (null: NO_FILE).
  LoadFailure ReadFile(const char* p_path, unsigned char*& p_rgb, int& width, int& height);
  // The picture in an open file descriptor, such as standard input's; it
  // stays open.
  LoadFailure ReadDescriptor(int file_descriptor, unsigned char*& p_rgb, int& width, int& height);
  // The picture in a std::istream (tests and fuzzing).
  LoadFailure ReadStream(std::istream& stream, unsigned char*& p_rgb, int& width, int& height);

  const LoadReport& GetReport() const { return _report; }

 private:
  CanvasOptions _options;
  LoadReport _report;

  LoadFailure Read(PictureStream& stream, unsigned char*& p_rgb, int& width, int& height);
  LoadFailure Decode(PictureStream& stream, unsigned char*& p_rgb, int& width, int& height);
  LoadFailure ReadPPM(PictureStream& stream, unsigned char*& p_rgb, int& width, int& height);
  LoadFailure Fail(LoadFailure failure);
};

#endif
