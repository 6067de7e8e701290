#include "ImageInput.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#ifdef MOTTLEPAGE_HEIF_MODULE
#include <dlfcn.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "ColourProfile.h"
#include "Orientation.h"

namespace {

// Bytes to look at before the format is known, by the first byte: a PPM
// (or anything else) is handed on after one byte, so that no load waits
// on a pipe for bytes it would never have read.
std::int64_t GetSniffLength(int first_byte) {
  switch (first_byte) {
    case 0xFF:
      return 3;
    case 0x89:
      return 4;
    case 'G':
      return 6;
    case 'R':
      return 12;
    case 0:
      return 32;  // an ISO BMFF box size: ftyp and its brands
    default:
      return 1;
  }
}

bool IsHeifBrand(const unsigned char* p_brand) {
  static const char* const BRANDS[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                       "mif1", "msf1", "avif", "avis"};
  for (const char* p_known : BRANDS) {
    if (std::memcmp(p_brand, p_known, 4) == 0) return true;
  }
  return false;
}

bool IsHeif(const unsigned char* p_start, std::size_t size) {
  if (size < 12 || std::memcmp(p_start + 4, "ftyp", 4) != 0) return false;
  const std::size_t box_size = std::size_t(p_start[0]) << 24 | std::size_t(p_start[1]) << 16 |
                               std::size_t(p_start[2]) << 8 | p_start[3];
  if (IsHeifBrand(p_start + 8)) return true;
  // The compatible brands follow the minor version.
  for (std::size_t at = 16; at + 4 <= size && at + 4 <= box_size; at += 4) {
    if (IsHeifBrand(p_start + at)) return true;
  }
  return false;
}

int ClampColour(int value) { return value < 0 ? 0 : value > 255 ? 255 : value; }

// RGBA onto the background, packed into RGB from the buffer's start.
void Composite(unsigned char* p_pixels, std::size_t pixel_count, const ImageOptions& options) {
  const unsigned background[3] = {unsigned(options.has_background ? ClampColour(options.bg_red) : 0),
                                  unsigned(options.has_background ? ClampColour(options.bg_green) : 0),
                                  unsigned(options.has_background ? ClampColour(options.bg_blue) : 0)};
  const unsigned char* p_in = p_pixels;
  unsigned char* p_out = p_pixels;
  for (std::size_t i = 0; i < pixel_count; ++i, p_in += 4, p_out += 3) {
    const unsigned alpha = p_in[3];
    const unsigned char red = static_cast<unsigned char>((p_in[0] * alpha + background[0] * (255 - alpha) + 127) / 255);
    const unsigned char green = static_cast<unsigned char>((p_in[1] * alpha + background[1] * (255 - alpha) + 127) / 255);
    const unsigned char blue = static_cast<unsigned char>((p_in[2] * alpha + background[2] * (255 - alpha) + 127) / 255);
    p_out[0] = red;
    p_out[1] = green;
    p_out[2] = blue;
  }
}

#ifdef MOTTLEPAGE_HEIF_MODULE
// The HEIF decoder from its module (formats/HEIFModule.cpp), loaded once:
// the one installed beside the program, the one at the install path, then
// the one of this build; null when neither
// is there or neither was built with this version of the program.
typedef int (*HEIFDecoder)(const FileBytes*, const ImageRequest*, DecodedImage*);

// Installed beside the program: BINDIR/../LIBDIR/mottlepage, wherever the
// installation was put.
std::string GetModuleBesideProgram() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  path[length] = '\0';
  char* p_slash = std::strrchr(path, '/');
  if (p_slash == nullptr) return "";
  *p_slash = '\0';
  return std::string(path) + "/../" MOTTLEPAGE_HEIF_MODULE_BESIDE;
}

