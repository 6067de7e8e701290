// HEIC and AVIF through libheif: the primary image, decoded to 8-bit RGB
// or RGBA. libheif takes only the whole file and gives only the whole
// picture (WholePicture). This file is built into the module that the
// program loads for HEIF files (HEIFModule.cpp), or linked in directly
// (fuzzing). libheif applies the file's own rotation, mirroring and cropping
// (HEIF keeps orientation in its boxes, not in EXIF), so the orientation
// handed on stays 1. libheif cannot stop halfway, so a file cut short is
// unreadable.
//
// libheif's decode cannot be weighed block by block, so its need is worked
// out from the sides and the bit depth before it starts (GetDecodeBytes)
// and weighed with the picture's own block against what the program may
// use. The tiles are decoded on this thread: a thread that cannot be
// started for want of address space ends the program (libheif's) or hangs
// it (libde265's).

#include <libheif/heif.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "picture/formats/WholePicture.h"

namespace {

// libde265 decodes on a worker thread of its own (one at a time, as the
// tiles are decoded one by one): its stack takes address space.
const int CODEC_THREADS = 1;

int FailWithLibraryWords(const heif_error& error, DecodedImage& image) {
  // A file beyond libheif's own limits is no shortage.
  if (error.code == heif_error_Memory_allocation_error && error.subcode != heif_suberror_Security_limit_exceeded) {
    return DECODE_NO_MEMORY;
  }
  image.SetMessage(error.message != nullptr ? error.message : "unknown libheif error");
  return DECODE_UNREADABLE;
}

// Copies an ICC profile ('prof' or 'rICC') that describes RGB samples; an
// nclx description names a standard colour space, which is left as sRGB.
void TakeProfile(const heif_image_handle* p_handle, DecodedImage& image) {
  heif_color_profile_type type = heif_image_handle_get_color_profile_type(p_handle);
  if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return;
  std::size_t size = heif_image_handle_get_raw_color_profile_size(p_handle);
  if (size < 128) return;
  unsigned char* p_profile = static_cast<unsigned char*>(std::malloc(size));
  if (p_profile == nullptr) return;
  if (heif_image_handle_get_raw_color_profile(p_handle, p_profile).code != heif_error_Ok ||
      std::memcmp(p_profile + 16, "RGB ", 4) != 0) {
    std::free(p_profile);
    return;
  }
  image.p_icc = p_profile;
  image.icc_size = size;
}

// Straight alpha from premultiplied samples, rounded.
void DividePixelsByAlpha(DecodedImage& image) {
  std::size_t count = std::size_t(image.width) * image.height;
  for (unsigned char* p_pixel = image.p_pixels; count > 0; --count, p_pixel += 4) {
    int alpha = p_pixel[3];
    for (int i = 0; i < 3 && alpha > 0; ++i) {
      int value = (p_pixel[i] * 255 + alpha / 2) / alpha;
      p_pixel[i] = (unsigned char)(value > 255 ? 255 : value);
    }
  }
}

// Copies libheif's decoded rows into the allocated buffer.
int CopyRows(const heif_image* p_decoded, DecodedImage& image) {
  int stride = 0;
  const uint8_t* p_plane = heif_image_get_plane_readonly(p_decoded, heif_channel_interleaved, &stride);
  if (p_plane == nullptr || heif_image_get_width(p_decoded, heif_channel_interleaved) != image.width ||
      heif_image_get_height(p_decoded, heif_channel_interleaved) != image.height) {
    image.SetMessage("libheif gave a picture of another size than it announced");
    return DECODE_UNREADABLE;
  }
  std::size_t row_size = std::size_t(image.width) * image.channels;
  for (int y = 0; y < image.height; ++y)
    std::memcpy(image.p_pixels + y * row_size, p_plane + std::size_t(y) * stride, row_size);
  if (image.channels == 4 && heif_image_is_premultiplied_alpha(const_cast<heif_image*>(p_decoded)))
    DividePixelsByAlpha(image);
  return DECODED;
}

long long GetThreadStackBytes() {
  pthread_attr_t attributes;
  std::size_t size = 0;
  if (pthread_getattr_default_np(&attributes) != 0) return 8 << 20;
  pthread_attr_getstacksize(&attributes, &size);
  pthread_attr_destroy(&attributes);
  return (long long)size;
}

// The most that libheif's decode holds at once besides the picture handed
// back: the codec's planes (taken as 4:4:4, whatever the subsampling) and
// libheif's copy of them, at the coded size (a grid's tiles may reach past
// the picture), the 8-bit interleaved picture it converts them to, through
// one of 16 bits for a deeper picture, and the codec's thread stacks.
long long GetDecodeBytes(const heif_image_handle* p_handle, int channels) {
  long long width = heif_image_handle_get_ispe_width(p_handle);
  long long height = heif_image_handle_get_ispe_height(p_handle);
  const long long area = width * height;
  const long long shown_area = (long long)heif_image_handle_get_width(p_handle) * heif_image_handle_get_height(p_handle);
  const long long pixels = area > shown_area ? area : shown_area;
  const int bits = heif_image_handle_get_luma_bits_per_pixel(p_handle);
  const long long sample_bytes = bits > 8 ? 2 : 1;
  const long long planes = pixels * (channels == 4 ? 4 : 3) * sample_bytes;
  const long long interleaved = pixels * channels * (sample_bytes > 1 ? 3 : 1);
  return 2 * planes + interleaved + CODEC_THREADS * GetThreadStackBytes();
}

int DecodePrimaryImage(const heif_image_handle* p_handle, DecodedImage& image) {
  image.full_width = heif_image_handle_get_width(p_handle);
  image.full_height = heif_image_handle_get_height(p_handle);
  if (image.full_width > DecodedImage::MAX_SIDE || image.full_height > DecodedImage::MAX_SIDE) return DECODE_TOO_LARGE;
  bool has_alpha = heif_image_handle_has_alpha_channel(p_handle) != 0;
  const int channels = has_alpha ? 4 : 3;
  // What a shortage is told: the picture handed back and libheif's need.
  image.bytes_wanted = (long long)image.full_width * image.full_height * channels + GetDecodeBytes(p_handle, channels);
  if (image.max_bytes > 0 && image.bytes_wanted > image.max_bytes) return DECODE_NO_MEMORY;
  int status = image.AllocatePixels(image.full_width, image.full_height, channels);
  if (status != DECODED) return status;
  heif_decoding_options* p_options = heif_decoding_options_alloc();
  if (p_options == nullptr) return DECODE_NO_MEMORY;
  p_options->convert_hdr_to_8bit = 1;
  heif_image* p_decoded = nullptr;
  heif_error error = heif_decode_image(p_handle, &p_decoded, heif_colorspace_RGB,
                                       has_alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, p_options);
  heif_decoding_options_free(p_options);
  status = error.code == heif_error_Ok ? CopyRows(p_decoded, image) : FailWithLibraryWords(error, image);
  heif_image_release(p_decoded);
  TakeProfile(p_handle, image);
  return status;
}

int DecodeFile(const FileBytes& file, DecodedImage& image) {
  heif_context* p_context = heif_context_alloc();
  if (p_context == nullptr) return DECODE_NO_MEMORY;
  heif_context_set_max_decoding_threads(p_context, 0);
  heif_image_handle* p_handle = nullptr;
  heif_error error = heif_context_read_from_memory_without_copy(p_context, file.p_data, file.size, nullptr);
  if (error.code == heif_error_Ok) error = heif_context_get_primary_image_handle(p_context, &p_handle);
  int status = error.code == heif_error_Ok ? DecodePrimaryImage(p_handle, image) : FailWithLibraryWords(error, image);
  heif_image_handle_release(p_handle);
  heif_context_free(p_context);
  return status;
}

}  // namespace

int DecodeHEIFFile(const FileBytes& file, DecodedImage& image) {
  heif_init(nullptr);
  const int status = DecodeFile(file, image);
  heif_deinit();
  return status;
}
