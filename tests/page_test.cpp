#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "page/Characters.h"
#include "page/PageLines.h"
#include "page/PageSize.h"
#include "page/PageWriter.h"

namespace {

using Bytes = std::vector<unsigned char>;

PageStyle Style(const char* p_source, int red, int green, int blue, const char* p_title = nullptr) {
  PageStyle style;
  style.p_source = p_source;
  style.bg_red = red;
  style.bg_green = green;
  style.bg_blue = blue;
  style.p_title = p_title;
  return style;
}

// A page of a picture at its own size, through an output stream.
void WritePage(std::ostream& page, bool is_html5, const Bytes& pixels, int width, int height, const PageStyle& style,
               decltype(&WriteHTMLPage) p_write = nullptr) {
  char storage[OutputBuffer::MIN_SIZE];
  OutputBuffer out(page, storage, sizeof storage);
  const PageLines lines = GetPictureLines(pixels.data(), width, height);
  (p_write ? p_write : is_html5 ? WriteHTML5Page : WriteHTMLPage)(lines, style, out);
  out.Flush();
}

std::string RenderPage(const Bytes& pixels, int width, int height, const char* p_source, int red = 0,
                       int green = 0, int blue = 0) {
  std::ostringstream page;
  WritePage(page, false, pixels, width, height, Style(p_source, red, green, blue));
  return page.str();
}

// The picture resampled, as the page's scaled lines give it.
Bytes Resample(const Bytes& pixels, int width, int height, int target_width, int target_height, int rows_per_line = 1) {
  ScaledLines scaled_lines;
  PageLines lines;
  EXPECT_TRUE(scaled_lines.StartLines(pixels.data(), width, height, target_width, target_height, lines, rows_per_line));
  Bytes scaled;
  for (int y = 0; y < lines.count; ++y) {
    const unsigned char* p_line = lines.GetLine(y);
    const int rows = std::min(rows_per_line, target_height - y * rows_per_line);
    scaled.insert(scaled.end(), p_line, p_line + std::size_t(target_width) * 3 * rows);
  }
  return scaled;
}

const char PAGE_HEAD[] =
    "<html>\n<head>\n</head>\n"
    "<body style=\"color: rgb(255, 255, 255); background-color: rgb(0, 0, 0);\" link=\"#000099\" "
    "vlink=\"#990099\" alink=\"#000099\">\n"
    "<span style=\"font-family: monospace;\"></span><pre><font \n";
const char PAGE_TAIL[] = "</body>\n</html>\n";

// A plain rendering, written straight from the page's description with
// sprintf and rand(), to compare the fast writer against.
std::string ReferencePage(const Bytes& pixels, int width, int height, const char* p_source, int bg_red,
                          int bg_green, int bg_blue) {
  std::string page = "<html>\n<head>\n</head>\n<body style=\"color: rgb(255, 255, 255); background-color: rgb(" +
                     std::to_string(bg_red) + ", " + std::to_string(bg_green) + ", " + std::to_string(bg_blue) +
                     ");\" link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">\n" +
                     "<span style=\"font-family: monospace;\"></span><pre><font \n";
  std::srand(1);  // the same sequence as a never seeded rand()
  const std::size_t length = p_source ? std::strlen(p_source) : 0;
  for (int y = 0; y < height; y += 2) {
    page += "size=\"-3\"><font \n";
    int last_red = -1, last_green = -1, last_blue = -1;
    for (int x = 0; x < width; ++x) {
      const unsigned char* p = &pixels[(std::size_t(y) * width + x) * 3];
      char c = length > 0 ? p_source[(x + y) % length] : char('a' + std::rand() % 25);
      if (p[0] != last_red || p[1] != last_green || p[2] != last_blue) {
        char hex_string[16];
        std::sprintf(hex_string, "%02X%02X%02X", p[0], p[1], p[2]);
        page += std::string("</font><font color=\"#") + hex_string + "\">";
      }
      last_red = p[0], last_green = p[1], last_blue = p[2];
      page += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
      if (x == width - 1) page += "<br></font><font ";
    }
    page += "</font><font \n";
  }
  return page + "</body>\n</html>\n";
}

// Random image with runs of equal colour, so that both tags and runs occur.
Bytes RandomImage(int width, int height, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes pixels(std::size_t(width) * height * 3);
  for (std::size_t i = 0; i < pixels.size(); i += 3) {
    if (i >= 3 && generator() % 3 == 0) {
      std::memcpy(&pixels[i], &pixels[i - 3], 3);
    } else {
      for (int k = 0; k < 3; ++k) pixels[i + k] = static_cast<unsigned char>(generator() % 4 * 85);
    }
  }
  return pixels;
}

TEST(PageTest, WorkedExample) {
  const Bytes pixels{255, 0, 0, 255, 0, 0, 9, 9, 9, 7, 7, 7, 0, 255, 0, 0, 0, 255};
  EXPECT_EQ(RenderPage(pixels, 2, 3, "abcd"),
            std::string(PAGE_HEAD) +
                "size=\"-3\"><font \n"
                "</font><font color=\"#FF0000\">ab<br></font><font </font><font \n"
                "size=\"-3\"><font \n"
                "</font><font color=\"#00FF00\">c</font><font color=\"#0000FF\">d<br></font><font </font><font \n" +
                PAGE_TAIL);
}

TEST(PageTest, MatchesThePlainRenderingOnRandomImages) {
  const struct {
    int width;
    int height;
    const char* p_source;
  } cases[] = {
      {1, 1, "x"},     {1, 2, "x"},        {3, 5, "<&>"},       {97, 61, "mottle"},
      {64, 64, nullptr}, {257, 33, "a<b&c>d"}, {500, 301, nullptr}, {1200, 9, "0123456789"},
  };
  unsigned seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Bytes pixels = RandomImage(c.width, c.height, seed++);
    EXPECT_EQ(RenderPage(pixels, c.width, c.height, c.p_source, 20, 20, 40),
              ReferencePage(pixels, c.width, c.height, c.p_source, 20, 20, 40));
  }
}

