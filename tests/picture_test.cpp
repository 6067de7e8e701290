// The picture reader's own parts: the canvas (least size, shrinking as rows
// come, checks before allocating), the EXIF reader, the orientations, CMYK
// by formula, the format table, and PPM through the reader exactly as
// through LoadPPM.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/MemoryLimit.h"
#include "page/PageLines.h"
#include "page/PageSize.h"
#include "picture/Canvas.h"
#include "picture/ColourProfile.h"
#include "picture/Orientation.h"
#include "picture/PictureFormats.h"
#include "picture/PictureReader.h"
#include "picture/formats/LoadPPM.h"

namespace {

// The page's least picture size through the canvas: the page's size where
// it shrinks, the picture's own where it would grow, across the stored
// height for a picture turned a quarter.
TEST(CanvasTest, LeastSizeKeepsEveryCellOfThePage) {
  LoadReport report;
  const Canvas full((CanvasOptions()), report);
  int width = 0, height = 0;
  full.GetLeastSize(4272, 2848, 1, width, height);
  EXPECT_EQ(width, 4272);
  EXPECT_EQ(height, 2848);

  PageRequest request;
  request.columns = 250;
  CanvasOptions options;
  options.p_choose_least_size = ChooseLeastPictureSize;
  options.p_size_context = &request;
  const Canvas page(options, report);
  page.GetLeastSize(4272, 2848, 1, width, height);
  EXPECT_EQ(width, 250);
  EXPECT_EQ(height, 69);  // 250 x 2848 / 4272 x 5.4 / 13 lines
  page.GetLeastSize(2848, 4272, 6, width, height);
  EXPECT_EQ(width, 69);
  EXPECT_EQ(height, 250);
  request.columns = 5000;
  page.GetLeastSize(40, 30, 1, width, height);
  EXPECT_EQ(width, 40);
  EXPECT_EQ(height, 30);
}

// A picture painted row by row, shrunk as it comes and turned upright,
// is the picture turned upright and then scaled for the page in one step,
// byte for byte, in every orientation and for sizes that shrink in one
// direction, both or neither.
TEST(CanvasTest, ShrinkingAsRowsComeIsScalingTheWholePicture) {
  const struct {
    int width, height, columns, lines;
  } cases[] = {{97, 61, 13, 0}, {40, 300, 0, 9}, {64, 64, 32, 0}, {31, 7, 5, 3}, {12, 200, 100, 0}, {5, 3, 0, 0}};
  std::mt19937 random(7);
  for (const auto& c : cases) {
    std::vector<unsigned char> stored(std::size_t(c.width) * c.height * 4);
    for (unsigned char& sample : stored) sample = static_cast<unsigned char>(random() % 256);
    for (int orientation = 1; orientation <= 8; ++orientation) {
      SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " turned " + std::to_string(orientation));
      PageRequest request;
      request.columns = c.columns;
      request.lines = c.lines;
      CanvasOptions options;
      options.p_choose_least_size = ChooseLeastPictureSize;
      options.p_size_context = &request;
      options.has_background = true;
      options.bg_red = 40;
      options.bg_green = 300;
      LoadReport report;
      Canvas canvas(options, report);
      PictureHeader header;
      header.width = c.width;
      header.height = c.height;
      header.layout = SampleLayout::RGBA;
      header.orientation = orientation;
      ASSERT_EQ(canvas.Start(header), LoadFailure::NONE);
      // Rows one at a time, the last two as a pair of alike rows.
      const std::size_t row = std::size_t(c.width) * 4;
      std::memcpy(&stored[(c.height - 1) * row], &stored[(c.height - 2) * row], row);
      for (int y = 0; y < c.height - 2; ++y) canvas.PutRows(&stored[y * row]);
      canvas.PutRows(&stored[(c.height - 2) * row], 2);
      unsigned char* p_shrunk = nullptr;
      int width = 0, height = 0;
      ASSERT_EQ(canvas.Finish(p_shrunk, width, height), LoadFailure::NONE);

      // The reference: composited, turned whole, then the page's lines.
      unsigned char* p_whole = static_cast<unsigned char*>(std::malloc(std::size_t(c.width) * c.height * 3));
      for (std::size_t i = 0; i < std::size_t(c.width) * c.height; ++i) {
        const unsigned char* p = &stored[i * 4];
        const int background[3] = {40, 255, 0};
        for (int k = 0; k < 3; ++k) p_whole[i * 3 + k] = static_cast<unsigned char>((p[k] * p[3] + background[k] * (255 - p[3]) + 127) / 255);
      }
      int whole_width = c.width, whole_height = c.height;
      ASSERT_TRUE(ApplyOrientation(p_whole, whole_width, whole_height, orientation));
      EXPECT_EQ(report.width, whole_width);
      EXPECT_EQ(report.height, whole_height);
      int page_columns = whole_width, page_lines = whole_height;
      if (request.IsScaled()) {
        ChoosePageSize(whole_width, whole_height, c.columns, c.lines, PAGE_CELL, page_columns, page_lines);
      }
      ScaledLines from_whole, from_shrunk;
      PageLines whole_lines, shrunk_lines;
      ASSERT_TRUE(from_whole.StartLines(p_whole, whole_width, whole_height, page_columns, page_lines, whole_lines));
      ASSERT_TRUE(from_shrunk.StartLines(p_shrunk, width, height, page_columns, page_lines, shrunk_lines));
      for (int line = 0; line < page_lines; ++line) {
        std::vector<unsigned char> want(whole_lines.GetLine(line), whole_lines.GetLine(line) + page_columns * 3);
        EXPECT_EQ(std::memcmp(shrunk_lines.GetLine(line), want.data(), want.size()), 0) << "line " << line;
      }
      std::free(p_whole);
      std::free(p_shrunk);
    }
  }
}

