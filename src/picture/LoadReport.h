// LoadReport: what reading a picture came to, for the one place that words
// messages (the command line's Messages).
//
// A failure is a LoadFailure; the report's other fields say what the
// message needs for it, and nothing else is to be read from them. Every
// number in the report is the file's or the picture's own: the sides as
// the file gives them (upright), the bytes a step asked for, the file's
// size.

#ifndef MOTTLEPAGE_PICTURE_LOADREPORT_H
#define MOTTLEPAGE_PICTURE_LOADREPORT_H

#include <cstdint>

#include "common/OneLine.h"

struct PictureFormat;

// What the PPM loader (LoadPPM) saw, so that the caller can say why a load
// failed or what is missing. Only the fields that its error number names
// are meaningful; the last three are set after every load that got as far
// as the samples.
struct PPMLoadDetails {
  static const int FIRST_BYTES = 16;
  int open_error = 0;              // -3: errno of the failed open, 0 when unknown
  int read_error = 0;              // -12: errno of the failed read
  bool is_empty = false;           // -1: the input held no byte at all
  int first_line_length = 0;       // -1, -2: bytes read of the first line that is no comment
  char first_bytes[FIRST_BYTES]{};  // -1, -2: its first bytes, zero-padded
  int refused_value = 0;           // -5, -6, -8, -10, -11: the width, height or maximum value refused
  bool is_space_missing = false;   // -6: the dimensions line has no space, so no height
  bool is_plain = false;           // 0: samples are decimal text (P3), not bytes
  std::int64_t samples_wanted = 0;  // 0: width x height x 3
  std::int64_t samples_read = 0;    // 0: samples the input held; fewer than wanted: the rest is black
};

enum class LoadFailure {
  NONE,
  NO_FILE,             // no file was named
  CANNOT_OPEN,         // system_error: the open's errno
  CANNOT_READ,         // system_error: the read's errno (EISDIR for a folder)
  NO_FIRST_LINE,       // a PPM's first line cannot be read (ppm: empty input, comments only, no end)
  NOT_PPM,             // a PPM's first line is no P3 or P6 (format: what the first bytes are instead)
  NO_SIDES_LINE,       // a PPM's header ends within its width and height line
  WIDTH_OUT_OF_RANGE,  // refused_value: a width outside 1 to 65535
  HEIGHT_OUT_OF_RANGE,  // refused_value, or ppm.is_space_missing: no height at all
  NO_MAXIMUM_LINE,     // a PPM's header ends within its maximum-value line
  BAD_MAXIMUM,         // refused_value: a PPM maximum sample value other than 255
  NO_MEMORY,           // width x height (0 x 0: not known yet), bytes_wanted: the memory that could not be had
  FILE_TOO_LARGE,      // bytes_wanted: a file that must be held whole does not fit in memory
  UNREADABLE,          // words: the decoder cannot get past the data
  CUT_IN_SIGNATURE,    // format: the input ends inside the first bytes that name it
};

// What the frames of a file with several are, for the warning's words.
enum class FrameKind {
  FRAMES,  // an animation's
  PAGES,   // a document's (TIFF)
};

struct LoadReport {
  static const int WORDS_SIZE = 200;

  LoadFailure failure = LoadFailure::NONE;
  const PictureFormat* p_format = nullptr;  // the format the first bytes name; null: none (PPM's reader)
  int system_error = 0;
  std::int64_t refused_value = 0;
  int width = 0;                  // the picture's own size, upright, when known
  int height = 0;
  std::int64_t bytes_wanted = 0;  // NO_MEMORY
  bool is_cut_short = false;      // read, but the data ended early: words say how (PPM: ppm.samples_read)
  int frame_count = 1;            // frames in the file; the first is drawn
  FrameKind frame_kind = FrameKind::FRAMES;
  char words[WORDS_SIZE] = {};    // the decoder's own words: UNREADABLE, and a file cut short
  PPMLoadDetails ppm;             // the PPM reader's own details (first bytes, samples read, ...)

  // Keeps the decoder's words as one line: control characters become
  // spaces, and what does not fit is cut.
  void SetWords(const char* p_text) { CopyAsOneLine(words, WORDS_SIZE, p_text); }
};

#endif