HEIFDecoder OpenHEIFModule() {
  const std::string beside = GetModuleBesideProgram();
  for (const char* p_path : {beside.c_str(), MOTTLEPAGE_HEIF_MODULE, MOTTLEPAGE_HEIF_BUILD_MODULE}) {
    if (*p_path == '\0') continue;
    void* p_module = dlopen(p_path, RTLD_NOW | RTLD_LOCAL);
    if (p_module == nullptr) continue;
    typedef const char* (*VersionFunction)();
    typedef unsigned long (*LayoutFunction)();
    VersionFunction p_version = reinterpret_cast<VersionFunction>(dlsym(p_module, "MottlepageHEIFModuleVersion"));
    LayoutFunction p_layout = reinterpret_cast<LayoutFunction>(dlsym(p_module, "MottlepageHEIFModuleLayout"));
    HEIFDecoder p_decode = reinterpret_cast<HEIFDecoder>(dlsym(p_module, "MottlepageDecodeHEIF"));
    const unsigned long layout = sizeof(DecodedImage) * 1000 + sizeof(ImageRequest) * 10 + sizeof(FileBytes);
    if (p_version != nullptr && p_layout != nullptr && p_decode != nullptr &&
        std::strcmp(p_version(), MOTTLEPAGE_MODULE_VERSION) == 0 && p_layout() == layout) {
      return p_decode;  // stays loaded for the program's life
    }
    dlclose(p_module);
  }
  return nullptr;
}

int DecodeHEIFFromModule(const FileBytes& file, const ImageRequest& request, DecodedImage& image) {
  static const HEIFDecoder p_decode = OpenHEIFModule();
  if (p_decode == nullptr) {
    image.SetMessage("the HEIF decoder module mottlepage-heif.so is missing or of another version");
    return DECODE_UNREADABLE;
  }
  return p_decode(&file, &request, &image);
}
#endif

int CallDecoder(ImageFormat format, const FileBytes& file, const ImageRequest& request, DecodedImage& image) {
  switch (format) {
    case ImageFormat::JPEG:
      return DecodeJPEG(file, request, image);
#ifdef MOTTLEPAGE_HAS_PNG
    case ImageFormat::PNG:
      return DecodePNG(file, request, image);
#endif
#ifdef MOTTLEPAGE_HAS_GIF
    case ImageFormat::GIF:
      return DecodeGIF(file, request, image);
#endif
#ifdef MOTTLEPAGE_HAS_WEBP
    case ImageFormat::WEBP:
      return DecodeWebP(file, request, image);
#endif
#if defined(MOTTLEPAGE_HEIF_MODULE)
    case ImageFormat::HEIF:
      return DecodeHEIFFromModule(file, request, image);
#elif defined(MOTTLEPAGE_HAS_HEIF)
    case ImageFormat::HEIF:
      return DecodeHEIF(file, request, image);
#endif
    default:
      image.SetMessage("this build does not read the format");
      return DECODE_UNREADABLE;
  }
}

// Faulting in a fresh block page by page while read() fills it costs a
// camera JPEG's decode several milliseconds; one call fills in the pages
// up front. Only a hint: older kernels refuse it, which is fine.
void PopulatePages(unsigned char* p_block, std::size_t size) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  const std::uintptr_t PAGE = std::uintptr_t(sysconf(_SC_PAGESIZE));
  const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(p_block) + PAGE - 1) & ~(PAGE - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p_block) + size) & ~(PAGE - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)p_block;
  (void)size;
#endif
}

// The whole input in one malloc'd block, the bytes already buffered
// first. 0, or -12 after a read error, or -9 when memory runs out.
int ReadWhole(PPMInput& input, unsigned char*& p_data, std::size_t& size) {
  p_data = nullptr;
  size = 0;
  std::size_t capacity = std::size_t(1) << 20;
  struct stat status;
  const int file_descriptor = input.GetFileDescriptor();
  if (file_descriptor >= 0 && fstat(file_descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
      status.st_size > 0) {
    // One more byte than the file holds, to see its end without a copy.
    capacity = std::size_t(status.st_size) + 1;
  }
  const std::size_t held = std::size_t(input.GetEnd() - input.GetNext());
  if (capacity < held + 1) capacity = held + 1;
  p_data = static_cast<unsigned char*>(std::malloc(capacity));
  if (p_data == nullptr) return -9;
  PopulatePages(p_data, capacity);
  std::memcpy(p_data, input.GetNext(), held);
  input.SetNext(input.GetEnd());
  size = held;
  for (;;) {
    if (size == capacity) {
      void* p_larger = capacity < (std::size_t(1) << 62) ? std::realloc(p_data, capacity * 2) : nullptr;
      if (p_larger == nullptr) {
        std::free(p_data);
        p_data = nullptr;
        return -9;
      }
      p_data = static_cast<unsigned char*>(p_larger);
      capacity *= 2;
    }
    const std::int64_t wanted = std::int64_t(capacity - size);
    const std::int64_t count = input.ReadBlock(p_data + size, wanted);
    size += std::size_t(count);
    if (count < wanted) break;
  }
  if (input.GetReadError() != 0) {
    std::free(p_data);
    p_data = nullptr;
    return -12;
  }
  return 0;
}

}  // namespace