TEST(CanvasTest, SidesAndMemoryAreCheckedBeforeRows) {
  const struct {
    int width, height;
    std::int64_t memory_limit;
    LoadFailure failure;
    std::int64_t refused_value, bytes_wanted;
  } cases[] = {
      {65536, 1, 0, LoadFailure::WIDTH_OUT_OF_RANGE, 65536, 0},
      {1, 70000, 0, LoadFailure::HEIGHT_OUT_OF_RANGE, 70000, 0},
      {0, 5, 0, LoadFailure::UNREADABLE, 0, 0},
      {100, 100, 30000, LoadFailure::NO_MEMORY, 0, 100 * 100 * 3 + 100 * 4},
      {100, 100, 30400, LoadFailure::NONE, 0, 0},
  };
  for (const auto& c : cases) {
    LoadReport report;
    CanvasOptions options;
    options.memory_limit = c.memory_limit;
    Canvas canvas(options, report);
    PictureHeader header;
    header.width = c.width;
    header.height = c.height;
    EXPECT_EQ(canvas.Start(header), c.failure) << c.width << "x" << c.height;
    EXPECT_EQ(report.refused_value, c.refused_value);
    EXPECT_EQ(report.bytes_wanted, c.bytes_wanted);
  }
  LoadReport report;
  report.SetWords("first\nsecond\r\n");
  EXPECT_STREQ(report.words, "first second");
  report.SetWords(std::string(500, 'x').c_str());
  EXPECT_EQ(std::strlen(report.words), std::size_t(LoadReport::WORDS_SIZE - 1));
}

