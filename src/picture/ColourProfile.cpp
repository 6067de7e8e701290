#include "picture/ColourProfile.h"

#include <cstdint>
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

bool IsCMYK(SampleLayout layout) { return layout == SampleLayout::CMYK || layout == SampleLayout::INVERTED_CMYK; }

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

cmsHTRANSFORM MakeTransformFor(SampleLayout layout, const unsigned char* p_icc, std::size_t icc_size) {
  switch (layout) {
    case SampleLayout::RGB:
      return MakeTransform(p_icc, icc_size, cmsSigRgbData, TYPE_RGB_8, TYPE_RGB_8, 0);
    case SampleLayout::RGBA:
      return MakeTransform(p_icc, icc_size, cmsSigRgbData, TYPE_RGBA_8, TYPE_RGBA_8, cmsFLAGS_COPY_ALPHA);
    case SampleLayout::CMYK:
      return MakeTransform(p_icc, icc_size, cmsSigCmykData, TYPE_CMYK_8, TYPE_RGB_8, 0);
    case SampleLayout::INVERTED_CMYK:
      return MakeTransform(p_icc, icc_size, cmsSigCmykData, TYPE_CMYK_8_REV, TYPE_RGB_8, 0);
  }
  return nullptr;
}

#endif

}  // namespace

ColourConversion::~ColourConversion() {
#ifdef MOTTLEPAGE_HAS_LCMS
  if (_p_transform != nullptr) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(_p_transform));
#endif
}

bool ColourConversion::Open(SampleLayout layout, const unsigned char* p_icc, std::size_t icc_size) {
  _layout = layout;
#ifdef MOTTLEPAGE_HAS_LCMS
  _p_transform = MakeTransformFor(layout, p_icc, icc_size);
#else
  (void)p_icc;
  (void)icc_size;
#endif
  return _p_transform != nullptr;
}

void ColourConversion::ConvertRow(const unsigned char* p_in, unsigned char* p_out, int count) const {
#ifdef MOTTLEPAGE_HAS_LCMS
  if (_p_transform != nullptr) {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(_p_transform), p_in, p_out, cmsUInt32Number(count));
    return;
  }
#endif
  if (IsCMYK(_layout)) {
    ConvertCMYKRow(p_in, count, _layout == SampleLayout::INVERTED_CMYK, p_out);
  } else if (p_out != p_in) {
    std::memcpy(p_out, p_in, std::size_t(count) * std::size_t(GetSampleCount(_layout)));
  }
}
