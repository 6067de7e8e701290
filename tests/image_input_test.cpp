// The face's own parts: the least decode size, the EXIF reader, the
// orientations, CMYK by formula, and PPM through the face exactly as
// through LoadPPM.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ColourProfile.h"
#include "ImageInput.h"
#include "LoadPPM.h"
#include "Orientation.h"
#include "formats/Format.h"

namespace {

TEST(ImageRequestTest, LeastSizeKeepsEveryCellOfThePage) {
  ImageRequest full;
  int width = 0, height = 0;
  full.GetLeastSize(4272, 2848, 1, width, height);
  EXPECT_EQ(width, 4272);
  EXPECT_EQ(height, 2848);

  ImageRequest page;
  page.columns = 250;
  page.cell = {27, 5, 13, 1};
  page.GetLeastSize(4272, 2848, 1, width, height);
  EXPECT_EQ(width, 250);
  EXPECT_EQ(height, 69);  // 250 x 2848 / 4272 x 5.4 / 13 lines
  // Turned a quarter: the page is 250 wide across the stored height.
  page.GetLeastSize(2848, 4272, 6, width, height);
  EXPECT_EQ(width, 69);
  EXPECT_EQ(height, 250);
  // Never more than the picture has.
  page.columns = 5000;
  page.GetLeastSize(40, 30, 1, width, height);
  EXPECT_EQ(width, 40);
  EXPECT_EQ(height, 30);
}

TEST(DecodedImageTest, MessagesAreOneLineAndSidesAreChecked) {
  DecodedImage image;
  image.SetMessage("first\nsecond\r\n");
  EXPECT_STREQ(image.message, "first second");
  image.SetMessage(std::string(500, 'x').c_str());
  EXPECT_EQ(std::strlen(image.message), std::size_t(DecodedImage::MESSAGE_SIZE - 1));
  EXPECT_EQ(image.AllocatePixels(65536, 1, 3), DECODE_TOO_LARGE);
  EXPECT_EQ(image.full_width, 65536);
  EXPECT_EQ(image.AllocatePixels(0, 1, 3), DECODE_UNREADABLE);
  image.max_pixels = 100;
  EXPECT_EQ(image.AllocatePixels(11, 10, 3), DECODE_NO_MEMORY);
  EXPECT_EQ(image.AllocatePixels(10, 10, 4), DECODED);
  EXPECT_NE(image.p_pixels, nullptr);
  std::free(image.p_pixels);
}

// An EXIF block with one IFD entry: the orientation tag of `type` and `value`.
std::string Exif(bool is_big_endian, unsigned type, unsigned value) {
  auto u16 = [&](unsigned v) {
    return is_big_endian ? std::string{char(v >> 8), char(v)} : std::string{char(v), char(v >> 8)};
  };
  auto u32 = [&](unsigned v) { return is_big_endian ? u16(v >> 16) + u16(v & 0xFFFF) : u16(v & 0xFFFF) + u16(v >> 16); };
  std::string tiff = is_big_endian ? std::string("MM\0*", 4) : std::string("II*\0", 4);
  tiff += u32(8) + u16(1) + u16(0x0112) + u16(type) + u32(1) + u16(value) + u16(0) + u32(0);
  return std::string("Exif\0\0", 6) + tiff;
}

int Orientation(const std::string& bytes) {
  return ReadExifOrientation(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

TEST(OrientationTest, ReadsTheTagAndNothingOutsideTheBlock) {
  for (bool is_big_endian : {false, true}) {
    for (unsigned value = 1; value <= 8; ++value) EXPECT_EQ(Orientation(Exif(is_big_endian, 3, value)), int(value));
    EXPECT_EQ(Orientation(Exif(is_big_endian, 3, 9)), 1);
    EXPECT_EQ(Orientation(Exif(is_big_endian, 4, 6)), 1);  // not a SHORT
    const std::string whole = Exif(is_big_endian, 3, 6);
    EXPECT_EQ(Orientation(whole.substr(6)), 6);  // TIFF data without "Exif\0\0"
    for (std::size_t size = 0; size < whole.size() - 4; ++size) EXPECT_EQ(Orientation(whole.substr(0, size)), 1);
  }
  EXPECT_EQ(ReadExifOrientation(nullptr, 0), 1);
  std::string far = Exif(false, 3, 6);
  far[10] = '\xff';  // IFD offset beyond the block
  EXPECT_EQ(Orientation(far), 1);
}

// A 3 x 2 picture whose pixels are numbered 0..5 in their red sample.
TEST(OrientationTest, EveryOrientationTurnsThePictureUpright) {
  const struct {
    int orientation;
    int width;
    std::vector<int> upright;
  } cases[] = {
      {1, 3, {0, 1, 2, 3, 4, 5}}, {2, 3, {2, 1, 0, 5, 4, 3}}, {3, 3, {5, 4, 3, 2, 1, 0}},
      {4, 3, {3, 4, 5, 0, 1, 2}}, {5, 2, {0, 3, 1, 4, 2, 5}}, {6, 2, {3, 0, 4, 1, 5, 2}},
      {7, 2, {5, 2, 4, 1, 3, 0}}, {8, 2, {2, 5, 1, 4, 0, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.orientation);
    unsigned char* p_rgb = static_cast<unsigned char*>(std::malloc(18));
    for (int i = 0; i < 6; ++i) {
      p_rgb[3 * i] = static_cast<unsigned char>(i);
      p_rgb[3 * i + 1] = p_rgb[3 * i + 2] = static_cast<unsigned char>(100 + i);
    }
    int width = 3, height = 2;
    ASSERT_TRUE(ApplyOrientation(p_rgb, width, height, c.orientation));
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(width * height, 6);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(p_rgb[3 * i], c.upright[i]) << i;
      EXPECT_EQ(p_rgb[3 * i + 2], 100 + c.upright[i]) << i;
    }
    std::free(p_rgb);
  }
}

TEST(ColourProfileTest, CMYKByFormulaPlainAndInverted) {
  // Plain ink amounts: no ink is white, full K is black, C alone is cyan.
  unsigned char plain[12] = {0, 0, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0};
  ConvertCMYK(plain, 3, 1, false, nullptr, 0);
  const unsigned char want[9] = {255, 255, 255, 0, 0, 0, 0, 255, 255};
  EXPECT_EQ(std::memcmp(plain, want, 9), 0);
  // Adobe's inverted samples: R = C x K / 255.
  unsigned char inverted[8] = {255, 255, 255, 255, 128, 255, 0, 128};
  ConvertCMYK(inverted, 2, 1, true, nullptr, 0);
  const unsigned char want_inverted[6] = {255, 255, 255, 64, 128, 0};
  EXPECT_EQ(std::memcmp(inverted, want_inverted, 6), 0);
  // A profile that is no profile is ignored.
  const unsigned char junk[200] = {1, 2, 3};
  unsigned char rgb[3] = {10, 20, 30};
  EXPECT_FALSE(ConvertToSRGB(rgb, 1, 1, 3, junk, sizeof junk));
  EXPECT_EQ(rgb[0], 10);
}

TEST(ImageInputTest, FormatsAreToldByTheirFirstBytes) {
  const struct {
    std::string bytes;
    ImageFormat format;
  } cases[] = {
      {"\xFF\xD8\xFF\xE0", ImageFormat::JPEG},
      {"\x89PNG\r\n", ImageFormat::PNG},
      {"GIF89a", ImageFormat::GIF},
      {"GIF87a", ImageFormat::GIF},
      {"GIF8", ImageFormat::PPM},
      {std::string("RIFF\0\0\0\0WEBPVP8 ", 16), ImageFormat::WEBP},
      {std::string("RIFF\0\0\0\0WAVE", 12), ImageFormat::PPM},
      {std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1", 20), ImageFormat::HEIF},
      {std::string("\0\0\0\x1c" "ftypmif1\0\0\0\0mif1avif", 24), ImageFormat::HEIF},
      {std::string("\0\0\0\x14" "ftypisom\0\0\0\0mp41", 20), ImageFormat::PPM},
      {"P6\n1 1\n255\n", ImageFormat::PPM},
      {"", ImageFormat::PPM},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SniffFormat(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()), c.format)
        << c.bytes;
  }
}

// Whatever is no other format loads through the face exactly as through
// LoadPPM: the same error number, details and pixels.
TEST(ImageInputTest, PPMThroughTheFaceIsLoadPPM) {
  const std::string inputs[] = {
      "",
      "P6\n2 1\n255\n\1\2\3\4\5\6",
      "P3\n2 1\n255\n1 2 3 4 5 6\n",
      "P6\n2 2\n255\n\1\2\3",
      "P5\n1 1\n255\n\0",
      "P6\n70000 1\n255\n",
      "GIF8",
      std::string("\xFF\xD8", 2),
      "#only comments\n",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    std::istringstream ppm_stream(input);
    unsigned char* p_ppm = nullptr;
    int ppm_width = 0, ppm_height = 0;
    LoadPPM ppm(p_ppm, ppm_stream, ppm_width, ppm_height);
    for (int kind = 0; kind < 2; ++kind) {
      unsigned char* p_rgb = nullptr;
      int width = 0, height = 0;
      std::istringstream stream(input);
      const FileBytes file{reinterpret_cast<const unsigned char*>(input.data()), input.size()};
      LoadImage image = kind == 0 ? LoadImage(p_rgb, stream, width, height) : LoadImage(p_rgb, file, width, height);
      EXPECT_EQ(image.GetErrorNo(), ppm.GetErrorNo());
      EXPECT_EQ(image.GetDetails().format, ImageFormat::PPM);
      EXPECT_EQ(image.GetDetails().ppm.first_line_length, ppm.GetLoadDetails().first_line_length);
      EXPECT_EQ(image.GetDetails().ppm.samples_read, ppm.GetLoadDetails().samples_read);
      EXPECT_EQ(image.GetDetails().ppm.refused_value, ppm.GetLoadDetails().refused_value);
      EXPECT_EQ(p_rgb == nullptr, p_ppm == nullptr);
      if (p_rgb != nullptr) {
        EXPECT_EQ(width, ppm_width);
        EXPECT_EQ(height, ppm_height);
        EXPECT_EQ(std::memcmp(p_rgb, p_ppm, std::size_t(width) * height * 3), 0);
      }
      std::free(p_rgb);
    }
    std::free(p_ppm);
  }
}

}  // namespace
