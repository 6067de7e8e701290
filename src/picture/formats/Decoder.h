// Decoder: what every decoder under picture/formats/ shares with the
// picture reader that calls it (PictureReader).
//
// A decoder is one function per format, DecodeXXX(stream, canvas, report).
// It reads its format from the stream as the bytes come (never the whole
// file first, unless its library can take nothing else), reads the header,
// asks the canvas for the least size the page needs (Canvas::GetLeastSize;
// formats that can decode smaller, like JPEG at 1/2, 1/4, 1/8, do so), then
// starts the canvas (Canvas::Start: the sides as stored, which are checked
// there, the layout of the samples, the EXIF orientation and the ICC
// profile) and hands it the first frame's rows, top to bottom. The canvas
// makes them sRGB, composites them and shrinks them as they come.
//
// A decoder returns LoadFailure::NONE once the canvas has its rows (a file
// cut short among them: then report.is_cut_short, with the library's words
// in report.words, and the rows that never came are left to the canvas),
// or a failure: UNREADABLE with the library's words, WIDTH_OUT_OF_RANGE or
// HEIGHT_OUT_OF_RANGE from Canvas::Start, NO_MEMORY with the need in the
// report (Canvas::Reserve says whether a block of the decoder's own fits).
// It counts the frames of an animation in report.frame_count.
//
// No library writes to standard error or exits: a library's long jump
// never crosses a C++ object with a destructor, and its messages end up in
// the report's words, once.

#ifndef MOTTLEPAGE_PICTURE_FORMATS_DECODER_H
#define MOTTLEPAGE_PICTURE_FORMATS_DECODER_H

#include "picture/Canvas.h"
#include "picture/LoadReport.h"
#include "picture/PictureStream.h"

typedef LoadFailure (*Decoder)(PictureStream& stream, Canvas& canvas, LoadReport& report);

// Each is built only when its library was found (the macros
// MOTTLEPAGE_HAS_GIF, _WEBP, _HEIF, _TIFF, _JXL; JPEG and PNG always are).
LoadFailure DecodeJPEG(PictureStream& stream, Canvas& canvas, LoadReport& report);
LoadFailure DecodePNG(PictureStream& stream, Canvas& canvas, LoadReport& report);
LoadFailure DecodeGIF(PictureStream& stream, Canvas& canvas, LoadReport& report);
LoadFailure DecodeWebP(PictureStream& stream, Canvas& canvas, LoadReport& report);
LoadFailure DecodeHEIF(PictureStream& stream, Canvas& canvas, LoadReport& report);
LoadFailure DecodeTIFF(PictureStream& stream, Canvas& canvas, LoadReport& report);
LoadFailure DecodeJXL(PictureStream& stream, Canvas& canvas, LoadReport& report);

#endif
