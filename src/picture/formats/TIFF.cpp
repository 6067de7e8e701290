// TIFF through libtiff: the first page, strip by strip (a row of tiles at
// a time), each row made one of the canvas's layouts as it is read, so that
// besides the canvas only a strip's or a row of tiles' samples are held.
//
// libtiff seeks about the file: a regular file is read where it lies (pread
// on the stream's descriptor, from where the stream stands), while a pipe
// or a std::istream is held whole first, weighed against the memory the
// program may use.
//
// Read are grey and palette pictures of 1 to 16 bits, RGB and CMYK of 8 or
// 16 bits (16-bit samples become round(v * 255 / 65535)), YCbCr when it is
// JPEG-compressed (libtiff's JPEG codec makes it RGB), in one plane or
// several; the first extra sample when it is alpha, associated alpha
// un-premultiplied so that the canvas composites straight alpha. CMYK goes
// to the canvas with the page's ICC profile, which Little CMS converts, or
// by formula. The Orientation tag and an embedded ICC profile go to the
// canvas as they are; further pages are counted, not read.
//
// libtiff speaks through handlers given to this file only: its first error
// becomes the reason (or, for a file cut short in its image data, the
// warning's words), its warnings are dropped, and its global handlers are
// silenced, so that nothing reaches standard error.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tiffio.h>

#include "picture/formats/WholePicture.h"

namespace {

// Where libtiff's reads go: the file's descriptor from `base` on, or the
// input held whole.
struct TIFFSource {
  int file_descriptor = -1;
  std::int64_t base = 0;
  const unsigned char* p_data = nullptr;
  std::uint64_t size = 0;
  std::uint64_t position = 0;
  int read_error = 0;
};

// The name libtiff is given for the file, which some of its messages
// start with.
const char* const FILE_NAME = "TIFF";

// libtiff's first error, in its own words, or the program's own refusal.
struct TIFFWords {
  char text[LoadReport::WORDS_SIZE] = {};
  bool has_text = false;
  bool is_short_of_memory = false;  // the error came of an allocation that failed

