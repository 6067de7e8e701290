#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/Decimal.h"
#include "picture/formats/LoadPPM.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Loaded {
  int error_number;
  int width;
  int height;
  Bytes pixels;
  bool has_buffer;
};

Loaded LoadFromText(const std::string& text, std::int64_t max_pixels = LoadPPM::MAX_PIXELS) {
  std::istringstream stream(text);
  unsigned char* p_pixel = reinterpret_cast<unsigned char*>(1);  // must be reset by the loader
  int width = -100;
  int height = -100;
  LoadPPM loader(p_pixel, stream, width, height, max_pixels);
  Loaded result{loader.GetErrorNo(), width, height, {}, p_pixel != nullptr};
  if (p_pixel != nullptr) {
    result.pixels.assign(p_pixel, p_pixel + std::size_t(width) * height * 3);
    std::free(p_pixel);
  }
  return result;
}

// Every plain sample code this processor runs, from the scalar path up.
std::vector<PlainSampleCode> PlainSampleCodes() {
  std::vector<PlainSampleCode> codes;
  for (PlainSampleCode code : {PlainSampleCode::SCALAR, PlainSampleCode::SSE2, PlainSampleCode::SSSE3,
                               PlainSampleCode::AVX2}) {
    if (code <= GetBestPlainSampleCode()) codes.push_back(code);
  }
  return codes;
}

// Loads the text once with each code; every code must give the same.
Loaded LoadWithEachCode(const std::string& text) {
  Loaded first = LoadFromText(text);
  for (PlainSampleCode code : PlainSampleCodes()) {
    LimitPlainSampleCode(code);
    Loaded again = LoadFromText(text);
    EXPECT_EQ(again.error_number, first.error_number) << "code " << int(code);
    EXPECT_TRUE(again.pixels == first.pixels) << "code " << int(code);
  }
  LimitPlainSampleCode(PlainSampleCode::AVX2);
  return first;
}

