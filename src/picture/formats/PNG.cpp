// PNG through libpng's simplified interface, which returns its errors
// instead of jumping out of our frames and keeps its warnings to itself.
//
// The simplified interface converts gamma when a file says its samples are
// not sRGB (gAMA, sRGB or a recognised iCCP chunk), and it reads 16-bit
// files as linear light. The page wants the file's own values, so the
// chunks that steer gamma are left out of what libpng is shown, and 16-bit
// samples are declared sRGB: libpng then only scales them, to
// round(v * 255 / 65535). The colour profile goes to the face instead.
//
// The chunk layout is walked here first: the sides are checked before
// libpng sees them, eXIf gives the orientation, iCCP the profile, acTL the
// frame count, and a file without IEND is a file cut short.

#include <png.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "picture/Orientation.h"
#include "picture/formats/WholePicture.h"

namespace {

const std::size_t SIGNATURE_SIZE = 8;
const std::size_t MAX_ICC_SIZE = 64u << 20;

unsigned long ReadBig32(const unsigned char* p_bytes) {
  return (unsigned long)p_bytes[0] << 24 | (unsigned long)p_bytes[1] << 16 | (unsigned long)p_bytes[2] << 8 |
         p_bytes[3];
}

// One chunk of the file: its type and data, which lie inside the file.
struct Chunk {
  const unsigned char* p_type = nullptr;
  const unsigned char* p_data = nullptr;
  std::size_t size = 0;
  bool is_sound = false;  // the CRC matches

  bool IsType(const char* p_name) const { return std::memcmp(p_type, p_name, 4) == 0; }
  // Chunks whose only effect in libpng is to convert the samples' gamma.
  bool SteersGamma() const { return IsType("gAMA") || IsType("sRGB") || IsType("iCCP"); }
};

// Walks the chunks after the signature. Next is false at the end of the
// data or at a chunk that runs past it.
class ChunkWalk {
 public:
  explicit ChunkWalk(const FileBytes& file) : _file(file), _offset(SIGNATURE_SIZE) {}

  bool Next(Chunk& chunk) {
    if (_file.size < _offset || _file.size - _offset < 12) return false;
    const unsigned char* p_start = _file.p_data + _offset;
    std::size_t size = ReadBig32(p_start);
    if (size > _file.size - _offset - 12) return false;
    chunk.p_type = p_start + 4;
    chunk.p_data = p_start + 8;
    chunk.size = size;
    unsigned long crc = crc32(0, chunk.p_type, uInt(size + 4));
    chunk.is_sound = crc == ReadBig32(chunk.p_data + size);
    _offset += size + 12;
    return true;
  }
  std::size_t GetOffset() const { return _offset; }

