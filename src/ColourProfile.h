// ColourProfile: samples in a colour space of their own made sRGB, the
// colour space a page's colours are in.
//
// With Little CMS 2 (built when MOTTLEPAGE_HAS_LCMS is defined), an
// embedded ICC profile converts RGB samples to sRGB and CMYK samples to
// sRGB. A profile that Little CMS cannot open, or whose colour space is not
// that of the samples, is ignored: the samples count as sRGB (RGB) or go
// through the plain formula (CMYK). Without Little CMS, profiles are
// always ignored. Little CMS never writes to standard error: its error
// handler drops every message.
//
// The plain CMYK formula takes ink amounts c, m, y, k (0: no ink) to
// R = (255 - c) * (255 - k) / 255, and likewise G from m and B from y,
// rounded. Adobe's CMYK JPEGs store every sample inverted (255: no ink),
// where this is R = C * K / 255 on the stored values.
//
// Nothing is thrown and nothing is allocated that outlives a call; a
// shortage of memory leaves the plain formula or the samples as they were.

#ifndef MOTTLEPAGE_COLOURPROFILE_H
#define MOTTLEPAGE_COLOURPROFILE_H

#include <cstddef>

// Converts width x height pixels of `channels` bytes (3: RGB, 4: RGBA,
// alpha left as it is) in place from the profile's RGB space to sRGB.
// False when the profile was ignored (the samples are unchanged).
bool ConvertToSRGB(unsigned char* p_pixels, int width, int height, int channels, const unsigned char* p_icc,
                   std::size_t icc_size);

// Turns width x height CMYK pixels (4 bytes each, inverted as Adobe's are
// when is_inverted) into RGB pixels (3 bytes each) in the same buffer,
// packed from its start, through the CMYK profile when one is given and
// usable, else the plain formula. True when the profile was used.
bool ConvertCMYK(unsigned char* p_pixels, int width, int height, bool is_inverted, const unsigned char* p_icc,
                 std::size_t icc_size);

// Whether the program was built with Little CMS.
bool HasColourManagement();

#endif