// The memory left under a cgroup, from a tree laid out as the kernel's:
// the least room of the group and those above it, page cache it could give
// back not counted as used; a container's own group at the mount's root.
TEST(MemoryLimitTest, CgroupRoomIsTheLeastOfTheGroupAndItsParents) {
  const std::int64_t MIB = 1 << 20;
  const struct {
    const char* p_cgroup;
    std::vector<std::pair<std::string, std::string>> files;
    std::int64_t left;
  } cases[] = {
      {"0::/a/b\n", {{"a/memory.max", "1073741824\n"}, {"a/memory.current", "104857600\n"},
                     {"a/memory.stat", "anon 1\ninactive_file 52428800\n"}, {"a/b/memory.max", "max\n"},
                     {"a/b/memory.current", "9\n"}}, 974 * MIB - MEMORY_MARGIN},
      {"9:cpu,memory:/x\n0::/\n", {{"memory/memory.limit_in_bytes", "9223372036854771712\n"},
                                    {"memory/x/memory.limit_in_bytes", "536870912\n"},
                                    {"memory/x/memory.usage_in_bytes", "104857600\n"}}, 412 * MIB - MEMORY_MARGIN},
      {"0::/docker/abc\n", {{"memory.max", "268435456\n"}, {"memory.current", "16777216\n"}}, 240 * MIB - MEMORY_MARGIN},
      {"0::/\n", {{"cgroup.procs", "1\n"}}, 0},
      {"0::/\n", {{"memory.max", "10485760\n"}, {"memory.current", "5242880\n"}}, 1},
      {"0::/\n", {{"memory.max", "17825792\n"}, {"memory.current", "9437184\n"}}, 1},  // room of the margin alone
  };
  const std::filesystem::path root = std::filesystem::temp_directory_path() / ("mottlepage-memory-" + std::to_string(getpid()));
  for (const auto& c : cases) {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "self");
    std::ofstream(root / "self" / "cgroup") << c.p_cgroup;
    for (const auto& file : c.files) {
      std::filesystem::create_directories((root / "fs" / file.first).parent_path());
      std::ofstream(root / "fs" / file.first) << file.second;
    }
    MemoryPlaces places;
    const std::string process = (root / "self").string(), cgroups = (root / "fs").string();
    places.p_process = process.c_str();
    places.p_cgroups = cgroups.c_str();
    places.has_address_limit = false;
    EXPECT_EQ(GetMemoryLeft(places), c.left) << c.p_cgroup;
  }
  std::filesystem::remove_all(root);
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
  ColourConversion plain_conversion;
  EXPECT_FALSE(plain_conversion.Open(SampleLayout::CMYK, nullptr, 0));
  // Plain ink amounts: no ink is white, full K is black, C alone is cyan.
  const unsigned char plain[12] = {0, 0, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0};
  unsigned char rgb[9] = {};
  plain_conversion.ConvertRow(plain, rgb, 3);
  const unsigned char want[9] = {255, 255, 255, 0, 0, 0, 0, 255, 255};
  EXPECT_EQ(std::memcmp(rgb, want, 9), 0);
  // Adobe's inverted samples: R = C x K / 255.
  ColourConversion inverted_conversion;
  inverted_conversion.Open(SampleLayout::INVERTED_CMYK, nullptr, 0);
  const unsigned char inverted[8] = {255, 255, 255, 255, 128, 255, 0, 128};
  inverted_conversion.ConvertRow(inverted, rgb, 2);
  const unsigned char want_inverted[6] = {255, 255, 255, 64, 128, 0};
  EXPECT_EQ(std::memcmp(rgb, want_inverted, 6), 0);
  // A profile that is no profile is ignored.
  const unsigned char junk[200] = {1, 2, 3};
  ColourConversion junk_conversion;
  EXPECT_FALSE(junk_conversion.Open(SampleLayout::RGB, junk, sizeof junk));
  unsigned char samples[3] = {10, 20, 30};
  junk_conversion.ConvertRow(samples, samples, 1);
  EXPECT_EQ(samples[0], 10);
}

