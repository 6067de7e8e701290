// PictureFormats: every format that the program reads or can name, one row
// each. Sniffing, the names in messages and the suggestions for a format
// that is not read all take this table, so that they cannot disagree.
//
// A format is told by its first bytes, never by the file's name. A row
// with a decoder is read by it; a row without one (BMP, the netpbm formats
// besides PPM, SVG, XPM, PCX, and any format whose library this build
// lacks) goes to the PPM reader, whose reason line then names the format
// and suggests a converter that hands PPM (or PNG) to mottlepage in one
// pipeline. Anything no row claims is read as PPM.
//
// Adding a format takes: its decoder file under picture/formats/ (the
// contract, and the decoder's declaration, in formats/Decoder.h), its row
// in PictureFormats.cpp (name, signature test, the decoder behind its
// build macro, the converter for builds without it), its library in
// CMakeLists.txt (optional ones with a MOTTLEPAGE_HAS_ macro) and in
// .ci/run and debian/control, a fixture made by
// tests/fixtures/make_fixtures.sh with its rows in tests/formats_test.cpp,
// a seed in fuzz/corpus, and the README's and the manual's lists of
// formats.

#ifndef MOTTLEPAGE_PICTURE_PICTUREFORMATS_H
#define MOTTLEPAGE_PICTURE_PICTUREFORMATS_H

#include <cstddef>

#include "picture/formats/Decoder.h"

// What a signature test says of the first bytes.
enum class SignatureMatch {
  NO,
  YES,
  PREFIX,  // every byte there is matches, but the test needs more
};

// A command that turns the picture into something mottlepage reads and
// hands it on in a pipeline: "TOOL FILE STAGES mottlepage ...". A tool
// that reads only standard input gets the file with "<". ImageMagick's
// convert and GraphicsMagick's (is_magick) take "-" for standard input and
// flatten transparency onto the page's own background (each with its own
// option), after turning the picture upright.
struct Converter {
  const char* p_tool;
  bool is_reading_stdin_only;
  const char* p_stages;
  bool is_magick;
  const char* p_flatten = " -alpha remove";  // is_magick: the option that flattens
};

struct PictureFormat {
  const char* p_name;         // in reason lines: "not a readable PNG image"
  const char* p_description;  // in suggestions: "a PNG image, not a PPM image ..."
  SignatureMatch (*p_match)(const unsigned char* p_bytes, std::size_t size);
  std::size_t signature_length;  // the bytes p_match needs at most
  std::size_t cut_length;        // an input that ends inside the signature is named this format once it
                                 // holds this many bytes (0: never: too few bytes to tell)
  bool is_netpbm_magic;          // told, as PPM is, by its first line that is no comment
  Decoder p_decode;              // null: this build does not read it
  Converter converter;           // what a suggestion names when it is not read
};

// The row that the first bytes of an input name, among the formats told
// by their leading bytes; null for none. is_cut is set when the input
// ends (size is all it holds) inside a row's signature: that row is
// returned.
const PictureFormat* FindFormat(const unsigned char* p_bytes, std::size_t size, bool is_ended, bool& is_cut);

// The format, among those this build does not read, that a PPM reader's
// first line that is no comment starts with; null for none.
const PictureFormat* FindFormatOfFirstLine(const char* p_first_line, std::size_t length);

// How many leading bytes tell the format of an input whose first byte is
// `first_byte`: 1 for anything no row can claim, so that a PPM from a pipe
// is handed on without waiting for bytes it would never have read.
std::size_t GetSignatureLength(int first_byte);

// "JPEG, PNG, ..., or PPM": the formats this build reads, for the help.
const char* GetReadFormatsList();

#endif