// A 4 x 3 image of one colour: the cells of text lines 0 and 2. Well-formed
// UTF-8 with a character beyond ASCII draws one code point per pixel and
// declares its encoding; any other string draws one byte per pixel.
TEST(PageTest, SourceStringsDrawCodePointsOrBytes) {
  const struct {
    const char* name;
    std::string source;
    bool is_unicode;
    std::string line_0;
    std::string line_2;
  } cases[] = {
      {"ascii", "abc", false, "abca", "cabc"},
      {"one block", "\u2588", true, "\u2588\u2588\u2588\u2588", "\u2588\u2588\u2588\u2588"},
      {"two to four bytes", "\u00e9\u2588\U0001F339", true, "\u00e9\u2588\U0001F339\u00e9",
       "\U0001F339\u00e9\u2588\U0001F339"},
      {"markup escaped", "a<\u00e9", true, "a&lt;\u00e9a", "\u00e9a&lt;\u00e9"},
      {"combining mark counts", "e\u0301", true, "e\u0301e\u0301", "e\u0301e\u0301"},
      {"overlong", "\xC0\xAF", false, "\xC0\xAF\xC0\xAF", "\xC0\xAF\xC0\xAF"},
      {"surrogate", "\xED\xA0\x80", false, "\xED\xA0\x80\xED", "\x80\xED\xA0\x80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, "\xF4\x90\x80\x80", "\x80\x80\xF4\x90"},
      {"cut off at the end", "\u00e9\xE2\x96", false, "\xC3\xA9\xE2\x96", "\xE2\x96\xC3\xA9"},
      {"lone continuation", "\x80" "a", false, "\x80" "a\x80" "a", "\x80" "a\x80" "a"},
      {"Latin-1", "caf\xE9", false, "caf\xE9", "f\xE9" "ca"},
  };
  const Bytes pixels(4 * 3 * 3, 7);
  const std::string tag = "</font><font color=\"#070707\">";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string head = PAGE_HEAD;
    if (c.is_unicode) head.insert(head.find("</head>"), "<meta charset=\"utf-8\">\n");
    EXPECT_EQ(RenderPage(pixels, 4, 3, c.source.c_str()),
              head + "size=\"-3\"><font \n" + tag + c.line_0 + "<br></font><font </font><font \n" +
                  "size=\"-3\"><font \n" + tag + c.line_2 + "<br></font><font </font><font \n" + PAGE_TAIL);
  }
}