const char* GetFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::JPEG:
      return "JPEG";
    case ImageFormat::PNG:
      return "PNG";
    case ImageFormat::GIF:
      return "GIF";
    case ImageFormat::WEBP:
      return "WebP";
    case ImageFormat::HEIF:
      return "HEIF";
    default:
      return "PPM";
  }
}

bool IsFormatBuiltIn(ImageFormat format) {
  switch (format) {
    case ImageFormat::PPM:
    case ImageFormat::JPEG:
      return true;
    case ImageFormat::PNG:
#ifdef MOTTLEPAGE_HAS_PNG
      return true;
#else
      return false;
#endif
    case ImageFormat::GIF:
#ifdef MOTTLEPAGE_HAS_GIF
      return true;
#else
      return false;
#endif
    case ImageFormat::WEBP:
#ifdef MOTTLEPAGE_HAS_WEBP
      return true;
#else
      return false;
#endif
    case ImageFormat::HEIF:
#ifdef MOTTLEPAGE_HAS_HEIF
      return true;
#else
      return false;
#endif
  }
  return false;
}

ImageFormat SniffFormat(const unsigned char* p_start, std::size_t size) {
  if (size >= 3 && std::memcmp(p_start, "\xFF\xD8\xFF", 3) == 0) return ImageFormat::JPEG;
  if (size >= 4 && std::memcmp(p_start, "\x89PNG", 4) == 0) return ImageFormat::PNG;
  if (size >= 6 && (std::memcmp(p_start, "GIF87a", 6) == 0 || std::memcmp(p_start, "GIF89a", 6) == 0)) {
    return ImageFormat::GIF;
  }
  if (size >= 12 && std::memcmp(p_start, "RIFF", 4) == 0 && std::memcmp(p_start + 8, "WEBP", 4) == 0) {
    return ImageFormat::WEBP;
  }
  if (IsHeif(p_start, size)) return ImageFormat::HEIF;
  return ImageFormat::PPM;
}

