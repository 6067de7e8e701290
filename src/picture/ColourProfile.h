// ColourProfile: samples in a colour space of their own made sRGB, the
// colour space a page's colours are in.
//
// With Little CMS 2 (built when MOTTLEPAGE_HAS_LCMS is defined), an
// embedded ICC profile converts RGB samples to sRGB and CMYK samples to
// sRGB, with the perceptual rendering intent. A profile that Little CMS
// cannot open, or whose colour space is not that of the samples, is
// ignored: the samples count as sRGB (RGB) or go through the plain formula
// (CMYK). Without Little CMS, profiles are always ignored. Little CMS never
// writes to standard error: its error handler drops every message.
//
// The plain CMYK formula takes ink amounts c, m, y, k (0: no ink) to
// R = (255 - c) * (255 - k) / 255, and likewise G from m and B from y,
// rounded. Adobe's CMYK JPEGs store every sample inverted (255: no ink),
// where this is R = C * K / 255 on the stored values.
//
// Nothing is thrown; a shortage of memory leaves the plain formula or the
// samples as they were.

#ifndef MOTTLEPAGE_PICTURE_COLOURPROFILE_H
#define MOTTLEPAGE_PICTURE_COLOURPROFILE_H

#include <cstddef>

// How a decoder's rows hold their samples, 8 bits each.
enum class SampleLayout {
  RGB,
  RGBA,           // straight alpha
  CMYK,           // ink amounts, 0: no ink
  INVERTED_CMYK,  // Adobe's: 255: no ink
};

inline int GetSampleCount(SampleLayout layout) { return layout == SampleLayout::RGB ? 3 : 4; }

// Rows of one layout made sRGB: RGB and RGBA (alpha kept) in place, CMYK
// into RGB.
class ColourConversion {
 public:
  ColourConversion() = default;
  ~ColourConversion();
  ColourConversion(const ColourConversion&) = delete;
  ColourConversion& operator=(const ColourConversion&) = delete;

  // Sets up the conversion for `layout` samples described by the profile
  // (null: sRGB, or CMYK by formula). True when the profile is used.
  bool Open(SampleLayout layout, const unsigned char* p_icc, std::size_t icc_size);

  // `count` pixels from p_in (RGB: 3 bytes a pixel, the others 4) to
  // p_out: RGB or RGBA as they came, with their alpha; RGB for CMYK. p_out
  // may be p_in.
  void ConvertRow(const unsigned char* p_in, unsigned char* p_out, int count) const;

 private:
  SampleLayout _layout = SampleLayout::RGB;
  void* _p_transform = nullptr;  // Little CMS's; null: none
};

#endif