  void Keep(const char* p_format, va_list arguments) {
    if (has_text) return;
    // libtiff says so right after the allocation, whose errno is still there.
    is_short_of_memory = errno == ENOMEM;
    std::vsnprintf(text, sizeof text, p_format, arguments);
    has_text = true;
    const std::size_t length = std::strlen(FILE_NAME);
    if (std::strncmp(text, FILE_NAME, length) == 0 && std::strncmp(text + length, ": ", 2) == 0)
      std::memmove(text, text + length + 2, std::strlen(text + length + 2) + 1);
  }
  void Set(const char* p_format, ...) {
    va_list arguments;
    va_start(arguments, p_format);
    Keep(p_format, arguments);
    va_end(arguments);
  }
};

int KeepError(TIFF*, void* p_words, const char*, const char* p_format, va_list arguments) {
  static_cast<TIFFWords*>(p_words)->Keep(p_format, arguments);
  return 1;  // handled: the global handlers are not called
}

int DropWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Messages that come before a TIFF exists to carry the handlers above, or
// from code that has none, would go to standard error.
void SilenceLibTIFF() {
  static const bool is_silenced = (TIFFSetErrorHandler(nullptr), TIFFSetWarningHandler(nullptr), true);
  (void)is_silenced;
}

TIFFSource& GetSource(thandle_t handle) { return *static_cast<TIFFSource*>(handle); }

tmsize_t ReadSource(thandle_t handle, void* p_target, tmsize_t size) {
  TIFFSource& source = GetSource(handle);
  if (size <= 0 || source.position >= source.size) return 0;
  std::uint64_t wanted = std::uint64_t(size);
  if (wanted > source.size - source.position) wanted = source.size - source.position;
  if (source.p_data != nullptr) {
    std::memcpy(p_target, source.p_data + source.position, std::size_t(wanted));
    source.position += wanted;
    return tmsize_t(wanted);
  }
  char* p_bytes = static_cast<char*>(p_target);
  std::uint64_t done = 0;
  while (done < wanted) {
    const ssize_t count = pread(source.file_descriptor, p_bytes + done, std::size_t(wanted - done),
                                off_t(source.base + std::int64_t(source.position + done)));
    if (count > 0) {
      done += std::uint64_t(count);
    } else if (count == 0 || errno != EINTR) {
      if (count < 0) source.read_error = errno;
      break;
    }
  }
  source.position += done;
  return tmsize_t(done);
}

tmsize_t WriteNothing(thandle_t, void*, tmsize_t) { return 0; }

toff_t SeekSource(thandle_t handle, toff_t offset, int whence) {
  TIFFSource& source = GetSource(handle);
  const std::uint64_t origin = whence == SEEK_CUR ? source.position : whence == SEEK_END ? source.size : 0;
  source.position = origin + offset;  // wraps back for a negative offset
  return source.position;
}

int CloseSource(thandle_t) { return 0; }

toff_t GetSourceSize(thandle_t handle) { return GetSource(handle).size; }

// Held bytes are handed to libtiff as a mapped file, which it reads without
// copying; a file on disk is not mapped, so that its pages do not add to
// the memory the program holds.
int MapSource(thandle_t handle, void** p_base, toff_t* p_size) {
  TIFFSource& source = GetSource(handle);
  if (source.p_data == nullptr) return 0;
  *p_base = const_cast<unsigned char*>(source.p_data);
  *p_size = source.size;
  return 1;
}

void UnmapSource(thandle_t, void*, toff_t) {}

// A regular file is read where it lies, from the stream's next unread byte
// on; anything else is held whole (p_held, the caller's to free).
LoadFailure OpenSource(PictureStream& stream, Canvas& canvas, LoadReport& report, TIFFSource& source,
                       unsigned char*& p_held) {
  const int file_descriptor = stream.GetFileDescriptor();
  struct stat status {};
  if (file_descriptor >= 0 && fstat(file_descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
    const off_t at = lseek(file_descriptor, 0, SEEK_CUR);
    const std::int64_t base = std::int64_t(at) - (stream.GetEnd() - stream.GetNext());
    if (at >= 0 && base >= 0) {
      source.file_descriptor = file_descriptor;
      source.base = base;
      source.size = status.st_size > base ? std::uint64_t(status.st_size - base) : 0;
      return LoadFailure::NONE;
    }
  }
  std::size_t size = 0;
  const LoadFailure failure = ReadWholeStream(stream, canvas, report, p_held, size);
  source.p_data = p_held;
  source.size = size;
  return failure;
}

TIFF* OpenTIFF(TIFFSource& source, TIFFWords& words, std::int64_t bytes_left) {
  TIFFOpenOptions* p_options = TIFFOpenOptionsAlloc();
  if (p_options == nullptr) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(p_options, KeepError, &words);
  TIFFOpenOptionsSetWarningHandlerExtR(p_options, DropWarning, nullptr);
  // Under a memory limit no block of libtiff's may pass what is left.
  if (bytes_left > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(p_options, bytes_left);
  TIFF* p_tiff = TIFFClientOpenExt(FILE_NAME, "r", &source, ReadSource, WriteNothing, SeekSource, CloseSource,
                                   GetSourceSize, MapSource, UnmapSource, p_options);
  TIFFOpenOptionsFree(p_options);
  return p_tiff;
}

// How a page stores its samples, and what the canvas is handed.
struct RowFormat {
  int width = 0;
  int height = 0;
  int samples = 0;         // per pixel, as stored
  int bits = 0;            // per sample: 1, 2, 4, 8 or 16
  int colour_samples = 0;  // 1 (grey or palette), 3 (RGB) or 4 (CMYK)
  int alpha = -1;          // the alpha sample's place in a pixel; -1: none
  bool is_associated = false;  // alpha premultiplied into the colours
  bool is_white_zero = false;  // grey stored with 0 for white
  bool is_planar = false;      // one plane per sample
  const std::uint16_t* p_map[3] = {nullptr, nullptr, nullptr};  // a palette's red, green, blue
  bool is_map_8_bits = false;  // an old writer's palette of 0..255 values
  SampleLayout layout = SampleLayout::RGB;

  std::size_t GetRowBytes() const { return (std::size_t(width) * std::size_t(samples) * std::size_t(bits) + 7) / 8; }
  int GetOutSamples() const { return GetSampleCount(layout); }
  // Rows whose samples the canvas takes as they are stored.
  bool IsCanvasReady() const {
    return bits == 8 && p_map[0] == nullptr && !is_white_zero && !is_associated && colour_samples >= 3 &&
           samples == GetOutSamples();
  }
};

unsigned GetSample(const unsigned char* p_row, std::size_t index, int bits) {
  if (bits == 8) return p_row[index];
  if (bits == 16) {
    std::uint16_t value = 0;
    std::memcpy(&value, p_row + 2 * index, 2);  // libtiff has made it the machine's order
    return value;
  }
  const std::size_t bit = index * std::size_t(bits);
  return unsigned(p_row[bit / 8] >> (8 - bits - int(bit % 8))) & ((1u << bits) - 1);
}

unsigned char ScaleSample(unsigned value, int bits) {
  if (bits == 8) return static_cast<unsigned char>(value);
  const unsigned maximum = (1u << bits) - 1;
  return static_cast<unsigned char>((value * 255u + maximum / 2) / maximum);
}

unsigned char GetMapEntry(const RowFormat& row_format, int channel, unsigned index) {
  const unsigned value = row_format.p_map[channel][index];
  return row_format.is_map_8_bits ? static_cast<unsigned char>(value) : ScaleSample(value, 16);
}

// One pixel's colour out of its premultiplied form, at the stored depth.
unsigned Unpremultiply(unsigned value, unsigned alpha, unsigned maximum) {
  if (alpha == 0) return 0;
  const std::uint64_t straight = (std::uint64_t(value) * maximum + alpha / 2) / alpha;
  return straight > maximum ? maximum : unsigned(straight);
}

// A row of stored samples in the canvas's layout: RGB, RGBA or CMYK, 8 bits.
void ConvertRow(const RowFormat& row_format, const unsigned char* p_in, unsigned char* p_out) {
  const unsigned maximum = (1u << row_format.bits) - 1;
  const int out_samples = row_format.GetOutSamples();
  for (int x = 0; x < row_format.width; ++x) {
    const std::size_t first = std::size_t(x) * std::size_t(row_format.samples);
    unsigned char* p_pixel = p_out + std::size_t(x) * std::size_t(out_samples);
    const unsigned alpha =
        row_format.alpha >= 0 ? GetSample(p_in, first + std::size_t(row_format.alpha), row_format.bits) : maximum;
    if (row_format.p_map[0] != nullptr) {
      const unsigned index = GetSample(p_in, first, row_format.bits);
      for (int channel = 0; channel < 3; ++channel) p_pixel[channel] = GetMapEntry(row_format, channel, index);
    } else {
      for (int channel = 0; channel < row_format.colour_samples; ++channel) {
        unsigned value = GetSample(p_in, first + std::size_t(channel), row_format.bits);
        if (row_format.is_associated) value = Unpremultiply(value, alpha, maximum);
        if (row_format.is_white_zero) value = maximum - value;
        p_pixel[channel] = ScaleSample(value, row_format.bits);
      }
      if (row_format.colour_samples == 1) p_pixel[1] = p_pixel[2] = p_pixel[0];
    }
    if (row_format.layout == SampleLayout::RGBA) p_pixel[3] = ScaleSample(alpha, row_format.bits);
  }
}

// The colour samples a photometric interpretation stores, set up for
// reading; false (with the words) for one that is not read.
bool ChooseColours(TIFF* p_tiff, std::uint16_t photometric, std::uint16_t compression, RowFormat& row_format,
                   TIFFWords& words) {
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      row_format.colour_samples = 1;
      row_format.is_white_zero = photometric == PHOTOMETRIC_MINISWHITE;
      return true;
    case PHOTOMETRIC_RGB:
      row_format.colour_samples = 3;
      return true;
    case PHOTOMETRIC_PALETTE: {
      std::uint16_t *p_red = nullptr, *p_green = nullptr, *p_blue = nullptr;
      if (!TIFFGetField(p_tiff, TIFFTAG_COLORMAP, &p_red, &p_green, &p_blue) || row_format.bits > 16) {
        words.Set("a palette picture without its colour map");
        return false;
      }
      row_format.colour_samples = 1;
      row_format.p_map[0] = p_red;
      row_format.p_map[1] = p_green;
      row_format.p_map[2] = p_blue;
      row_format.is_map_8_bits = true;
      for (std::size_t i = 0; i < (std::size_t(1) << row_format.bits) && row_format.is_map_8_bits; ++i)
        row_format.is_map_8_bits = p_red[i] < 256 && p_green[i] < 256 && p_blue[i] < 256;
      return true;
    }
    case PHOTOMETRIC_SEPARATED: {
      std::uint16_t ink_set = INKSET_CMYK;
      TIFFGetFieldDefaulted(p_tiff, TIFFTAG_INKSET, &ink_set);
      if (ink_set != INKSET_CMYK) {
        words.Set("separated inks other than CMYK are not read");
        return false;
      }
      row_format.colour_samples = 4;
      return true;
    }
    case PHOTOMETRIC_YCBCR:
      if (compression != COMPRESSION_JPEG) {
        words.Set("YCbCr samples are read only when JPEG-compressed");
        return false;
      }
      TIFFSetField(p_tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
      row_format.colour_samples = 3;
      return true;
    default:
      words.Set("photometric interpretation %u is not read", unsigned(photometric));
      return false;
  }
}

// The first extra sample, when it is alpha; CMYK's is left undrawn, as the
// canvas takes CMYK without alpha.
void ChooseAlpha(TIFF* p_tiff, RowFormat& row_format) {
  std::uint16_t count = 0;
  std::uint16_t* p_kinds = nullptr;
  if (!TIFFGetField(p_tiff, TIFFTAG_EXTRASAMPLES, &count, &p_kinds) || count == 0 || p_kinds == nullptr) return;
  if (row_format.colour_samples == 4 || row_format.samples <= row_format.colour_samples) return;
  if (p_kinds[0] != EXTRASAMPLE_ASSOCALPHA && p_kinds[0] != EXTRASAMPLE_UNASSALPHA) return;
  row_format.alpha = row_format.colour_samples;
  row_format.is_associated = p_kinds[0] == EXTRASAMPLE_ASSOCALPHA;
}

// The page's sample layout and the canvas's header; a failure (with the
// words, or the refused side in the report) for a page that is not read.
LoadFailure ReadRowFormat(TIFF* p_tiff, RowFormat& row_format, PictureHeader& header, TIFFWords& words, LoadReport& report) {
  std::uint32_t width = 0, height = 0;
  std::uint16_t samples = 1, bits = 1, photometric = PHOTOMETRIC_MINISBLACK, compression = COMPRESSION_NONE;
  std::uint16_t planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT, orientation = ORIENTATION_TOPLEFT;
  TIFFGetField(p_tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(p_tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(p_tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(p_tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetField(p_tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(p_tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(p_tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(p_tiff, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(p_tiff, TIFFTAG_ORIENTATION, &orientation);
  if (width > std::uint32_t(PictureHeader::MAX_SIDE) || height > std::uint32_t(PictureHeader::MAX_SIDE)) {
    const bool is_width = width > std::uint32_t(PictureHeader::MAX_SIDE);
    report.refused_value = is_width ? width : height;
    return is_width ? LoadFailure::WIDTH_OUT_OF_RANGE : LoadFailure::HEIGHT_OUT_OF_RANGE;
  }
  row_format.width = int(width);
  row_format.height = int(height);
  row_format.samples = samples;
  row_format.bits = bits;
  row_format.is_planar = planar == PLANARCONFIG_SEPARATE && samples > 1;
  if (format != SAMPLEFORMAT_UINT) {
    const char* p_kind = format == SAMPLEFORMAT_IEEEFP ? "floating-point" : "signed";
    words.Set("%u-bit %s samples are not read", unsigned(bits), p_kind);
    return LoadFailure::UNREADABLE;
  }
  const bool is_whole_bytes = bits == 8 || bits == 16;
  if (!(is_whole_bytes || bits == 1 || bits == 2 || bits == 4) || (row_format.is_planar && !is_whole_bytes)) {
    words.Set("%u-bit samples%s are not read", unsigned(bits), row_format.is_planar ? " in planes" : "");
    return LoadFailure::UNREADABLE;
  }
  if (!ChooseColours(p_tiff, photometric, compression, row_format, words)) return LoadFailure::UNREADABLE;
  if (row_format.samples < row_format.colour_samples) {
    words.Set("%d samples a pixel where %d are needed", row_format.samples, row_format.colour_samples);
    return LoadFailure::UNREADABLE;
  }
  ChooseAlpha(p_tiff, row_format);
  row_format.layout = row_format.colour_samples == 4 ? SampleLayout::CMYK
                : row_format.alpha >= 0       ? SampleLayout::RGBA
                                        : SampleLayout::RGB;

  header.width = row_format.width;
  header.height = row_format.height;
  header.layout = row_format.layout;
  header.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  std::uint32_t icc_size = 0;
  void* p_icc = nullptr;
  if (TIFFGetField(p_tiff, TIFFTAG_ICCPROFILE, &icc_size, &p_icc) && p_icc != nullptr) {
    header.p_icc = static_cast<const unsigned char*>(p_icc);
    header.icc_size = icc_size;
  }
  return LoadFailure::NONE;
}

// How reading the rows ended.
enum class RowsEnd {
  COMPLETE,
  CUT_SHORT,  // a strip or tile lies past the file's end: what came before is drawn
  BROKEN,     // libtiff cannot get past the data
  NO_MEMORY,  // the decoder's blocks do not fit
};

// A strip or tile that reaches past the end of the file: the file was cut.
RowsEnd JudgeFailure(TIFF* p_tiff, std::uint32_t strile, const TIFFSource& source) {
  const std::uint64_t offset = TIFFGetStrileOffset(p_tiff, strile);
  const std::uint64_t count = TIFFGetStrileByteCount(p_tiff, strile);
  return offset > source.size || count > source.size - offset ? RowsEnd::CUT_SHORT : RowsEnd::BROKEN;
}

// The decoder's own blocks for a page, weighed against the program's
// memory, and freed on every path.
struct RowBlocks {
  unsigned char* p_raw = nullptr;    // rows of stored samples, interleaved
  unsigned char* p_row = nullptr;    // a row in the canvas's layout; null when p_raw's rows are that
  unsigned char* p_piece = nullptr;  // a tile, or every plane's strip
  std::size_t raw_row_bytes = 0;     // from one row of p_raw to the next

  RowBlocks() = default;
  RowBlocks(const RowBlocks&) = delete;
  RowBlocks& operator=(const RowBlocks&) = delete;
  ~RowBlocks() {
    std::free(p_raw);
    std::free(p_row);
    std::free(p_piece);
  }

  // `rows` rows of `row_bytes` stored samples and a piece of `piece_bytes`.
  bool Allocate(const RowFormat& row_format, Canvas& canvas, std::uint64_t rows, std::uint64_t row_bytes,
                std::uint64_t piece_bytes) {
    const std::uint64_t out_bytes = row_format.IsCanvasReady() ? 0 : std::uint64_t(row_format.width) * 4;
    const std::uint64_t LIMIT = std::uint64_t(1) << 40;
    if (rows > LIMIT / (row_bytes + 1) || piece_bytes > LIMIT) {
      canvas.Refuse(std::int64_t(LIMIT));
      return false;
    }
    if (!canvas.Reserve(std::int64_t(rows * row_bytes + out_bytes + piece_bytes))) return false;
    raw_row_bytes = std::size_t(row_bytes);
    p_raw = static_cast<unsigned char*>(std::calloc(std::size_t(rows * row_bytes) + 1, 1));
    p_row = out_bytes > 0 ? static_cast<unsigned char*>(std::malloc(std::size_t(out_bytes))) : nullptr;
    p_piece = static_cast<unsigned char*>(std::malloc(std::size_t(piece_bytes) + 1));
    if (p_raw != nullptr && (out_bytes == 0 || p_row != nullptr) && p_piece != nullptr) return true;
    canvas.Refuse(0);
    return false;
  }
};

void PutRawRows(const RowFormat& row_format, const RowBlocks& blocks, int count, Canvas& canvas) {
  for (int y = 0; y < count; ++y) {
    const unsigned char* p_stored = blocks.p_raw + std::size_t(y) * blocks.raw_row_bytes;
    if (blocks.p_row == nullptr) {
      canvas.PutRows(p_stored);
    } else {
      ConvertRow(row_format, p_stored, blocks.p_row);
      canvas.PutRows(blocks.p_row);
    }
  }
}

// Strips of interleaved samples, a row at a time: libtiff decodes each
// strip as its rows are asked for, so that a strip of any height costs one
// row.
RowsEnd ReadScanlines(TIFF* p_tiff, const RowFormat& row_format, const TIFFSource& source, Canvas& canvas) {
  // libtiff's scanline may be wider than the stored row, never narrower.
  const std::uint64_t scanline = TIFFScanlineSize64(p_tiff);
  RowBlocks blocks;
  if (!blocks.Allocate(row_format, canvas, 1, scanline > row_format.GetRowBytes() ? scanline : row_format.GetRowBytes(), 0))
    return RowsEnd::NO_MEMORY;
  for (int y = 0; y < row_format.height; ++y) {
    if (TIFFReadScanline(p_tiff, blocks.p_raw, std::uint32_t(y), 0) < 0)
      return JudgeFailure(p_tiff, TIFFComputeStrip(p_tiff, std::uint32_t(y), 0), source);
    PutRawRows(row_format, blocks, 1, canvas);
  }
  return RowsEnd::COMPLETE;
}

// Copies `count` samples of one plane (whole bytes each) to their places
// among the pixels' samples.
void InterleavePlane(const RowFormat& row_format, const unsigned char* p_plane, int count, int plane,
                     unsigned char* p_pixels) {
  const std::size_t size = std::size_t(row_format.bits / 8);
  const std::size_t stride = size * std::size_t(row_format.samples);
  unsigned char* p_target = p_pixels + size * std::size_t(plane);
  for (int x = 0; x < count; ++x) {
    std::memcpy(p_target + std::size_t(x) * stride, p_plane + std::size_t(x) * size, size);
  }
}

// Strips of one plane each: the planes' strips of the same rows are read,
// then their rows are put together.
RowsEnd ReadPlanarStrips(TIFF* p_tiff, const RowFormat& row_format, const TIFFSource& source, Canvas& canvas) {
  std::uint32_t rows_per_strip = 0;
  TIFFGetFieldDefaulted(p_tiff, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  if (rows_per_strip == 0 || rows_per_strip > std::uint32_t(row_format.height)) rows_per_strip = std::uint32_t(row_format.height);
  const std::uint32_t strips_per_plane = (std::uint32_t(row_format.height) + rows_per_strip - 1) / rows_per_strip;
  const std::uint64_t strip_bytes = TIFFStripSize64(p_tiff);
  const std::size_t plane_row_bytes = std::size_t(row_format.width) * std::size_t(row_format.bits / 8);
  RowBlocks blocks;
  if (!blocks.Allocate(row_format, canvas, 1, row_format.GetRowBytes(), strip_bytes * std::uint64_t(row_format.samples)))
    return RowsEnd::NO_MEMORY;
  for (std::uint32_t strip = 0; strip < strips_per_plane; ++strip) {
    for (int plane = 0; plane < row_format.samples; ++plane) {
      const std::uint32_t index = std::uint32_t(plane) * strips_per_plane + strip;
      unsigned char* p_plane = blocks.p_piece + std::size_t(plane) * std::size_t(strip_bytes);
      if (TIFFReadEncodedStrip(p_tiff, index, p_plane, tmsize_t(strip_bytes)) < 0)
        return JudgeFailure(p_tiff, index, source);
    }
    const int first = int(strip * rows_per_strip);
    const int rows = row_format.height - first < int(rows_per_strip) ? row_format.height - first : int(rows_per_strip);
    for (int y = 0; y < rows; ++y) {
      for (int plane = 0; plane < row_format.samples; ++plane) {
        const std::size_t at = std::size_t(plane) * std::size_t(strip_bytes) + std::size_t(y) * plane_row_bytes;
        InterleavePlane(row_format, blocks.p_piece + at, row_format.width, plane, blocks.p_raw);
      }
      PutRawRows(row_format, blocks, 1, canvas);
    }
  }
  return RowsEnd::COMPLETE;
}

// Copies a tile's rows (one plane's, or all samples) to its place in the
// band of a row of tiles.
void PlaceTile(const RowFormat& row_format, const unsigned char* p_tile, std::uint32_t tile_width, int x, int rows,
               int plane, const RowBlocks& blocks) {
  const int count = row_format.width - x < int(tile_width) ? row_format.width - x : int(tile_width);
  const std::size_t samples = row_format.is_planar ? 1 : std::size_t(row_format.samples);
  const std::size_t tile_row_bytes = (std::size_t(tile_width) * samples * std::size_t(row_format.bits) + 7) / 8;
  const std::size_t at = std::size_t(x) * std::size_t(row_format.samples) * std::size_t(row_format.bits) / 8;
  const std::size_t size = (std::size_t(count) * samples * std::size_t(row_format.bits) + 7) / 8;
  for (int y = 0; y < rows; ++y) {
    unsigned char* p_row = blocks.p_raw + std::size_t(y) * blocks.raw_row_bytes + at;
    const unsigned char* p_tile_row = p_tile + std::size_t(y) * tile_row_bytes;
    if (row_format.is_planar) {
      InterleavePlane(row_format, p_tile_row, count, plane, p_row);
    } else {
      std::memcpy(p_row, p_tile_row, size);
    }
  }
}

// Tiles, a row of them at a time: each tile (each plane's) is read into
// its place in a band as high as the tiles, whose rows then go to the
// canvas. A band cut short is drawn with what came.
RowsEnd ReadTiles(TIFF* p_tiff, const RowFormat& row_format, const TIFFSource& source, Canvas& canvas) {
  std::uint32_t tile_width = 0, tile_length = 0;
  TIFFGetField(p_tiff, TIFFTAG_TILEWIDTH, &tile_width);
  TIFFGetField(p_tiff, TIFFTAG_TILELENGTH, &tile_length);
  if (tile_width == 0 || tile_length == 0) return RowsEnd::BROKEN;
  const int band_height = tile_length < std::uint32_t(row_format.height) ? int(tile_length) : row_format.height;
  const int planes = row_format.is_planar ? row_format.samples : 1;
  RowBlocks blocks;
  if (!blocks.Allocate(row_format, canvas, std::uint64_t(band_height), row_format.GetRowBytes(), TIFFTileSize64(p_tiff)))
    return RowsEnd::NO_MEMORY;
  for (int top = 0; top < row_format.height; top += band_height) {
    const int rows = row_format.height - top < band_height ? row_format.height - top : band_height;
    std::memset(blocks.p_raw, 0, std::size_t(rows) * blocks.raw_row_bytes);
    for (int x = 0; x < row_format.width; x += int(tile_width)) {
      for (int plane = 0; plane < planes; ++plane) {
        const std::uint16_t sample = std::uint16_t(plane);
        if (TIFFReadTile(p_tiff, blocks.p_piece, std::uint32_t(x), std::uint32_t(top), 0, sample) < 0) {
          const std::uint32_t tile = TIFFComputeTile(p_tiff, std::uint32_t(x), std::uint32_t(top), 0, sample);
          const RowsEnd end = JudgeFailure(p_tiff, tile, source);
          if (end == RowsEnd::CUT_SHORT) PutRawRows(row_format, blocks, rows, canvas);
          return end;
        }
        PlaceTile(row_format, blocks.p_piece, tile_width, x, rows, plane, blocks);
      }
    }
    PutRawRows(row_format, blocks, rows, canvas);
  }
  return RowsEnd::COMPLETE;
}

RowsEnd ReadRows(TIFF* p_tiff, const RowFormat& row_format, const TIFFSource& source, Canvas& canvas) {
  if (TIFFIsTiled(p_tiff)) return ReadTiles(p_tiff, row_format, source, canvas);
  if (row_format.is_planar) return ReadPlanarStrips(p_tiff, row_format, source, canvas);
  return ReadScanlines(p_tiff, row_format, source, canvas);
}

// The pages after the first, as a viewer pages through them: reduced
// copies (thumbnails) are no pages.
int CountPages(TIFF* p_tiff) {
  int pages = 1;
  while (pages < INT_MAX && TIFFReadDirectory(p_tiff)) {
    std::uint32_t kind = 0;
    if (!TIFFGetField(p_tiff, TIFFTAG_SUBFILETYPE, &kind) || (kind & FILETYPE_REDUCEDIMAGE) == 0) ++pages;
  }
  return pages;
}

LoadFailure DecodePage(TIFF* p_tiff, const TIFFSource& source, TIFFWords& words, Canvas& canvas, LoadReport& report) {
  RowFormat row_format;
  PictureHeader header;
  LoadFailure failure = ReadRowFormat(p_tiff, row_format, header, words, report);
  if (failure == LoadFailure::NONE) failure = canvas.Start(header);
  if (failure != LoadFailure::NONE) return failure;
  switch (ReadRows(p_tiff, row_format, source, canvas)) {
    case RowsEnd::NO_MEMORY:
      return LoadFailure::NO_MEMORY;
    case RowsEnd::BROKEN:
      return LoadFailure::UNREADABLE;
    case RowsEnd::CUT_SHORT:
      report.is_cut_short = true;
      report.SetWords(words.has_text ? words.text : "the file ends within its image data");
      break;
    case RowsEnd::COMPLETE:
      break;
  }
  report.frame_count = CountPages(p_tiff);
  report.frame_kind = FrameKind::PAGES;
  return LoadFailure::NONE;
}

LoadFailure DecodeSource(TIFFSource& source, Canvas& canvas, LoadReport& report) {
  TIFFWords words;
  LoadFailure failure = LoadFailure::UNREADABLE;
  errno = 0;
  TIFF* p_tiff = OpenTIFF(source, words, canvas.GetBytesLeft());
  if (p_tiff != nullptr) {
    failure = DecodePage(p_tiff, source, words, canvas, report);
    TIFFClose(p_tiff);
  }
  if (source.read_error != 0) {
    // A failing disk is the cause, whatever libtiff made of it.
    report.system_error = source.read_error;
    return LoadFailure::CANNOT_READ;
  }
  if (failure == LoadFailure::UNREADABLE && words.is_short_of_memory) {
    canvas.Refuse(0);
    return LoadFailure::NO_MEMORY;
  }
  if (failure == LoadFailure::UNREADABLE) report.SetWords(words.has_text ? words.text : "libtiff gave no reason");
  return failure;
}

}  // namespace

LoadFailure DecodeTIFF(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  SilenceLibTIFF();
  TIFFSource source;
  unsigned char* p_held = nullptr;
  LoadFailure failure = OpenSource(stream, canvas, report, source, p_held);
  if (failure == LoadFailure::NONE) failure = DecodeSource(source, canvas, report);
  std::free(p_held);
  return failure;
}