std::string RenderHtml5Page(const Bytes& pixels, int width, int height, const char* p_source, int red = 0,
                            int green = 0, int blue = 0, const char* p_title = "T") {
  std::ostringstream page;
  WritePage(page, true, pixels, width, height, Style(p_source, red, green, blue, p_title));
  return page.str();
}

// Each text line of a page of either kind as its runs: "RRGGBB:characters"
// for every run, so that pages of both kinds can be compared cell by cell.
std::vector<std::string> Runs(const std::string& page) {
  std::vector<std::string> lines;
  std::istringstream text(page);
  for (std::string line; std::getline(text, line);) {
    if (line.find("color=\"#") == std::string::npos && line.find("style=color:#") == std::string::npos) continue;
    std::string runs;
    for (std::size_t at = 0; (at = line.find("color", at)) != std::string::npos;) {
      at = line.find('#', at) + 1;
      std::size_t start = line.find('>', at) + 1;
      runs += line.substr(at, 6) + ":" + line.substr(start, line.find('<', start) - start) + " ";
    }
    lines.push_back(runs);
  }
  return lines;
}

TEST(PageTest, Html5WorkedExample) {
  const Bytes pixels{255, 0, 0, 255, 0, 0, 9, 9, 9, 7, 7, 7, 0, 255, 0, 0, 0, 255};
  EXPECT_EQ(RenderHtml5Page(pixels, 2, 3, "abcd", 300, -1, 7, "a<b&\x01\xff\xEF\xB7\x90"),
            "<!DOCTYPE html>\n<html lang=\"zxx\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<title>a&lt;b&amp;\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD</title>\n<style>\n"
            "body{color:#FFFFFF;background:rgb(255, 0, 7)}\n"
            "pre{margin:0;font:9px/10px monospace;content-visibility:auto;overflow-clip-margin:2px;"
            "contain-intrinsic-size:auto 2ch auto 160px}\n"
            "i{font-style:normal}\n</style>\n</head>\n<body>\n"
            "<pre style=\"contain-intrinsic-height:auto 20px\"><i style=color:#FF0000>ab</i>\n"
            "<i style=color:#00FF00>c</i><i style=color:#0000FF>d</i></pre>\n"
            "</body>\n</html>\n");
  // Two rows a line; under the odd last row, the background.
  std::ostringstream halves;
  WritePage(halves, true, pixels, 2, 3, Style("", 300, -1, 7, "T"), WriteHalfBlockPage);
  EXPECT_EQ(halves.str().substr(halves.str().find("pre{")),
            "pre{margin:0;font:8.75px/10px monospace;content-visibility:auto;overflow-clip-margin:2px;"
            "contain-intrinsic-size:auto 2ch auto 160px}\n"
            "i{font-style:normal;display:inline-block;vertical-align:top;height:5px;border-top:5px solid}\n"
            "</style>\n</head>\n<body>\n<pre style=\"contain-intrinsic-height:auto 20px\">"
            "<i style=color:#FF0000;background:#090909> </i><i style=color:#FF0000;background:#070707> </i>\n"
            "<i style=color:#00FF00;background:#FF0007> </i><i style=color:#0000FF;background:#FF0007> </i></pre>\n"
            "</body>\n</html>\n");
}

