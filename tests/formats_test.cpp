#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sstream>

#include "picture/PictureFormats.h"
#include "picture/PictureReader.h"

namespace {

// The pictures of tests/fixtures (make_fixtures.sh says how each is made),
// read through the picture reader as the program reads them, and the upright colour
// at the quadrants' centres (8,4) (24,4) (8,12) (24,12) and at the last
// pixel. Most are the quadrants red, green / blue, white. A picture with a
// reference is compared with it at every pixel instead: a PPM that an
// independent decoder made of it, or a picture read alike at the same least
// size. A page may need a picture smaller, at 1/x across and 1/y down: the
// centres move with it.
const int NO_BACKGROUND = -1;
const long RED = 0xFF0000, GREEN = 0x00FF00, BLUE = 0x0000FF, WHITE = 0xFFFFFF, BLACK = 0;
const long SKY = 0x3366CC;  // the background of the pictures with alpha that have references
const char* const MARK = "mark.ref.ppm";  // mark.png, upright

struct FixtureCase {
  const char* p_name;
  long background;  // 0xRRGGBB or NO_BACKGROUND (black)
  LoadFailure failure;
  int width;
  int height;
  int frame_count;
  bool is_cut_short;
  int tolerance;  // per sample, for lossy formats and colour conversion
  long colours[5];
  const char* p_words = "";  // the decoder's message, word for word
  const char* p_reference = nullptr;
  int least_x = 1;  // the least size asked for: each upright side divided by these
  int least_y = 1;
};

const FixtureCase FIXTURE_CASES[] = {
    {"orient1.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient2.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient3.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient4.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient5.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient6.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient7.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient8.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient6.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 0, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"orient8.webp", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 0, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"alpha.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 0, {0x800000, BLACK, BLUE, 0x404040, 0x404040}},
    {"alpha.png", WHITE, LoadFailure::NONE, 32, 16, 1, false, 0, {0xFF7F7F, WHITE, BLUE, WHITE, WHITE}},
    {"alpha.webp", WHITE, LoadFailure::NONE, 32, 16, 1, false, 0, {0xFF7F7F, WHITE, BLUE, WHITE, WHITE}},
    {"palette.png", 0x3366CC, LoadFailure::NONE, 32, 16, 1, false, 0, {0x993366, 0x3366CC, BLUE, 0x668CD9, 0x668CD9}},
    {"grey_alpha.png", WHITE, LoadFailure::NONE, 32, 16, 1, false, 0, {0xC8C8C8, WHITE, 0x7F7F7F, WHITE, WHITE}},
    {"deep.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 0, {0x8000FF, 0x017F80, RED, BLUE, BLUE}},
    {"interlaced.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 0, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"deep_alpha.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 0, {0xFF0200, BLACK, 0x000080, WHITE, WHITE}},
    {"grey_trns.png", 0x3366CC, LoadFailure::NONE, 32, 16, 1, false, 0, {WHITE, 0x3366CC, 0x010101, 0x808080, 0x808080}},
    // Adobe RGB (200, 60, 60) in sRGB, as Little CMS converts it.
    {"adobe.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 2, {0xE73939, 0xE73939, 0xE73939, 0xE73939, 0xE73939}},
    {"cmyk.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    // Through the CMYK profile and back, as Little CMS converts the quadrants.
    {"cmyk_profile.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {0xFC1E11, 0x27F938, 0x524CF9, WHITE, WHITE}},
    {"lossy.webp", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"photo.heic", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}},
    {"premultiplied.heic", WHITE, LoadFailure::NONE, 32, 16, 1, false, 12, {0xFF7F7F, WHITE, BLUE, WHITE, WHITE}},
    {"anim.gif", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 3, false, 0, {RED, RED, RED, RED, RED}},
    {"anim.webp", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 3, false, 0, {RED, RED, RED, RED, RED}},
    {"transparent.gif", 0x3366CC, LoadFailure::NONE, 32, 16, 1, false, 0, {RED, 0x3366CC, BLUE, WHITE, WHITE}},
    {"offset.gif", 0x3366CC, LoadFailure::NONE, 32, 16, 1, false, 0, {0x3366CC, GREEN, 0x3366CC, BLUE, BLUE}},
    {"anim_offset.webp", 0x3366CC, LoadFailure::NONE, 32, 16, 2, false, 0, {0x3366CC, 0x3366CC, 0x3366CC, BLUE, BLUE}},
    {"anim_low.webp", 0x3366CC, LoadFailure::NONE, 32, 16, 1, false, 0, {0x3366CC, 0x3366CC, BLUE, BLUE, BLUE}},
    // Shrunk by libwebp as it decodes, the EXIF orientation (after the
    // image) in mind.
    {"anim_offset.webp", 0x3366CC, LoadFailure::NONE, 16, 8, 2, false, 0, {0x3366CC, 0x3366CC, 0x3366CC, BLUE, BLUE}, "", nullptr, 2, 2},
    {"lossy.webp", NO_BACKGROUND, LoadFailure::NONE, 16, 8, 1, false, 12, {RED, GREEN, BLUE, WHITE, WHITE}, "", nullptr, 2, 2},
    {"orient8.webp", NO_BACKGROUND, LoadFailure::NONE, 8, 16, 1, false, 2, {RED, GREEN, BLUE, WHITE, WHITE}, "", nullptr, 4, 1},
    // Cut in the middle of 32 x 64: the top rows came; the rest is black,
    // or for JPEG the mid grey that libjpeg gives blocks without data.
    {"cut.png", NO_BACKGROUND, LoadFailure::NONE, 32, 64, 1, true, 0, {RED, GREEN, BLUE, WHITE, BLACK}, "read beyond end of data"},
    {"interlaced_cut.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, true, 0, {RED, GREEN, BLUE, WHITE, BLACK},
     "read beyond end of data"},
    {"cut_last_row.png", NO_BACKGROUND, LoadFailure::NONE, 32, 16, 1, true, 0, {RED, GREEN, BLUE, WHITE, BLACK},
     "read beyond end of data"},
    {"cut.jpg", NO_BACKGROUND, LoadFailure::NONE, 32, 64, 1, true, 12, {RED, GREEN, BLUE, WHITE, 0x808080},
     "Premature end of JPEG file"},
    {"corrupt.png", NO_BACKGROUND, LoadFailure::UNREADABLE, 0, 0, 1, false, 0, {}, "IDAT: invalid distance too far back"},
    {"corrupt.webp", NO_BACKGROUND, LoadFailure::UNREADABLE, 0, 0, 1, false, 0, {}, "bitstream error"},
    {"huge.png", NO_BACKGROUND, LoadFailure::NO_MEMORY, 0, 0, 1, false, 0, {}},
    {"tiff_lzw.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_tiles.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_planar.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_planar_tiles.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_row_strips.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_extra.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_jpeg.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 2, {}, "", "tiff_jpeg.ref.ppm"},
    {"tiff_16.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", "tiff_16.ref.ppm"},
    {"tiff_grey4.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", "tiff_grey4.ref.ppm"},
    {"tiff_bits.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", "tiff_bits.ref.ppm"},
    {"tiff_palette.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "tiff_palette.ref.ppm"},
    {"tiff_grey_alpha.tif", SKY, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "tiff_grey_alpha.ref.ppm"},
    {"tiff_assoc.tif", SKY, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "tiff_assoc.ref.ppm"},
    {"tiff_unassoc.tif", SKY, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "tiff_unassoc.ref.ppm"},
    {"tiff_cmyk.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "tiff_cmyk.ref.ppm"},
    {"tiff_cmyk_profile.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 2, {}, "", "tiff_cmyk_profile.ref.ppm"},
    {"tiff_adobe.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 2, {}, "", "tiff_adobe.ref.ppm"},
    {"tiff_orient1.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_orient2.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_orient3.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_orient4.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_orient5.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_orient6.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_orient7.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_orient8.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"tiff_pages.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 3, false, 0, {}, "", MARK},
    {"tiff_cut.tif", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, true, 0, {}, "Read error on strip 2; got 133 bytes, expected 444",
     "tiff_cut.ref.ppm"},
    {"tiff_corrupt.tif", NO_BACKGROUND, LoadFailure::UNREADABLE, 0, 0, 1, false, 0, {}, "Using code not yet in table"},
    {"tiff_wide.tif", NO_BACKGROUND, LoadFailure::WIDTH_OUT_OF_RANGE, 0, 0, 1, false, 0, {}},
    {"jxl_lossless.jxl", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"jxl_lossy.jxl", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "jxl_lossy.ref.ppm"},
    {"jxl_orient6.jxl", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "jxl_orient6.ref.ppm"},
    {"jxl_orient5.jxl", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", MARK},
    {"jxl_alpha.jxl", SKY, LoadFailure::NONE, 37, 23, 1, false, 1, {}, "", "jxl_alpha.ref.ppm"},
    {"jxl_grey.jxl", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 0, {}, "", "jxl_grey.ref.ppm"},
    {"jxl_adobe.jxl", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 1, false, 2, {}, "", "jxl_adobe.ref.ppm"},
    {"jxl_anim.jxl", NO_BACKGROUND, LoadFailure::NONE, 37, 23, 3, false, 0, {}, "", MARK},
    {"jxl_dc.jxl", NO_BACKGROUND, LoadFailure::NONE, 40, 25, 1, false, 4, {}, "", "dc.png", 8, 8},
    // Cut after 60%: drawn from what arrived (the rest at the DC pass's
    // detail); a page of an eighth needs only the DC pass, all there.
    {"jxl_cut.jxl", NO_BACKGROUND, LoadFailure::NONE, 320, 200, 1, true, 16, {}, "the file ends after 1075 bytes", "dc.png"},
    {"jxl_cut.jxl", NO_BACKGROUND, LoadFailure::NONE, 40, 25, 1, false, 4, {}, "", "dc.png", 8, 8},
    {"jxl_corrupt.jxl", NO_BACKGROUND, LoadFailure::UNREADABLE, 0, 0, 1, false, 0, {}, "Invalid predictor"},
};

std::vector<unsigned char> ReadFixture(const std::string& name) {
  std::vector<unsigned char> bytes;
  FILE* p_file = std::fopen((std::string(FIXTURES_DIR) + "/" + name).c_str(), "rb");
  if (p_file == nullptr) return bytes;
  for (int c = std::fgetc(p_file); c != EOF; c = std::fgetc(p_file)) bytes.push_back((unsigned char)c);
  std::fclose(p_file);
  return bytes;
}

void ChooseSmaller(const void* p_case, int width, int height, int& least_width, int& least_height) {
  const FixtureCase& test = *static_cast<const FixtureCase*>(p_case);
  least_width = width / test.least_x;
  least_height = height / test.least_y;
}

// A fixture read through the picture reader, as the program reads it.
LoadFailure ReadThroughReader(const FixtureCase& test, const char* p_name, unsigned char*& p_rgb, int& width,
                            int& height, LoadReport& report) {
  std::vector<unsigned char> bytes = ReadFixture(p_name);
  CanvasOptions options;
  options.has_background = test.background != NO_BACKGROUND;
  options.bg_red = int(test.background >> 16 & 255);
  options.bg_green = int(test.background >> 8 & 255);
  options.bg_blue = int(test.background & 255);
  options.memory_limit = 1 << 26;
  options.p_choose_least_size = test.least_x > 1 || test.least_y > 1 ? ChooseSmaller : nullptr;
  options.p_size_context = &test;
  std::istringstream stream(std::string(bytes.begin(), bytes.end()));
  PictureReader reader(options);
  const LoadFailure failure = reader.ReadStream(stream, p_rgb, width, height);
  report = reader.GetReport();
  return failure;
}

// Every pixel against the reference's, within the tolerance.
void ExpectReference(const FixtureCase& test, const unsigned char* p_rgb, int width, int height) {
  unsigned char* p_reference = nullptr;
  int reference_width = 0, reference_height = 0;
  LoadReport report;
  ASSERT_EQ(ReadThroughReader(test, test.p_reference, p_reference, reference_width, reference_height, report),
            LoadFailure::NONE);
  ASSERT_EQ(reference_width, width);
  ASSERT_EQ(reference_height, height);
  int worst = 0, worst_at = 0;
  for (int i = 0; i < width * height * 3; ++i) {
    const int difference = std::abs(int(p_rgb[i]) - int(p_reference[i]));
    if (difference > worst) worst = difference, worst_at = i / 3;
  }
  EXPECT_LE(worst, test.tolerance) << "at (" << worst_at % width << "," << worst_at / width << ")";
  std::free(p_reference);
}

TEST(FormatsTest, FixturesComeOutUprightInTheirColoursOnTheBackground) {
  for (const FixtureCase& test : FIXTURE_CASES) {
    std::vector<unsigned char> bytes = ReadFixture(test.p_name);
    ASSERT_FALSE(bytes.empty()) << test.p_name;
    bool is_cut = false;
    const PictureFormat* p_format = FindFormat(bytes.data(), bytes.size(), false, is_cut);
    if (p_format == nullptr || p_format->p_decode == nullptr) continue;
    unsigned char* p_rgb = nullptr;
    int width = 0, height = 0;
    LoadReport report;
    const LoadFailure failure = ReadThroughReader(test, test.p_name, p_rgb, width, height, report);
    SCOPED_TRACE(std::string(test.p_name) + ", words: " + report.words);
    EXPECT_EQ(failure, test.failure);
    EXPECT_STREQ(report.words, test.p_words);
    if (p_rgb == nullptr) continue;
    EXPECT_EQ(width, test.width);
    EXPECT_EQ(height, test.height);
    EXPECT_EQ(report.frame_count, test.frame_count);
    EXPECT_EQ(report.frame_kind == FrameKind::PAGES, std::strcmp(p_format->p_name, "TIFF") == 0);
    EXPECT_EQ(report.is_cut_short, test.is_cut_short);
    if (test.p_reference != nullptr && width == test.width && height == test.height)
      ExpectReference(test, p_rgb, width, height);
    const int x = test.least_x, y = test.least_y;
    const int points[5][2] = {{8 / x, 4 / y}, {24 / x, 4 / y}, {8 / x, 12 / y}, {24 / x, 12 / y}, {width - 1, height - 1}};
    for (int point = 0; point < 5 && width == test.width && height == test.height && !test.p_reference; ++point) {
      const unsigned char* p_pixel = p_rgb + (std::size_t(points[point][1]) * width + points[point][0]) * 3;
      for (int channel = 0; channel < 3; ++channel)
        EXPECT_NEAR(p_pixel[channel], test.colours[point] >> (16 - 8 * channel) & 255, test.tolerance)
            << "point " << point << " channel " << channel;
    }
    std::free(p_rgb);
  }
}

}  // namespace
