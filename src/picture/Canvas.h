// Canvas: the picture as the page needs it, painted by a decoder row by
// row.
//
// The decoder asks for the least size the page needs (GetLeastSize), tells
// the canvas what it found in its header and the size its rows come at
// (Start), then hands over the rows top to bottom (PutRows). Each row is
// made sRGB (its ICC profile through Little CMS; CMYK through its profile
// or by formula), its transparency composited onto the page's background
// (out = (fg * a + bg * (255 - a) + 127) / 255 on the sRGB values, as
// browsers blend), and it is shrunk as it comes to the least size, an area
// average kept as sums of one row: only the shrunk picture and a few rows
// are ever held, so memory follows the page, not the picture. Finish
// fills the rows that never came with zero samples (black, or transparent
// where there is alpha), turns the shrunk picture upright and hands it
// over.
//
// Sides are checked in Start (1 to 65535), and every block is weighed
// against the memory the program may use before it is allocated
// (Reserve), so that a shortage is a reason line, never a signal.

#ifndef MOTTLEPAGE_PICTURE_CANVAS_H
#define MOTTLEPAGE_PICTURE_CANVAS_H

#include <cstddef>
#include <cstdint>

#include "picture/ColourProfile.h"
#include "picture/LoadReport.h"

// The least size, upright, that a picture of upright_width x
// upright_height is needed at for the page: at most its own size.
typedef void (*LeastSizeChooser)(const void* p_context, int upright_width, int upright_height, int& least_width,
                                 int& least_height);

struct CanvasOptions {
  LeastSizeChooser p_choose_least_size = nullptr;  // null: the picture at its own size
  const void* p_size_context = nullptr;
  bool has_background = false;  // the page's background, for transparent pixels
  int bg_red = 0;               // any int: clamped to 0..255
  int bg_green = 0;
  int bg_blue = 0;
  std::int64_t memory_limit = 0;  // bytes that blocks of the picture may take; 0: no limit
};

// What a decoder found in its header.
struct PictureHeader {
  static const int MAX_SIDE = 65535;

  int width = 0;             // the picture's own size, as stored (before orientation)
  int height = 0;
  int row_width = 0;         // the size its rows come at (at least the least size); 0: width x height
  int row_height = 0;
  SampleLayout layout = SampleLayout::RGB;
  int orientation = 1;       // EXIF orientation 1..8 still to apply
  const unsigned char* p_icc = nullptr;  // the samples' ICC profile; null: sRGB
  std::size_t icc_size = 0;
};

class Canvas {
 public:
  Canvas(const CanvasOptions& options, LoadReport& report);
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  // The least size, as stored, that a picture stored at width x height
  // with this orientation is needed at.
  void GetLeastSize(int width, int height, int orientation, int& least_width, int& least_height) const;

  // Checks the sides (WIDTH_OUT_OF_RANGE, HEIGHT_OUT_OF_RANGE) and
  // allocates the shrunk picture (NO_MEMORY); records the upright size in
  // the report. Called once, before the rows.
  LoadFailure Start(const PictureHeader& header);

  // The next `count` rows, all alike (a row that repeats, as a background
  // above and below a frame, costs one row's work), in the header's
  // layout at its row width. Rows past the last are ignored.
  void PutRows(const unsigned char* p_row, int count = 1);
  int GetRowsPut() const { return _rows_put; }

  // Whether a block of `bytes` of the decoder's own fits in the memory the
  // program may use besides the canvas; when not, the report asks for all
  // that was reserved with it (bytes_wanted) and the decoder is to give
  // up. Release gives back what a freed block took.
  bool Reserve(std::int64_t bytes);
  void Release(std::int64_t bytes) { _reserved -= bytes; }
  // Records a shortage that an allocation found: all that was reserved and
  // `bytes` more were wanted.
  void Refuse(std::int64_t bytes);
  std::int64_t GetReserved() const { return _reserved; }
  // The bytes a block may still take; 0 when there is no limit.
  std::int64_t GetBytesLeft() const;

  // Fills the rows that never came, turns the picture upright and hands it
  // over: width x height x 3 RGB bytes, malloc'd, the caller's to free.
  // NO_MEMORY when the turn finds none.
  LoadFailure Finish(unsigned char*& p_rgb, int& width, int& height);

 private:
  CanvasOptions _options;
  LoadReport& _report;
  PictureHeader _header;
  ColourConversion _conversion;
  int _target_width = 0;
  int _target_height = 0;
  unsigned char* _p_target = nullptr;   // the shrunk picture, as stored
  unsigned char* _p_row = nullptr;      // a row made sRGB and composited
  std::uint32_t* _p_sums = nullptr;     // the weighted sums of the target row being made
  int _rows_put = 0;
  int _target_row = 0;                  // the target row the sums are for
  std::int64_t _reserved = 0;           // bytes the canvas holds

  bool IsWholeSize() const;
  void MakeRGB(const unsigned char* p_row);
  void AddRows(int first, int last);
};

#endif