 private:
  const FileBytes& _file;
  std::size_t _offset;
};

// What the chunk walk learnt before libpng reads the file.
struct ChunkFacts {
  int width = 0;
  int height = 0;
  bool has_end = false;
  bool steers_gamma = false;
  Chunk profile;  // iCCP, when there is a sound one
};

// Inflates a zlib stream of at most MAX_ICC_SIZE bytes into a malloc'd
// buffer; null when it is broken or too large.
unsigned char* InflateProfile(const unsigned char* p_stream, std::size_t stream_size, std::size_t& profile_size) {
  z_stream stream = {};
  if (inflateInit(&stream) != Z_OK) return nullptr;
  stream.next_in = const_cast<unsigned char*>(p_stream);
  stream.avail_in = uInt(stream_size);
  std::size_t capacity = 4096;
  unsigned char* p_profile = nullptr;
  int result = Z_OK;
  while (result == Z_OK && capacity <= MAX_ICC_SIZE) {
    capacity *= 2;
    unsigned char* p_larger = static_cast<unsigned char*>(std::realloc(p_profile, capacity));
    if (p_larger == nullptr) break;
    p_profile = p_larger;
    stream.next_out = p_profile + stream.total_out;
    stream.avail_out = uInt(capacity - stream.total_out);
    result = inflate(&stream, Z_FINISH);
    if (result == Z_BUF_ERROR && stream.avail_out == 0) result = Z_OK;
  }
  profile_size = stream.total_out;
  inflateEnd(&stream);
  if (result == Z_STREAM_END) return p_profile;
  std::free(p_profile);
  return nullptr;
}

// Hands the iCCP profile to the image when it describes RGB samples (a
// grey file's profile does not fit the RGB it becomes).
void TakeProfile(const Chunk& chunk, DecodedImage& image) {
  const unsigned char* p_name_end = static_cast<const unsigned char*>(std::memchr(chunk.p_data, 0, chunk.size));
  if (p_name_end == nullptr || p_name_end + 2 > chunk.p_data + chunk.size || p_name_end[1] != 0) return;
  const unsigned char* p_stream = p_name_end + 2;
  std::size_t size = 0;
  unsigned char* p_profile = InflateProfile(p_stream, chunk.p_data + chunk.size - p_stream, size);
  if (p_profile == nullptr) return;
  if (size < 128 || std::memcmp(p_profile + 16, "RGB ", 4) != 0) {
    std::free(p_profile);
    return;
  }
  image.p_icc = p_profile;
  image.icc_size = size;
}

void TakeChunk(const Chunk& chunk, ChunkFacts& facts, DecodedImage& image) {
  if (chunk.SteersGamma()) facts.steers_gamma = true;
  if (chunk.IsType("IEND")) facts.has_end = true;
  if (!chunk.is_sound) return;
  if (chunk.IsType("IHDR") && chunk.size >= 8) {
    facts.width = int(ReadBig32(chunk.p_data) > 0x7fffffff ? 0x7fffffff : ReadBig32(chunk.p_data));
    facts.height = int(ReadBig32(chunk.p_data + 4) > 0x7fffffff ? 0x7fffffff : ReadBig32(chunk.p_data + 4));
  } else if (chunk.IsType("eXIf")) {
    image.orientation = ReadExifOrientation(chunk.p_data, chunk.size);
  } else if (chunk.IsType("iCCP")) {
    facts.profile = chunk;
  } else if (chunk.IsType("acTL") && chunk.size >= 8 && ReadBig32(chunk.p_data) > 1) {
    image.frame_count = int(ReadBig32(chunk.p_data) > 0x7fffffff ? 0x7fffffff : ReadBig32(chunk.p_data));
  }
}

void WalkChunks(const FileBytes& file, ChunkFacts& facts, DecodedImage& image) {
  ChunkWalk walk(file);
  Chunk chunk;
  while (!facts.has_end && walk.Next(chunk)) TakeChunk(chunk, facts, image);
}

// Appends a chunk of `size` data bytes with its CRC made anew.
void AppendChunk(const unsigned char* p_type, std::size_t size, unsigned char* p_copy, std::size_t& copy_size) {
  unsigned char* p_start = p_copy + copy_size;
  for (int i = 0; i < 4; ++i) p_start[i] = (unsigned char)(size >> (24 - 8 * i));
  std::memcpy(p_start + 4, p_type, size + 4);
  unsigned long crc = crc32(0, p_start + 4, uInt(size + 4));
  for (int i = 0; i < 4; ++i) p_start[8 + size + i] = (unsigned char)(crc >> (24 - 8 * i));
  copy_size += size + 12;
}

// The file as libpng is to read it, malloc'd (null when memory is short):
// without its gamma-steering chunks, and with an image data chunk that the
// file cuts short shortened to the data that arrived, so that libpng
// decodes every row of it before it runs out.
unsigned char* CopyForLibpng(const FileBytes& file, std::size_t& copy_size) {
  unsigned char* p_copy = static_cast<unsigned char*>(std::malloc(file.size + 12));
  if (p_copy == nullptr) return nullptr;
  copy_size = file.size < SIGNATURE_SIZE ? file.size : SIGNATURE_SIZE;
  if (copy_size > 0) std::memcpy(p_copy, file.p_data, copy_size);
  ChunkWalk walk(file);
  Chunk chunk;
  std::size_t start = walk.GetOffset();
  while (walk.Next(chunk)) {
    if (!chunk.SteersGamma()) {
      std::memcpy(p_copy + copy_size, file.p_data + start, walk.GetOffset() - start);
      copy_size += walk.GetOffset() - start;
    }
    start = walk.GetOffset();
  }
  if (file.size > start + 8 && std::memcmp(file.p_data + start + 4, "IDAT", 4) == 0)
    AppendChunk(file.p_data + start + 4, file.size - start - 8, p_copy, copy_size);
  return p_copy;
}

int FailWithLibraryWords(png_image& png, DecodedImage& image) {
  image.SetMessage(png.message);
  png_image_free(&png);
  return DECODE_UNREADABLE;
}

// libpng's format after the header shows alpha for an alpha channel and
// for a tRNS chunk alike.
bool HasTransparency(const png_image& png) { return (png.format & PNG_FORMAT_FLAG_ALPHA) != 0; }

// Reads the pixels of `data` (the file, or its copy without gamma) with
// libpng. A file cut short keeps what arrived; the rest stays zero.
int ReadPixels(const unsigned char* p_data, std::size_t size, bool has_end, DecodedImage& image) {
  png_image png = {};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, p_data, size)) return FailWithLibraryWords(png, image);
  png.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  png.format = HasTransparency(png) ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  int status = image.AllocatePixels(int(png.width), int(png.height), PNG_IMAGE_PIXEL_CHANNELS(png.format));
  if (status != DECODED) {
    png_image_free(&png);
    return status;
  }
  std::memset(image.p_pixels, 0, std::size_t(image.width) * image.height * image.channels);
  if (png_image_finish_read(&png, nullptr, image.p_pixels, 0, nullptr)) return DECODED;
  if (has_end) {
    std::free(image.p_pixels);
    image.p_pixels = nullptr;
    return FailWithLibraryWords(png, image);
  }
  image.is_cut_short = true;
  image.SetMessage(png.message);
  png_image_free(&png);
  return DECODED;
}

int DecodeFile(const FileBytes& file, DecodedImage& image) {
  ChunkFacts facts;
  WalkChunks(file, facts, image);
  image.full_width = facts.width;
  image.full_height = facts.height;
  if (facts.width > DecodedImage::MAX_SIDE || facts.height > DecodedImage::MAX_SIDE) return DECODE_TOO_LARGE;
  if (facts.profile.p_data != nullptr) TakeProfile(facts.profile, image);
  if (!facts.steers_gamma && facts.has_end) return ReadPixels(file.p_data, file.size, true, image);
  std::size_t copy_size = 0;
  unsigned char* p_copy = CopyForLibpng(file, copy_size);
  if (p_copy == nullptr) return DECODE_NO_MEMORY;
  int status = ReadPixels(p_copy, copy_size, facts.has_end, image);
  std::free(p_copy);
  return status;
}

int DecodePNGFile(const FileBytes& file, DecodedImage& image) {
  return DecodeFile(file, image);
}

}  // namespace

LoadFailure DecodePNG(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  return DecodeWholeFile(stream, canvas, report, DecodePNGFile);
}