std::string Repeat(const std::string& piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

struct HeaderCase {
  const char* name;
  std::string text;
  int error_number;
  int width;   // checked when the load succeeds
  int height;
};

TEST(LoadPPMTest, HeaderCasesGiveTheirErrorNumbers) {
  const std::string six_bytes(6, '\x7f');
  const HeaderCase cases[] = {
      {"binary with comment", "P6\n# made by hand\n4 2\n255\n" + std::string(24, 'x'), 0, 4, 2},
      {"comment before magic", "# first\nP6\n1 1\n255\nabc", 0, 1, 1},
      {"plain magic with tail", "P3 plain\n1 1\n255\n1 2 3\n", 0, 1, 1},
      {"empty file", "", -1, 0, 0},
      {"magic without newline", "P6", -1, 0, 0},
      {"magic P5", "P5\n1 1\n255\n", -2, 0, 0},
      {"magic P alone", "P\n1 1\n255\n", -2, 0, 0},
      {"empty line before magic", "\nP6\n1 1\n255\n", -2, 0, 0},
      {"nothing after magic", "P6\n", -4, 0, 0},
      {"widest", "P6\n65535 1\n255\n", 0, 65535, 1},
      {"tallest", "P6\n1 65535\n255\n", 0, 1, 65535},
      {"width 65536", "P6\n65536 1\n255\n", -5, 0, 0},
      {"width 0", "P6\n0 1\n255\n", -5, 0, 0},
      {"width -4", "P6\n-4 1\n255\n", -5, 0, 0},
      {"width that wraps in atoi", "P6\n4294967297 1\n255\n", -5, 0, 0},
      {"height 0", "P6\n1 0\n255\n", -6, 0, 0},
      {"height 65536", "P6\n1 65536\n255\n", -6, 0, 0},
      {"tab instead of space", "P6\n640\t480\n255\n", -6, 0, 0},
      {"two spaces", "P6\n2  1\n255\n" + six_bytes, 0, 2, 1},
      {"leading space repeats width", "P6\n 3 1\n255\n", 0, 3, 3},
      {"word after dimensions", "P6\n2 1 pixels\n255\n" + six_bytes, 0, 2, 1},
      {"one-line header", "P3 2 1 255\n255 0 0\n0 0 255\n", -6, 0, 0},
      {"ends after dimensions", "P6\n1 1\n", -7, 0, 0},
      {"max value without newline", "P3\n1 1\n255", -7, 0, 0},
      {"max value 0", "P6\n1 1\n0\n", -8, 0, 0},
      {"max value 65536", "P6\n1 1\n65536\n", -8, 0, 0},
      {"max value -1", "P6\n1 1\n-1\n", -8, 0, 0},
      {"binary max 65535", "P6\n1 1\n65535\n" + six_bytes, -11, 0, 0},
      {"binary max 254", "P6\n1 1\n254\n", -11, 0, 0},
      {"plain max 15", "P3\n1 1\n15\n1 2 3\n", -10, 0, 0},
      {"plain max 256", "P3\n1 1\n256\n1 2 3\n", -10, 0, 0},
      {"magic of exactly 5999 characters", "P6" + std::string(5997, 'x') + "\n1 1\n255\n", 0, 1, 1},
      {"overlong magic skipped after check", "P6" + std::string(9000, 'x') + "\n1 1\n255\n", 0, 1, 1},
      {"overlong magic failing its check", std::string(9000, '\0'), -2, 0, 0},
      {"overlong magic without newline", "P6" + std::string(9000, 'x'), -1, 0, 0},
      {"overlong dimensions line", "P6\n1 1" + std::string(9000, ' ') + "\n255\n", 0, 1, 1},
      {"overlong max line without newline", "P6\n1 1\n255" + std::string(9000, ' '), -7, 0, 0},
      {"megabyte comment", "P6\n#" + std::string(1 << 20, '7') + "\n1 1\n255\n", 0, 1, 1},
      {"comment at end without newline", "P6\n1 1\n# no newline", -7, 0, 0},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded loaded = LoadFromText(c.text);
    EXPECT_EQ(loaded.error_number, c.error_number);
    EXPECT_EQ(loaded.has_buffer, c.error_number == 0);
    if (c.error_number == 0) {
      EXPECT_EQ(loaded.width, c.width);
      EXPECT_EQ(loaded.height, c.height);
    }
  }
}

TEST(LoadPPMTest, FilesThatCannotBeOpenedGiveMinusThree) {
  unsigned char* p_pixel = nullptr;
  int width = 0;
  int height = 0;
  EXPECT_EQ(LoadPPM(p_pixel, nullptr, width, height).GetErrorNo(), -3);
  EXPECT_EQ(LoadPPM(p_pixel, "/nonexistent/image.ppm", width, height).GetErrorNo(), -3);
  EXPECT_EQ(p_pixel, nullptr);
  EXPECT_EQ(LoadPPM(p_pixel, "/", width, height).GetErrorNo(), -12);  // a directory opens, but reading it fails
  EXPECT_EQ(p_pixel, nullptr);
}

TEST(LoadPPMTest, CallerLimitRefusesLargeImagesBeforeAllocating) {
  EXPECT_EQ(LoadFromText("P6\n100 100\n255\n", 9999).error_number, -9);
  EXPECT_EQ(LoadFromText("P6\n100 100\n255\n", 10000).error_number, 0);
}

TEST(LoadPPMTest, BinarySamplesFollowTheHeaderAndShortFilesEndInBlack) {
  const struct {
    std::string text;
    Bytes pixels;
  } cases[] = {
      {"P6\n2 1\n255   \n\x01\x02\x03\n\x05\x06", {1, 2, 3, '\n', 5, 6}},
      {"P6\n3 1\n255\n\xff\xfe", {255, 254, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    Loaded loaded = LoadFromText(c.text);
    ASSERT_EQ(loaded.error_number, 0);
    EXPECT_EQ(loaded.pixels, c.pixels);
  }
}

// A large buffer reuses heap memory that held other data; the part that a
// short file leaves unfilled must still read as black.
TEST(LoadPPMTest, LargeShortImagesAreBlackEvenInReusedMemory) {
  for (const char* p_magic : {"P6", "P3"}) {
    for (int round = 0; round < 3; ++round) {
      std::vector<unsigned char*> dirty;
      for (int i = 0; i < 4; ++i) {
        dirty.push_back(new unsigned char[3000000]);
        std::memset(dirty.back(), 0xAB, 3000000);
      }
      for (unsigned char* p : dirty) delete[] p;
      Loaded loaded = LoadFromText(std::string(p_magic) + "\n1000 1000\n255\n" +
                                   (p_magic[1] == '6' ? std::string("\x07\x08\x09") : std::string("7 8 9")));
      ASSERT_EQ(loaded.error_number, 0);
      Bytes expected(3000000, 0);
      expected[0] = 7, expected[1] = 8, expected[2] = 9;
      ASSERT_TRUE(loaded.pixels == expected) << p_magic << " round " << round;
    }
  }
}

struct PlainCase {
  const char* name;
  std::string data;  // after the header "P3\n2 1\n255\n"
  Bytes pixels;
};

TEST(LoadPPMTest, PlainLayoutsGiveTheirSamples) {
  const Bytes red_blue{255, 0, 0, 0, 0, 255};
  const PlainCase cases[] = {
      {"two lines, single spaces", "255 0 0 \n0 0 255\n", red_blue},
      {"one per line, trailing spaces", "255 \n0  \n0\t\n0 \n0\n255 \n", red_blue},
      {"double spaces and tabs", "  255  0\t\t0\n\t0 0  255  \n", red_blue},
      {"carriage returns", "255 0 0\r\n0 0 255\r\n", red_blue},
      {"surplus on the same line", "255 0 0 0 0 255 7 8 9\n", red_blue},
      {"comment line between", "255 0 0\n# 9 9 9\n0 0 255\n", red_blue},
      {"empty line between", "255 0 0\n\n0 0 255\n", red_blue},
      {"last line without newline", "255 0 0\n0 0 255", red_blue},
      {"hash and word count as zero", "255 0 0 # word\n9\n", {255, 0, 0, 0, 0, 9}},
      {"negative ends the line", "255 -1 9\n1 2 3 4 5\n", {255, 1, 2, 3, 4, 5}},
      {"minus zero is zero", "-0 1 2 3 4 5\n", {0, 1, 2, 3, 4, 5}},
      {"sign, clamping and low eight bits", "+5 2147483648 99999999999 0x10 300 256\n", {5, 255, 255, 0, 44, 0}},
      {"lone sign is zero", "- + 1 2 3 4\n", {0, 0, 1, 2, 3, 4}},
      {"short file is black", "7\n", {7, 0, 0, 0, 0, 0}},
      {"hash line at the end counts", "255 0 0\n# 7 8", {255, 0, 0, 0, 7, 8}},
      {"NUL ends the line's text", std::string("1 2\0 3\n4 5 6 7\n", 15), {1, 2, 4, 5, 6, 7}},
      {"vertical-tab token takes the next value", "\v 5 6\n1 2 3\n", {5, 5, 6, 1, 2, 3}},
      {"vertical tab before digits", "\v7 8 9 1 2 3\n", {7, 8, 9, 1, 2, 3}},
      {"vertical-tab token at line end", "1 2 \v\n3 4 5\n", {1, 2, 0, 3, 4, 5}},
      {"comment line that would fill the image", "# 1 2 3 4 5 6 7\n6 5 4 3 2 1\n", {6, 5, 4, 3, 2, 1}},
  };
  for (const PlainCase& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded loaded = LoadWithEachCode("P3\n2 1\n255\n" + c.data);
    ASSERT_EQ(loaded.error_number, 0);
    EXPECT_EQ(loaded.pixels, c.pixels);
  }
  // Numbers after the maximum value are no samples.
  Loaded loaded = LoadFromText("P3\n2 1\n255 9 9 9\n255 0 0 0 0 255\n");
  ASSERT_EQ(loaded.error_number, 0);
  EXPECT_EQ(loaded.pixels, red_blue);
}

// Numbers placed across the 5999-character line buffer and the reader's
// chunk boundaries must each still be read as one number.
TEST(LoadPPMTest, LongPlainLinesLoseNoSample) {
  const int width = 30000;
  std::string header = "P3\n" + std::to_string(width) + " 1\n255\n";
  std::string line;
  Bytes expected;
  for (int i = 0; i < width * 3; ++i) {
    int value = (i * 37) % 256;
    line += std::string(i % 7, ' ') + std::to_string(value) + (i % 5 == 0 ? "\t" : " ");
    expected.push_back(static_cast<unsigned char>(value));
  }
  ASSERT_GT(line.size(), std::size_t(1) << 17);
  Loaded loaded = LoadWithEachCode(header + line);
  ASSERT_EQ(loaded.error_number, 0);
  EXPECT_EQ(loaded.pixels, expected);
}

TEST(LoadPPMTest, LongTokensAndLongCommentsAreReadWhole) {
  std::string zeros(200000, '0');
  Loaded loaded = LoadFromText("P3\n2 1\n255\n" + zeros + "12 " + Repeat("9", 100000) + " 3\n#" +
                               std::string(300000, '5') + "\n4 5 6\n");
  ASSERT_EQ(loaded.error_number, 0);
  EXPECT_EQ(loaded.pixels, (Bytes{12, 255, 3, 4, 5, 6}));
}

// What only reading many bytes at a time could get wrong: numbers cut by a
// 16- or 32-byte block, one unusual byte in a block, a line end at a block
// end, and any mix of these, as random texts.
TEST(LoadPPMTest, FastPlainPathsMatchTheScalarPath) {
  std::vector<std::string> texts;
  for (int shift = 0; shift < 40; ++shift) {
    const std::string pad(std::size_t(shift), ' ');
    texts.push_back(pad + Repeat("255 7 31 ", 40) + "\n");                  // numbers across every boundary
    texts.push_back(pad + Repeat("1 22 333 ", 8) + "-5 9 9\n" + Repeat("4 ", 90));
    texts.push_back(pad + Repeat("12 ", 10) + "\n#" + Repeat(" 6", 40) + "\n" + Repeat("8 ", 90));
    texts.push_back(pad + Repeat("9\n", 20) + "12x 7 \v 3 1234 \t\r\n" + Repeat("77\n", 60));
    texts.push_back(pad + std::string("5 6\0 7 8 ", 10) + Repeat("3 ", 100));
  }
  std::mt19937 generator(8);
  const std::string pieces[] = {"0", "7", "42", "255", "999", "1000", " ", "  ", "\n", "\t", "\r\n", "\n#", "-", "+",
                                "x", "\v", "\f", std::string(1, '\0'), "0012"};
  for (int i = 0; i < 400; ++i) {
    std::string text;
    while (text.size() < 600) {
      const unsigned pick = generator() % 100;
      text += pick < 90 ? pieces[pick % 6] + pieces[6 + pick % 3] : pieces[pick % std::size(pieces)];
    }
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 60));
    LoadWithEachCode("P3\n20 4\n255\n" + text);
  }
}

TEST(ReadDecimalTest, FollowsTheAtoiRuleWithClamping) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"42", 42},       {"  \t\n\v\f\r42x", 42}, {"+7", 7},         {"-7", -7},           {"", 0},
      {"abc", 0},       {"-", 0},               {"- 5", 0},        {"2147483647", INT_MAX}, {"2147483648", INT_MAX},
      {"-2147483648", INT_MIN}, {"-2147483649", INT_MIN}, {"4294967297", INT_MAX},
      {"0000000000000000000000000123", 123},    {"99999999999999999999999999999999999999", INT_MAX},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadDecimal(c.text), c.value) << '"' << c.text << '"';
  }
}

}  // namespace