// The same cells in the same colours as the default page, for every kind of
// source string, in blocks of 16 lines; a string that is not UTF-8 shows
// its bytes as Windows-1252 characters, and characters HTML forbids show as
// U+FFFD.
TEST(PageTest, Html5PagesDrawTheDefaultPagesCells) {
  const struct {
    int width, height;
    const char* p_source;
    const char* p_html5_source;  // null: the same
  } cases[] = {
      {1, 1, "x", nullptr},          {3, 5, "<&>", nullptr},       {97, 61, "mottle", nullptr},
      {64, 64, nullptr, nullptr},    {257, 33, "\u2588\u00e9<", nullptr}, {40, 70, "", nullptr},
      {9, 3, "caf\xE9 \x80\x81", "caf\u00e9 \u20ac\xEF\xBF\xBD"},
      // Characters HTML forbids or that break a line: U+FFFD, one cell each.
      {7, 3, "a\x01\t\n\r\f\x7F", "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {6, 3, "\x81\x8D\x8F\x90\x9D\xA0", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\u00a0"},
      {5, 3, "\u00e9\xC2\x80\xC2\x9F\u00a0\x1F", "\u00e9\xEF\xBF\xBD\xEF\xBF\xBD\u00a0\xEF\xBF\xBD"},
      {7, 3, "\uFDCF\xEF\xB7\x90\xEF\xB7\xAF\uFDF0\uFFFD\xEF\xBF\xBE\xEF\xBF\xBF",
       "\uFDCF\xEF\xBF\xBD\xEF\xBF\xBD\uFDF0\uFFFD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {5, 3, "\U0001FFFD\xF0\x9F\xBF\xBE\xF3\xAF\xBF\xBF\xF4\x8F\xBF\xBE\xF4\x8F\xBF\xBF",
       "\U0001FFFD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  unsigned seed = 11;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Bytes pixels = RandomImage(c.width, c.height, seed++);
    const std::string html5 = RenderHtml5Page(pixels, c.width, c.height, c.p_source);
    EXPECT_EQ(Runs(html5), Runs(RenderPage(pixels, c.width, c.height, c.p_html5_source ? c.p_html5_source : c.p_source)));
    std::size_t blocks = 0;
    for (std::size_t at = 0; (at = html5.find("<pre", at)) != std::string::npos; ++at) ++blocks;
    EXPECT_EQ(blocks, std::size_t(((c.height + 1) / 2 + 15) / 16));
  }
}

TEST(PageTest, EmptySourceStringGivesRandomLetters) {
  Bytes pixels = RandomImage(40, 10, 7);
  EXPECT_EQ(RenderPage(pixels, 40, 10, ""), RenderPage(pixels, 40, 10, nullptr));
  EXPECT_EQ(RenderPage(pixels, 40, 10, nullptr), ReferencePage(pixels, 40, 10, nullptr, 0, 0, 0));
}

TEST(PageTest, StopsWritingOnceTheStreamFails) {
  std::ostringstream page;
  page.setstate(std::ios::badbit);
  Bytes pixels(3 * 1000 * 1000);
  WritePage(page, false, pixels, 1000, 1000, Style("x", 0, 0, 0));  // must simply return
  EXPECT_TRUE(page.bad());
}

// A flat colour stays exactly that colour at any size; an image of 2 x 2
// blocks halves to exactly the blocks' colours, in either direction alone
// too when the other keeps its size. A page's scaled lines are the same
// rows, made one at a time.
TEST(ResampleTest, FlatColoursAndBlocksComeOutExact) {
  const struct {
    int width, height, target_width, target_height;
  } cases[] = {{1, 1, 7, 3}, {97, 61, 13, 5}, {5, 300, 11, 2}, {4224, 3, 250, 7}, {64, 64, 32, 32}, {10, 6, 5, 6},
               {3, 4, 8, 11}, {6, 5, 2, 9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    auto flat_image = [](std::size_t pixels) {
      Bytes flat(pixels * 3);
      for (std::size_t i = 0; i < flat.size(); ++i) flat[i] = static_cast<unsigned char>(201 + i % 3 * 17);
      return flat;
    };
    const Bytes flat = flat_image(std::size_t(c.width) * c.height);
    Bytes scaled = Resample(flat, c.width, c.height, c.target_width, c.target_height);
    EXPECT_EQ(scaled, flat_image(scaled.size() / 3));
    Bytes random = RandomImage(c.width, c.height, 5);  // two rows a line: the same rows
    EXPECT_EQ(Resample(random, c.width, c.height, c.target_width, c.target_height, 2),
              Resample(random, c.width, c.height, c.target_width, c.target_height));
    if (c.width % 2 != 0 || c.width != 2 * c.target_width) continue;
    Bytes blocks = RandomImage(c.target_width, c.target_height, 3);
    Bytes doubled(flat.size());
    const int y_step = c.height / c.target_height;
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        std::memcpy(&doubled[(std::size_t(y) * c.width + x) * 3],
                    &blocks[(std::size_t(y / y_step) * c.target_width + x / 2) * 3], 3);
      }
    }
    EXPECT_EQ(Resample(doubled, c.width, c.height, c.target_width, c.target_height), blocks);
  }
}

