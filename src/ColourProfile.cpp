#include "ColourProfile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef MOTTLEPAGE_HAS_LCMS
#include <lcms2.h>
#endif

namespace {

inline unsigned char Product(unsigned a, unsigned b) { return static_cast<unsigned char>((a * b + 127) / 255); }

// The plain formula on one row, which may share its memory with the output
// as long as the output starts no later than the input.
void ConvertCMYKRow(const unsigned char* p_cmyk, int count, bool is_inverted, unsigned char* p_rgb) {
  for (int i = 0; i < count; ++i, p_cmyk += 4, p_rgb += 3) {
    unsigned c = p_cmyk[0], m = p_cmyk[1], y = p_cmyk[2], k = p_cmyk[3];
    if (!is_inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    const unsigned char red = Product(c, k), green = Product(m, k), blue = Product(y, k);
    p_rgb[0] = red;
    p_rgb[1] = green;
    p_rgb[2] = blue;
  }
}

#ifdef MOTTLEPAGE_HAS_LCMS

void DropMessage(cmsContext, cmsUInt32Number, const char*) {}

// Little CMS keeps still about every error, from the first call on.
void SilenceLittleCMS() {
  static const bool is_silenced = (cmsSetLogErrorHandler(DropMessage), true);
  (void)is_silenced;
}

// A transform from the profile to sRGB, or null when the profile is not
// usable for samples of the wanted colour space.
cmsHTRANSFORM MakeTransform(const unsigned char* p_icc, std::size_t icc_size, cmsColorSpaceSignature space,
                            cmsUInt32Number input_format, cmsUInt32Number output_format, cmsUInt32Number flags) {
  SilenceLittleCMS();
  if (p_icc == nullptr || icc_size < 132 || icc_size > 0xFFFFFFFFu) return nullptr;
  cmsHPROFILE p_profile = cmsOpenProfileFromMem(p_icc, cmsUInt32Number(icc_size));
  if (p_profile == nullptr) return nullptr;
  cmsHTRANSFORM transform = nullptr;
  if (cmsGetColorSpace(p_profile) == space) {
    cmsHPROFILE p_srgb = cmsCreate_sRGBProfile();
    if (p_srgb != nullptr) {
      transform = cmsCreateTransform(p_profile, input_format, p_srgb, output_format, INTENT_PERCEPTUAL, flags);
      cmsCloseProfile(p_srgb);
    }
  }
  cmsCloseProfile(p_profile);
  return transform;
}

#endif

}  // namespace

bool HasColourManagement() {
#ifdef MOTTLEPAGE_HAS_LCMS
  return true;
#else
  return false;
#endif
}

bool ConvertToSRGB(unsigned char* p_pixels, int width, int height, int channels, const unsigned char* p_icc,
                   std::size_t icc_size) {
#ifdef MOTTLEPAGE_HAS_LCMS
  if (p_pixels == nullptr || width < 1 || height < 1 || (channels != 3 && channels != 4)) return false;
  const cmsUInt32Number format = channels == 4 ? TYPE_RGBA_8 : TYPE_RGB_8;
  cmsHTRANSFORM transform = MakeTransform(p_icc, icc_size, cmsSigRgbData, format, format,
                                          channels == 4 ? cmsFLAGS_COPY_ALPHA : 0);
  if (transform == nullptr) return false;
  const std::size_t row = std::size_t(width) * std::size_t(channels);
  for (int y = 0; y < height; ++y) {
    unsigned char* p_row = p_pixels + std::size_t(y) * row;
    cmsDoTransform(transform, p_row, p_row, cmsUInt32Number(width));
  }
  cmsDeleteTransform(transform);
  return true;
#else
  (void)p_pixels;
  (void)width;
  (void)height;
  (void)channels;
  (void)p_icc;
  (void)icc_size;
  return false;
#endif
}

bool ConvertCMYK(unsigned char* p_pixels, int width, int height, bool is_inverted, const unsigned char* p_icc,
                 std::size_t icc_size) {
  if (p_pixels == nullptr || width < 1 || height < 1) return false;
  const std::size_t in_row = std::size_t(width) * 4;
  const std::size_t out_row = std::size_t(width) * 3;
#ifdef MOTTLEPAGE_HAS_LCMS
  cmsHTRANSFORM transform = MakeTransform(p_icc, icc_size, cmsSigCmykData,
                                          is_inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, TYPE_RGB_8, 0);
  unsigned char* p_work = transform != nullptr ? static_cast<unsigned char*>(std::malloc(out_row)) : nullptr;
  if (p_work != nullptr) {
    // Row y's output lies before row y + 1's input: each row goes through
    // the work row, then into place.
    for (int y = 0; y < height; ++y) {
      cmsDoTransform(transform, p_pixels + std::size_t(y) * in_row, p_work, cmsUInt32Number(width));
      std::memcpy(p_pixels + std::size_t(y) * out_row, p_work, out_row);
    }
    std::free(p_work);
    cmsDeleteTransform(transform);
    return true;
  }
  if (transform != nullptr) cmsDeleteTransform(transform);
#else
  (void)p_icc;
  (void)icc_size;
#endif
  for (int y = 0; y < height; ++y) {
    ConvertCMYKRow(p_pixels + std::size_t(y) * in_row, width, is_inverted, p_pixels + std::size_t(y) * out_row);
  }
  return false;
}