// The table's rows by their first bytes; an input that ends inside a
// signature is named once there are enough bytes to tell, and other RIFF
// and ISO media files are none.
TEST(PictureFormatsTest, FormatsAreToldByTheirFirstBytes) {
  const struct {
    std::string bytes;
    const char* p_name;  // null: none
    bool is_cut;
  } cases[] = {
      {"\xFF\xD8\xFF\xE0", "JPEG", false},
      {"\xFF\xD8", "JPEG", true},
      {"\xFF", nullptr, false},
      {"\x89PNG\r\n", "PNG", false},
      {"\x89P", "PNG", true},
      {"GIF89a", "GIF", false},
      {"GIF87a", "GIF", false},
      {"GIF8", "GIF", true},
      {"GIF8x?", nullptr, false},
      {std::string("RIFF\0\0\0\0WEBPVP8 ", 16), "WebP", false},
      {std::string("RIFF\0\0\0\0WE", 10), "WebP", true},
      {std::string("RIFF\0\0\0\0", 8), nullptr, false},
      {std::string("RIFF\0\0\0\0WAVE", 12), nullptr, false},
      {std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1", 20), "HEIF", false},
      {std::string("\0\0\0\x1c" "ftypmif1\0\0\0\0mif1avif", 24), "HEIF", false},
      {std::string("\0\0\0\x1c" "ftypisom\0\0\0\0isomavif", 24), "HEIF", false},
      {std::string("\0\0\0\x14" "ftypisom\0\0\0\0mp41", 20), nullptr, false},
      {std::string("\0\0\0\x14" "ftyp", 8), nullptr, false},
      {std::string("II*\0\x08", 5), "TIFF", false},
      {std::string("MM\0", 3), "TIFF", true},
      {"\xFF\x0A\xFA", "JPEG XL", false},
      {std::string("\0\0\0\x0CJXL \r\n\x87\n", 12), "JPEG XL", false},
      {std::string("\0\0\0\x0CJX", 6), "JPEG XL", true},
      {std::string("\0\0\0\x0CJXL \r\n\x87\x0B", 12), nullptr, false},
      {"BM6", "BMP", false},
      {"<svg xmlns=", "SVG", false},
      {"<?xml version=\"1.0\"?>\n <svg", "SVG", false},
      {"<?xml version=\"1.0\"?>\n<html", nullptr, false},
      {"/* XPM */\nstatic", "XPM", false},
      {"\x0A\x05\x01\x08", "PCX", false},
      {"\x0A\x05\x02\x08", nullptr, false},
      {"P5\n1 1\n255\n", nullptr, false},  // netpbm magic: told by the PPM reader's first line
      {"P6\n1 1\n255\n", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const unsigned char* p_bytes = reinterpret_cast<const unsigned char*>(c.bytes.data());
    bool is_cut = false;
    const std::size_t length = GetSignatureLength(p_bytes[0]);
    const std::size_t size = c.bytes.size() < length ? c.bytes.size() : length;
    const PictureFormat* p_format = FindFormat(p_bytes, size, size < length, is_cut);
    EXPECT_STREQ(p_format != nullptr ? p_format->p_name : nullptr, c.p_name);
    EXPECT_EQ(is_cut, c.is_cut);
  }
  EXPECT_EQ(GetSignatureLength('P'), 1u);  // a PPM is handed on at once
  EXPECT_STREQ(FindFormatOfFirstLine("P5", 2)->p_description, "a PGM greymap (P5)");
}

// Whatever is no other format loads through the reader exactly as through
// LoadPPM: the same outcome, details and pixels.
TEST(PictureReaderTest, PPMThroughTheReaderIsLoadPPM) {
  const std::string inputs[] = {
      "",
      "P6\n2 1\n255\n\1\2\3\4\5\6",
      "P3\n2 1\n255\n1 2 3 4 5 6\n",
      "P6\n2 2\n255\n\1\2\3",
      "P5\n1 1\n255\n\0",
      "P6\n70000 1\n255\n",
      "GIF8x",
      "#only comments\n",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    std::istringstream ppm_stream(input);
    unsigned char* p_ppm = nullptr;
    int ppm_width = 0, ppm_height = 0;
    LoadPPM ppm(p_ppm, ppm_stream, ppm_width, ppm_height);
    unsigned char* p_rgb = nullptr;
    int width = 0, height = 0;
    std::istringstream stream(input);
    PictureReader reader;
    const LoadFailure failure = reader.ReadStream(stream, p_rgb, width, height);
    EXPECT_EQ(failure == LoadFailure::NONE, ppm.GetErrorNo() == 0);
    EXPECT_EQ(reader.GetReport().ppm.first_line_length, ppm.GetLoadDetails().first_line_length);
    EXPECT_EQ(reader.GetReport().ppm.samples_read, ppm.GetLoadDetails().samples_read);
    EXPECT_EQ(reader.GetReport().refused_value, ppm.GetLoadDetails().refused_value);
    EXPECT_EQ(p_rgb == nullptr, p_ppm == nullptr);
    if (p_rgb != nullptr) {
      EXPECT_EQ(width, ppm_width);
      EXPECT_EQ(height, ppm_height);
      EXPECT_EQ(std::memcmp(p_rgb, p_ppm, std::size_t(width) * height * 3), 0);
    }
    std::free(p_rgb);
    std::free(p_ppm);
  }
}

}  // namespace