// Cells 5.4 x 13: a 40 x 30 image is 0.3115 text lines per character.
TEST(ResampleTest, PageSizesKeepTheProportionsWithinTheLimits) {
  const struct {
    int width, height, columns, lines, page_columns, page_lines;
  } cases[] = {
      {40, 30, 20, 0, 20, 6},         {40, 30, 0, 6, 19, 6},          {40, 30, 20, 3, 10, 3},
      {40, 30, 20, 60, 20, 6},        {40, 30, 0, 65535, 65535, 20417}, {1, 65535, 5, 0, 2, 65535},
      {65535, 1, 0, 1, 65535, 1},     {65535, 1, 3, 0, 3, 1},         {18, 52, 36, 3, 3, 3},  // 2.5 columns
      {6, 13, 15, 0, 15, 14},  // 13.5 lines
  };
  for (const auto& c : cases) {
    int columns = 0, lines = 0;
    ChoosePageSize(c.width, c.height, c.columns, c.lines, PAGE_CELL, columns, lines);
    EXPECT_EQ(columns, c.page_columns) << c.width << "x" << c.height << " in " << c.columns << "x" << c.lines;
    EXPECT_EQ(lines, c.page_lines) << c.width << "x" << c.height << " in " << c.columns << "x" << c.lines;
  }
}

// Along a grey ramp a shade never has less ink (a later place in the
// string) than the one to its left, from the first at black to the last at
// white, each used; on a light background the other way round. The middle
// of lightness (L* 50) lies between greys 118 and 119.
TEST(ShadeTest, GreyRampGoesFromLeastInkToMost) {
  const struct {
    std::vector<std::string> shades;
    int first_of_second;  // the darkest grey drawn with the second shade
  } cases[] = {{{" ", ".", ":", "-", "=", "+", "*", "#", "%", "@"}, 0}, {{"\u2591", "\u2592", "\u2593", "\u2588"}, 0},
               {{"a", "&lt;"}, 119}};
  for (const auto& c : cases) {
    std::string joined;
    for (const std::string& shade : c.shades) joined += shade == "&lt;" ? "<" : shade;
    for (bool is_light : {false, true}) {
      SCOPED_TRACE(joined + (is_light ? " on white" : ""));
      ShadeCharacters characters(joined.c_str(), true, is_light);
      std::vector<int> places;
      for (int grey = 0; grey < 256; ++grey) {
        const unsigned char rgb[3] = {static_cast<unsigned char>(grey), static_cast<unsigned char>(grey),
                                      static_cast<unsigned char>(grey)};
        char cell[MAX_CHARACTER_BYTES];
        const std::string drawn(cell, characters.Put(cell, rgb));
        const int place = int(std::find(c.shades.begin(), c.shades.end(), drawn) - c.shades.begin());
        places.push_back(is_light ? int(c.shades.size()) - 1 - place : place);
        ASSERT_LT(place, int(c.shades.size())) << drawn;
        EXPECT_GE(places[grey], places[grey > 0 ? grey - 1 : 0]) << "grey " << grey;
      }
      EXPECT_EQ(places.front(), 0);
      EXPECT_EQ(places.back(), int(c.shades.size()) - 1);
      EXPECT_EQ(std::set<int>(places.begin(), places.end()).size(), c.shades.size());
      if (c.first_of_second > 0) {
        EXPECT_EQ(std::find(places.begin(), places.end(), 1) - places.begin(), c.first_of_second);
      }
    }
  }
}

TEST(LibcRandomTest, ReproducesRandWithoutSeed) {
  std::srand(1);
  LibcRandom random;
  for (int i = 0; i < 1000000; ++i) {
    ASSERT_EQ(random.GetNextValue(), std::rand()) << "value " << i;
  }
}

}  // namespace
