#include "command_line.h"

namespace {

using namespace mottlepage_test;

TEST_F(CommandLineTest, HelpAndLoadFailures) {
  MakeFile("empty.ppm", "");
  MakeFile("p5.ppm", "P5\n1 1\n255\n\0");
  MakeFile("photo.png", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR");
  MakeFile("photo.jpg", "\xff\xd8\xff\xe0\0\x10JFIF");
  MakeFile("cut.ppm", "P6");
  MakeFile("my photo's $5.jpg", "\xff\xd8\xff\xe0\0\x10JFIF");
  MakeFile("-x.png", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR");
  MakeFile("photo.tif", std::string("II*\0\x08\0\0\0", 8));
  MakeFile("-y.bmp", "BM6\0\0\0");
  mkdir(Path("folder").c_str(), 0755);
  const struct {
    std::vector<std::string> arguments;
    std::string reason;  // words of the reason line; empty: the help was asked for
    std::string in_path = "/dev/null";  // empty: standard input closed
  } cases[] = {
      {{"-h"}, ""},
      {{"--help", "x", "1", "2", "3"}, ""},
      {{}, "mottlepage: no image given"},
      {{"-H"}, "mottlepage: -H: No such file or directory"},
      {{"--HELP"}, "--HELP: No such file"},
      {{"--", "x"}, "mottlepage: --: No such file"},
      {{"missing.ppm", "text"}, "missing.ppm: No such file"},
      {{"empty.ppm"}, "empty.ppm: empty"},
      {{"-"}, "standard input: empty"},
      {{"p5.ppm"}, "PGM (P5) P3 P6 with: ppmtoppm < p5.ppm | pamdepth 255 | mottlepage --width 250 - > page.html\n"},
      {{"photo.png", "\u2588", "1", "2", "3"}, "mottlepage: photo.png: not a readable PNG image:"},
      {{"--height", "9", "photo.jpg", ""}, "mottlepage: photo.jpg: not a readable JPEG image: Premature end of JPEG file"},
      {{"my photo's $5.jpg", "a'b"}, "mottlepage: my photo's $5.jpg: not a readable JPEG image:"},
      {{"-x.png"}, "mottlepage: -x.png: not a readable PNG image:"},
      {{"-"}, "mottlepage: standard input: not a readable PNG image:", "-x.png"},
      {{"photo.tif", "\u2588", "300", "-2", "9"},
       "TIFF with: convert photo.tif -auto-orient -background 'rgb(255,0,9)' -alpha remove -depth 8 ppm:- | "
       "mottlepage --width 250 - '\u2588' 300 -2 9 > page.html\n"},
      {{"--width", "80", "-"}, "BMP with: convert - -auto-orient -background 'rgb(0,0,0)' -alpha remove -depth 8 ppm:- | "
       "mottlepage --width 80 - > page.html\n", "-y.bmp"},
      {{"-y.bmp"}, "convert ./-y.bmp -auto-orient"},
      {{"cut.ppm"}, "header ends first line"},
      {{"folder"}, "folder: directory"},
      {{"/dev/null"}, "/dev/null: empty"},
      {{"/dev/zero"}, "not a PPM image P3 P6"},
      {{"-"}, "standard input: cannot read it: Bad file descriptor", ""},
      {{"-"}, "standard input: cannot read it: Is a directory", "."},
      {{"new\nline"}, "mottlepage: $'new\\nline': cannot open it"},
      {{"\x1b]0;x\a\x9b\xc2\x9b\u2588"}, "mottlepage: $'\\033]0;x\\a\\233\\302\\233\u2588': cannot"},
      {{"caf\xe9 it's"}, "mottlepage: $'caf\\351 it\\'s': cannot"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
    Outcome run = RunProgram(c.arguments, "", c.in_path.empty() ? "" : c.in_path[0] == '/' ? c.in_path : Path(c.in_path));
    if (!c.reason.empty()) {
      ExpectLoadFailure(run, c.reason);
      continue;
    }
    EXPECT_EQ(run.out, HELP);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

// A JPEG is drawn directly, from a file or standard input, at the page's
// size; a JPEG cut short draws what arrived with a warning; the --html5
// title is the file's name.
TEST_F(CommandLineTest, PhotosAreDrawnDirectly) {
  if (std::system("command -v convert > /dev/null") != 0) GTEST_SKIP() << "ImageMagick's convert is missing";
  const std::string make = "cd '" + Path("") + "' && convert -size 400x300 xc:'#3366CC' -quality 95 photo.jpg";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::string photo = ReadFile(Path("photo.jpg"));
  MakeFile("cut.jpg", photo.substr(0, photo.size() - 40));
  Outcome file = RunProgram({"--width", "50", "photo.jpg", "x"});
  EXPECT_EQ(file.err, "");
  EXPECT_EQ(file.status, 0);
  // One colour run of 50 cells a line, the blue give or take JPEG's rounding.
  EXPECT_NE(file.out.find("<font color=\"#3266CC\">" + std::string(50, 'x') + "<br>"), std::string::npos);
  Outcome piped = RunProgram({"--width", "50", "-", "x"}, "", Path("photo.jpg"));
  EXPECT_EQ(piped.out, file.out);
  Outcome html5 = RunProgram({"--html5", "--width=50", "photo.jpg", "x"});
  EXPECT_NE(html5.out.find("<title>photo.jpg</title>"), std::string::npos);
  Outcome cut = RunProgram({"--width", "50", "cut.jpg", "x"});
  EXPECT_EQ(cut.err, "mottlepage: cut.jpg: warning: the image data ends early (Premature end of JPEG file); "
                     "the rest is drawn from what arrived\n");
  EXPECT_EQ(cut.status, 0);
  EXPECT_NE(cut.out.find("</body>"), std::string::npos);
}

TEST_F(CommandLineTest, OptionsWinOverFilesOfTheirName) {
  const struct {
    const char* option;
    std::string out;
  } cases[] = {
      {"-h", HELP},
      {"--version", "mottlepage " MOTTLEPAGE_VERSION "\n"},
  };
  for (const auto& c : cases) {
    MakeFile(c.option, EXAMPLE_P6);
    Outcome run = RunProgram({c.option, "abcd"});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(CommandLineTest, PagesForArgumentCombinations) {
  MakeFile("example.ppm", EXAMPLE_P6);
  MakeFile("name with spaces \xc3\xa9.ppm", EXAMPLE_P6);
  MakeFile("-", EXAMPLE_P6);
  const struct {
    std::vector<std::string> arguments;
    std::string colours;
  } cases[] = {
      {{"example.ppm", "abcd"}, "0, 0, 0"},
      {{"example.ppm", "abcd", "20", "20", "40"}, "20, 20, 40"},
      {{"example.ppm", "abcd", "20", "20"}, "0, 0, 0"},
      {{"example.ppm", "abcd", "300", "-1", "word"}, "300, -1, 0"},
      {{"example.ppm", "abcd", " +7", "08", "1e3"}, "7, 8, 1"},
      {{"example.ppm", "abcd", std::string(40, '9'), "-" + std::string(40, '9'), "0"},
       "2147483647, -2147483648, 0"},
      {{"example.ppm", "abcd", "1", "2", "3", "ignored", "too"}, "1, 2, 3"},
      {{"name with spaces \xc3\xa9.ppm", "abcd"}, "0, 0, 0"},
      {{"-", "abcd", "4", "5", "6"}, "4, 5, 6"},  // standard input
      {{"./-", "abcd", "7", "8", "9"}, "7, 8, 9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.colours);
    Outcome run = RunProgram(c.arguments, "", Path("example.ppm"));
    EXPECT_EQ(run.out, Page(c.colours, EXAMPLE_LINES));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

// Options come before the image; the page's size is its line count and
// the cells of its first line.
TEST_F(CommandLineTest, OptionsChooseThePageSize) {
  std::string image = "P6\n40 30\n255\n" + std::string(40 * 30 * 3, '\x10');
  MakeFile("img.ppm", image);
  MakeFile("--width=3", image);
  const std::string usage = "\nTry 'mottlepage --help'\n";
  const struct {
    std::vector<std::string> arguments;
    int columns;  // 0: no page
    int lines;
    std::string err;
    std::string in_page = "";
  } cases[] = {
      {{"--width=20", "img.ppm", "x"}, 20, 6, ""},
      {{"--width", "20", "img.ppm", "x", "1", "2", "3"}, 20, 6, ""},
      {{"--height=6", "--width=20", "img.ppm"}, 19, 6, ""},
      {{"--width", "20", "--height", "3", "-", "x"}, 10, 3, ""},
      {{"--width=7", "--width=020", "img.ppm"}, 20, 6, ""},
      {{"./--width=3", "x"}, 40, 15, ""},
      {{"img.ppm", "--width=3"}, 40, 15, ""},
      {{"--width=0", "img.ppm"}, 0, 0, "mottlepage: --width: 0 is not a number from 1 to 65535" + usage},
      {{"--width=abc", "img.ppm"}, 0, 0, "mottlepage: --width: abc is not a number from 1 to 65535" + usage},
      {{"--width= 5", "img.ppm"}, 0, 0, "mottlepage: --width: ' 5' is not a number from 1 to 65535" + usage},
      {{"--width=", "img.ppm"}, 0, 0, "mottlepage: --width: '' is not a number from 1 to 65535" + usage},
      {{"--height=70000", "img.ppm"}, 0, 0, "mottlepage: --height: 70000 is not a number from 1 to 65535" + usage},
      {{"--width", "img.ppm"}, 0, 0, "mottlepage: --width: img.ppm is not a number from 1 to 65535" + usage},
      {{"--width"}, 0, 0, "mottlepage: --width: a number from 1 to 65535 must follow" + usage},
      {{"--html5", "--width=20", "img.ppm", "x"}, 20, 8, "", "<title>img.ppm</title>"},
      {{"--title", "a<b", "--html5", "-"}, 40, 15, "", "<title>a&lt;b</title>"},
      {{"--html5", "--title=", "-"}, 40, 15, "", "<title>standard input</title>"},
      {{"--title"}, 0, 0, "mottlepage: --title: a text must follow" + usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + (c.arguments.size() > 1 ? c.arguments[1] : ""));
    Outcome run = RunProgram(c.arguments, "", Path("img.ppm"));
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.columns > 0 ? 0 : 2);
    if (c.columns == 0) {
      EXPECT_EQ(run.out, "");
      continue;
    }
    EXPECT_NE(run.out.find(c.in_page), std::string::npos);
    const bool is_html5 = !c.in_page.empty();
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = run.out.find(is_html5 ? "<i " : "size=\"-3\"", at)) != std::string::npos; ++at) {
      ++lines;
    }
    EXPECT_EQ(lines, std::size_t(c.lines));
    std::size_t start = run.out.find(is_html5 ? ">" : "\">", run.out.find(is_html5 ? "style=color:#" : "color=")) + (is_html5 ? 1 : 2);
    EXPECT_EQ(run.out.find(is_html5 ? "</i>" : "<br>", start) - start, std::size_t(c.columns));
  }
  for (const char* p_first : {"--width=abc", "--width"}) {
    EXPECT_EQ(RunProgram({p_first, "--version", "img.ppm"}).out, "mottlepage " MOTTLEPAGE_VERSION "\n");
    EXPECT_EQ(RunProgram({"--width=4", p_first, "-h"}).out, HELP);
  }
}

TEST_F(CommandLineTest, MarkupInTheSourceStringIsEscaped) {
  MakeFile("example.ppm", EXAMPLE_P6);
  Outcome run = RunProgram({"example.ppm", "<&>\"'"});
  EXPECT_EQ(run.out, Page("0, 0, 0",
                          "size=\"-3\"><font \n"
                          "</font><font color=\"#FF0000\">&lt;&amp;<br></font><font </font><font \n"
                          "size=\"-3\"><font \n"
                          "</font><font color=\"#00FF00\">&gt;</font><font color=\"#0000FF\">\"<br></font><font "
                          "</font><font \n"));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandLineTest, RandomLettersAreTheSameOnEveryRun) {
  MakeFile("example.ppm", EXAMPLE_P6);
  // rand() without srand(): 1804289383 % 25 = 8, 846930886 % 25 = 11, 1681692777 % 25 = 2, ...
  Outcome first = RunProgram({"example.ppm"});
  Outcome again = RunProgram({"example.ppm"});
  Outcome empty = RunProgram({"example.ppm", "", "255", "255", "255"});
  EXPECT_EQ(first.out, again.out);
  EXPECT_NE(first.out.find("\">il<br>"), std::string::npos);
  std::string white_head = Page("255, 255, 255", "");
  white_head.resize(white_head.size() - std::string("</body>\n</html>\n").size());
  EXPECT_EQ(empty.out.substr(0, white_head.size()), white_head);
  EXPECT_EQ(empty.out.substr(empty.out.find("size=")), first.out.substr(first.out.find("size=")));
}

TEST_F(CommandLineTest, UnwritableOutputIsAFailure) {
  MakeFile("example.ppm", EXAMPLE_P6);
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"example.ppm", "ab"},
                                                    std::vector<std::string>{"--help"}}) {
    Outcome run = RunProgram(arguments, "/dev/full");
    EXPECT_EQ(run.err, "mottlepage: output could not be written: No space left on device\n");
    EXPECT_EQ(run.status, 1);
  }
}

}  // namespace