LoadImage::LoadImage(unsigned char*& p_rgb_image, const char* p_filename, int& width, int& height,
                     const ImageOptions& options) {
  p_rgb_image = nullptr;
  if (p_filename == nullptr) {
    _error_number = -3;
    return;
  }
  const int file_descriptor = open(p_filename, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (file_descriptor < 0) {
    _details.ppm.open_error = errno;
    _error_number = -3;
    return;
  }
  {
    PPMInput input(file_descriptor);
    Load(p_rgb_image, input, width, height, options);
  }
  close(file_descriptor);
}

LoadImage::LoadImage(unsigned char*& p_rgb_image, int file_descriptor, int& width, int& height,
                     const ImageOptions& options) {
  p_rgb_image = nullptr;
  PPMInput input(file_descriptor);
  Load(p_rgb_image, input, width, height, options);
}

LoadImage::LoadImage(unsigned char*& p_rgb_image, std::istream& image_stream, int& width, int& height,
                     const ImageOptions& options) {
  p_rgb_image = nullptr;
  PPMInput input(image_stream);
  Load(p_rgb_image, input, width, height, options);
}

LoadImage::LoadImage(unsigned char*& p_rgb_image, const FileBytes& file, int& width, int& height,
                     const ImageOptions& options) {
  p_rgb_image = nullptr;
  const ImageFormat format = SniffFormat(file.p_data, file.size);
  if (format != ImageFormat::PPM && IsFormatBuiltIn(format)) {
    _details.format = format;
    Decode(p_rgb_image, file, width, height, options);
    return;
  }
  std::istringstream stream(std::string(reinterpret_cast<const char*>(file.p_data), file.size));
  PPMInput input(stream);
  Load(p_rgb_image, input, width, height, options);
}

void LoadImage::Load(unsigned char*& p_rgb_image, PPMInput& input, int& width, int& height,
                     const ImageOptions& options) {
  const int first_byte = input.Peek();
  std::int64_t held = first_byte == EOF ? 0 : input.PeekAhead(GetSniffLength(first_byte));
  const ImageFormat format =
      SniffFormat(reinterpret_cast<const unsigned char*>(input.GetNext()), std::size_t(held));
  if (format == ImageFormat::PPM || !IsFormatBuiltIn(format)) {
    LoadPPM loader(p_rgb_image, input, width, height, options.max_pixels);
    _error_number = loader.GetErrorNo();
    _details.ppm = loader.GetLoadDetails();
    _details.full_width = width;
    _details.full_height = height;
    return;
  }
  _details.format = format;
  unsigned char* p_data = nullptr;
  std::size_t size = 0;
  _error_number = ReadWhole(input, p_data, size);
  _details.ppm.read_error = input.GetReadError();
  if (_error_number != 0) {
    width = 0;
    height = 0;
    return;
  }
  FileBytes file;
  file.p_data = p_data;
  file.size = size;
  Decode(p_rgb_image, file, width, height, options);
  std::free(p_data);
}

void LoadImage::Decode(unsigned char*& p_rgb_image, const FileBytes& file, int& width, int& height,
                       const ImageOptions& options) {
  DecodedImage image;
  image.max_pixels = options.max_pixels < LoadPPM::MAX_PIXELS ? options.max_pixels : 0;
  const int status = CallDecoder(_details.format, file, options.request, image);
  std::memcpy(_details.message, image.message, sizeof _details.message);
  _details.frame_count = image.frame_count;
  _details.is_cut_short = status == DECODED && image.is_cut_short;
  GetOrientedSize(image.full_width, image.full_height, image.orientation, _details.full_width,
                  _details.full_height);
  if (status != DECODED) {
    std::free(image.p_pixels);
    std::free(image.p_icc);
    switch (status) {
      case DECODE_TOO_LARGE:
        _error_number = image.full_width > DecodedImage::MAX_SIDE ? -5 : -6;
        _details.ppm.refused_value = _error_number == -5 ? image.full_width : image.full_height;
        break;
      case DECODE_NO_MEMORY:
        _error_number = -9;
        // The size the picture was to be decoded at, else its own.
        width = image.width > 0 ? image.width : image.full_width;
        height = image.width > 0 ? image.height : image.full_height;
        break;
      default:
        _error_number = UNREADABLE;
        if (_details.message[0] == '\0') std::strcpy(_details.message, "the decoder gave no reason");
        break;
    }
    return;
  }
  if (image.p_icc != nullptr) {
    ConvertToSRGB(image.p_pixels, image.width, image.height, image.channels, image.p_icc, image.icc_size);
    std::free(image.p_icc);
    image.p_icc = nullptr;
  }
  if (image.channels == 4) {
    Composite(image.p_pixels, std::size_t(image.width) * std::size_t(image.height), options);
    void* p_smaller = std::realloc(image.p_pixels, std::size_t(image.width) * std::size_t(image.height) * 3);
    if (p_smaller != nullptr) image.p_pixels = static_cast<unsigned char*>(p_smaller);
    image.channels = 3;
  }
  if (!ApplyOrientation(image.p_pixels, image.width, image.height, image.orientation)) {
    std::free(image.p_pixels);
    _error_number = -9;
    GetOrientedSize(image.width, image.height, image.orientation, width, height);
    return;
  }
  p_rgb_image = image.p_pixels;
  width = image.width;
  height = image.height;
  _error_number = 0;
}
