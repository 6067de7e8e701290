#include <csignal>
#include <iterator>

#include "command_line.h"

namespace {

using namespace mottlepage_test;

TEST_F(CommandLineTest, HelpAndLoadFailures) {
  MakeFile("empty.ppm", "");
  MakeFile("p5.ppm", "P5\n1 1\n255\n\0");
  MakeFile("photo.png", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR");
  MakeFile("photo.jpg", "\xff\xd8\xff\xe0\0\x10JFIF");
  MakeFile("cut.ppm", "P6");
  MakeFile("my photo's $5.pam", "P7\nWIDTH 1\n");
  MakeFile("-x.png", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR");
  MakeFile("photo.pam", "P7\nWIDTH 1\n");
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
      {{"--", "-h", "--help"}, "mottlepage: -h: No such file"},
      {{"missing.ppm", "text"}, "missing.ppm: No such file"},
      {{"empty.ppm"}, "empty.ppm: empty"},
      {{"-"}, "standard input: empty"},
      {{"p5.ppm"}, "PGM (P5) P3 P6 with: ppmtoppm < p5.ppm | pamdepth 255 | mottlepage --width 250 -o p5.html -\n"},
      {{"photo.png", "\u2588", "1", "2", "3"}, "mottlepage: photo.png: not a readable PNG image:"},
      {{"--height", "9", "photo.jpg", ""}, "mottlepage: photo.jpg: not a readable JPEG image: Premature end of JPEG file"},
      {{"-x.png"}, "mottlepage: -x.png: not a readable PNG image:"},
      {{"-"}, "mottlepage: standard input: not a readable PNG image:", "-x.png"},
      {{"photo.pam", "\u2588", "300", "-2", "9"},
       "PAM with: convert photo.pam -auto-orient -background 'rgb(255,0,9)' -alpha remove -depth 8 ppm:- | "
       "mottlepage --width 250 -o photo.html - '\u2588' 300 -2 9\n"},
      {{"--shades", "ab", "-o", "a.htm", "photo.pam"}, "convert photo.pam | mottlepage --width 250 --shades ab -o a.htm -\n"},
      {{"my photo's $5.pam", "a'b"}, "convert 'my photo'\\''s $5.pam' | mottlepage --width 250 -o 'my photo'\\''s $5.html' - 'a'\\''b'"},
      {{"--width", "80", "-"}, "BMP with: convert - -auto-orient -background 'rgb(0,0,0)' -alpha remove -depth 8 ppm:- | "
       "mottlepage --width 80 -o page.html -\n", "-y.bmp"},
      {{"-y.bmp"}, "convert ./-y.bmp -auto-orient -o ./-y.html"},
      {{"-w", "20", "x.ppm"}, "mottlepage: -w: No such file or directory; nor option --half-blocks, -o FILE, ./-w\n"},
      {{"photo.pam", "--half-blocks"}, "convert photo.pam | mottlepage --width 250 --half-blocks -o photo.html -\n"},
      {{"cut.ppm"}, "header ends first line"},
      {{"folder"}, "mottlepage: folder: is a directory, not an image file\n"},
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
// title is the file's name. A TIFF of two pages draws the first with a
// warning, from its file and held whole from a pipe; a JPEG XL comes the
// same through a pipe in pieces of 5 bytes (box headers cut in two).
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
  if (std::string(MOTTLEPAGE_READ_FORMATS).find("GIF") != std::string::npos) {
    EXPECT_EQ(RunProgram({FIXTURES_DIR "/anim.gif", "x"}).err,
              "mottlepage: " FIXTURES_DIR "/anim.gif: warning: the file holds 3 frames; the first is drawn\n");
  }

  const std::string formats = MOTTLEPAGE_READ_FORMATS;
  if (formats.find("TIFF, JPEG XL") == std::string::npos || std::system("command -v cjxl > /dev/null") != 0) return;
  const std::string more = "cd '" + Path("") + "' && convert photo.jpg xc:red pages.tif && "
                           "convert -seed 3 -size 160x100 plasma: plasma.jpg && cjxl --quiet plasma.jpg photo.jxl";
  ASSERT_EQ(std::system((more + " 2> /dev/null").c_str()), 0);
  Outcome pages = RunProgram({"--width", "50", "pages.tif", "x"});
  EXPECT_EQ(pages.err, "mottlepage: pages.tif: warning: the file holds 2 pages; the first is drawn\n");
  EXPECT_EQ(pages.out, file.out);
  Outcome jxl = RunProgram({"--width", "50", "photo.jxl", "x"});
  EXPECT_EQ(jxl.err, "");
  MakeFile("pipes.sh", "cat pages.tif | \"$1\" --width 50 - x > tif.html 2> /dev/null && "
                       "split -b 5 --filter=cat photo.jxl | \"$1\" --width 50 - x > jxl.html");
  ASSERT_EQ(RunScript("pipes.sh"), 0);
  EXPECT_EQ(ReadFile(Path("tif.html")), file.out);
  EXPECT_EQ(ReadFile(Path("jxl.html")), jxl.out);
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

// The example's text lines drawn with a string of these four characters.
std::string ExampleLines(const std::string& cells) {
  std::string lines = EXAMPLE_LINES;
  lines.replace(lines.find(">ab<") + 1, 2, cells, 0, 2);
  lines.replace(lines.find(">c<") + 1, 1, cells, 2, 1);
  return lines.replace(lines.find(">d<") + 1, 1, cells, 3, 1);
}

TEST_F(CommandLineTest, PagesForArgumentCombinations) {
  MakeFile("example.ppm", EXAMPLE_P6);
  MakeFile("name with spaces \xc3\xa9.ppm", EXAMPLE_P6);
  MakeFile("-", EXAMPLE_P6);
  // Blocks of the example's colours that scale to its page: red over green
  // and blue, 13 x 32 pixels each.
  std::string blocks = "P6\n26 64\n255\n";
  for (int pixel = 0; pixel < 26 * 64; ++pixel) {
    blocks.append(pixel < 26 * 32 ? "\xff\0\0" : pixel % 26 < 13 ? "\0\xff\0" : "\0\0\xff", 3);
  }
  MakeFile("blocks.ppm", blocks);
  const struct {
    std::vector<std::string> arguments;
    std::string colours;
    std::string cells = "abcd";
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
      {{"--height", "2", "blocks.ppm", "abcd", "1", "1", "1"}, "1, 1, 1"},
      {{"example.ppm", "-x", "-5", "--nope", "-"}, "-5, 0, 0", "-x-x"},
      {{"example.ppm", "--widthx", "1", "-o5", "--html"}, "1, 0, 0", "--wi"},
      {{"example.ppm", "--", "--html5", "4", "5", "6"}, "4, 5, 6", "--ht"},
      {{"--", "example.ppm", "abcd", "--", "1", "2"}, "0, 1, 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.colours);
    Outcome run = RunProgram(c.arguments, "", Path("example.ppm"));
    EXPECT_EQ(run.out, Page(c.colours, ExampleLines(c.cells)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

// Options stand before or after the image; the page's size is its line
// count and the cells of its first line.
TEST_F(CommandLineTest, OptionsChooseThePageSize) {
  std::string image = "P6\n40 30\n255\n" + std::string(40 * 30 * 3, '\x10');
  MakeFile("img.ppm", image);
  MakeFile("--width=3", image);
  MakeFile("wide.ppm", "P6\n1001 2\n255\n" + std::string(1001 * 2 * 3, '\x10'));
  MakeFile("edge.ppm", "P6\n1000 2\n255\n" + std::string(1000 * 2 * 3, '\x10'));
  MakeFile("cut.ppm", "P6\n1001 4\n255\n" + std::string(1001 * 3, '\x10'));
  const std::string usage = "\nTry 'mottlepage --help'\n";
  const std::string wide = ": warning: the page is 1001 characters wide, which a browser takes minutes to show; "
                           "--width 250 fits a screen 1400 px wide\n";
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
      {{"img.ppm", "x", "--width", "20", "1", "2", "3"}, 20, 6, ""},
      {{"-", "--height", "3"}, 10, 3, ""},
      {{"img.ppm", "x", "1", "2", "--html5"}, 40, 15, "", "<title>img.ppm</title>"},
      {{"--html5", "img.ppm", "--title", "--help"}, 40, 15, "", "<title>--help</title>"},
      {{"--html5", "-", "--shades", "ab"}, 40, 15, "", ">" + std::string(40, 'a') + "</i>"},
      {{"img.ppm", "--", "--html5"}, 40, 15, ""},
      {{"wide.ppm"}, 1001, 1, "mottlepage: wide.ppm" + wide},
      {{"edge.ppm"}, 1000, 1, ""},
      {{"--height=1", "wide.ppm"}, 1205, 1, ""},
      {{"cut.ppm", "x"}, 1001, 2, "mottlepage: cut.ppm: warning: the image data ends after 3003 of 12012 bytes; "
                                  "the rest is drawn black\nmottlepage: cut.ppm" + wide},
      {{"img.ppm", "--help", "-h", "--version", "--"}, 40, 15, ""},
      {{"--shades", "ab", "--width=20", "img.ppm", "", "255", "255", "255"}, 20, 6, ""},
      {{"--html5", "--shades=ab", "-"}, 40, 15, "", "<title>standard input</title>"},
      {{"--shades=\u2588", "img.ppm"}, 0, 0, "mottlepage: --shades: '\u2588' holds fewer than two characters; give them from least ink to most, as ' .:#'" + usage},
      {{"--shades", "ab", "img.ppm", "x"}, 0, 0, "mottlepage: --shades: the shades draw the picture, so the source string x must be empty: give '' before a background colour" + usage},
      {{"--title=t", "img.ppm"}, 0, 0, "mottlepage: --title: a title needs --html5, the page with a head to hold it" + usage},
      {{"-o"}, 0, 0, "mottlepage: -o: a file name must follow" + usage},
      {{"--output=", "missing.ppm"}, 0, 0, "mottlepage: --output: a file name must follow" + usage},
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
      // Half blocks: an HTML5 page sized for half cells, two rows a line.
      {{"--half-blocks", "-", "", "255", "255", "255"}, 40, 15, "", "background:rgb(255, 255, 255)}"},
      {{"img.ppm", "--half-blocks", "--height=3", "--title", "t", "-o", "a.html"}, 8, 3, "", "<title>t</title>"},
      {{"--half-blocks", "--height=1", FIXTURES_DIR "/alpha.png", "", "255", "255", "255"}, 2, 1, "",
       "<i style=color:#FF7F7F;background:#0000FF>  </i><i style=color:#FFFFFF;background:#FFFFFF>  </i></pre>"},
      {{"--half-blocks", "img.ppm", "x"}, 0, 0, "mottlepage: --half-blocks: the halves draw the picture in colour alone, so the source string x must be empty: give '' before a background colour" + usage},
      {{"--shades=ab", "img.ppm", "", "--half-blocks"}, 0, 0, "mottlepage: --shades: the half blocks draw the picture in colour alone, without characters: give one or the other" + usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + (c.arguments.size() > 1 ? c.arguments[1] : ""));
    Outcome run = RunProgram(c.arguments, "", Path("img.ppm"));
    if (c.arguments.back() == "a.html") run.out = ReadFile(Path("a.html"));
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.columns > 0 ? 0 : 2);
    if (c.columns == 0) {
      EXPECT_EQ(run.out, "");
      continue;
    }
    EXPECT_NE(run.out.find(c.in_page), std::string::npos);
    const bool is_html5 = !c.in_page.empty();
    std::size_t lines = 0;  // an HTML5 text line starts a block or follows a line's end
    for (const char* p_start : {is_html5 ? "<pre" : "size=\"-3\"", is_html5 ? "\n<i " : "\r"}) {
      for (std::size_t at = 0; (at = run.out.find(p_start, at)) != std::string::npos; ++at) ++lines;
    }
    EXPECT_EQ(lines, std::size_t(c.lines));
    std::size_t start = run.out.find(is_html5 ? ">" : "\">", run.out.find(is_html5 ? "style=color:#" : "color=")) + (is_html5 ? 1 : 2);
    EXPECT_EQ(run.out.find(is_html5 ? "</i>" : "<br>", start) - start, std::size_t(c.columns));
  }
  for (const char* p_first : {"--width=abc", "--width"}) {
    EXPECT_EQ(RunProgram({p_first, "--version", "img.ppm"}).out, "mottlepage " MOTTLEPAGE_VERSION "\n");
    EXPECT_EQ(RunProgram({"--width=4", p_first, "-h"}).out, HELP);
  }
  const Outcome shown = RunProgram({"cut.ppm", "x"});  // -o after the image: that page, those warnings
  for (const char* p_output : {"-o", "--output"}) {
    const Outcome run = RunProgram({"cut.ppm", "x", p_output, "a.html"});
    EXPECT_EQ(run.out + run.err + ReadFile(Path("a.html")), shown.err + shown.out);
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
  // Likewise a page beyond the file size limit (ulimit -f), not an end by SIGXFSZ.
  _prefix = {"prlimit", "--fsize=100"};
  Outcome run = RunProgram({"example.ppm", "ab"}, Path("page.html"));
  EXPECT_EQ(run.err, "mottlepage: output could not be written: File too large\n");
  EXPECT_EQ(run.status, 1);
}

// --output: only a complete page replaces FILE, keeping its mode (a new
// FILE gets a redirection's); any failure or signal leaves FILE and no
// temporary file. Links and FIFOs in a shared folder are refused as Debian's
// kernel refuses them (another user's), and the image is never FILE.
TEST_F(CommandLineTest, OutputFileIsReplacedOnlyByACompletePage) {
  for (const char* p_dir : {"small", "locked", "folder", "shared", "home"}) mkdir(Path(p_dir).c_str(), 0755);
  const std::string mount = "mount -t tmpfs -o size=64k tmpfs ";
  if (std::system((mount + Path("small") + " 2>/dev/null && " + mount + Path("locked")).c_str()) != 0) {
    if (std::system(("umount " + Path("small") + " 2>/dev/null").c_str()) != 0) {
      // Nothing was mounted: the usual case where mounting is not allowed.
    }
    GTEST_SKIP() << "no tmpfs can be mounted here";
  }
  struct Unmount {
    std::string dirs;
    ~Unmount() { EXPECT_EQ(std::system(("umount " + dirs).c_str()), 0); }
  } unmount{Path("small") + " " + Path("locked")};
  MakeFile("example.ppm", EXAMPLE_P6);
  std::string big = "P6\n300 300\n255\n";
  for (int i = 0; i < 300 * 300 * 3; ++i) big += char(i * 7919 % 251);
  MakeFile("big.ppm", big);
  for (const char* p_name : {"small/old.html", "locked/old.html"}) chmod(MakeFile(p_name, "old").c_str(), 0640);
  ASSERT_EQ(std::system(("mount -o remount,ro " + Path("locked")).c_str()), 0);
  const mode_t mask = umask(022);
  umask(mask);
  // Two users besides root: ME runs the program, THEY leave links and FIFOs in the shared folder.
  const uid_t ME = 1001, THEY = 1002;
  chmod(_dir.c_str(), 0755);
  chmod(Path("shared").c_str(), 01777);
  ASSERT_EQ(chown(Path("home").c_str(), ME, ME), 0);
  const struct {
    const char* p_name;
    const char* p_target;
    uid_t owner;
  } links[] = {{"shared/theirs.html", "../home/mine.html", THEY}, {"shared/dangling.html", "../home/new.html", THEY},
               {"shared/mine.html", "../home/mine.html", ME},     {"shared/chain.html", "theirs.html", ME},
               {"image.html", "old.html", 0},                     {"link.html", "made.html", 0}};
  for (const auto& link : links) {
    const std::string path = Path(link.p_name);
    ASSERT_EQ(symlink(link.p_target, path.c_str()) | lchown(path.c_str(), link.owner, link.owner), 0);
  }
  int fifos[2] = {};  // held open to read and write, so that no open of the program waits
  for (uid_t owner : {ME, THEY}) {
    const std::string fifo = Path(owner == ME ? "shared/my.fifo" : "shared/their.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666) | chmod(fifo.c_str(), 0666) | chown(fifo.c_str(), owner, owner), 0);
    fifos[owner == THEY] = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  }
  MakeFile("noproc.sh", "mount -t tmpfs none /proc && exec \"$@\"");  // no O_TMPFILE linking: named files
  const std::string as_me = "setpriv --reuid=1001 --regid=1001 --clear-groups";
  const std::string signal = "strace -o /dev/null -e trace=write -e inject=write:signal=";
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string err;  // the words of standard error; "!word": a word it lacks
    std::string prefix = "";  // the command that runs the program
    int mode = 0640;
    std::string in = "/dev/null";
  } cases[] = {
      {{"-o", "old.html", "example.ppm", "abcd"}, 0, ""},
      {{"--output=new.html", "example.ppm", "abcd"}, 0, "", "", int(0666 & ~mask)},
      {{"-o", "old.html", "missing.ppm"}, 1, "missing.ppm: No such file"},
      {{"-o", "old.html", "--width=0", "example.ppm"}, 2, "--width: 0"},
      {{"-o", "small/old.html", "big.ppm"}, 1, "small/old.html: not be written: No space left on device"},
      {{"-o", "locked/old.html", "example.ppm"}, 1, "locked/old.html: not be written: Read-only file system"},
      {{"-o", "/dev/full", "example.ppm"}, 1, "/dev/full: not be written: No space left on device"},
      {{"--output", "folder", "example.ppm"}, 1, "folder: not be written: Is a directory"},
      {{"-o", "link.html", "example.ppm", "abcd"}, 0, "", "", int(0666 & ~mask)},  // dangling: made where it points
      {{"-o", "nowhere/new.html", "example.ppm"}, 1, "nowhere/new.html: not be written: No such file !left"},
      {{"-o", "shared/theirs.html", "example.ppm"}, 1, "shared/theirs.html: Permission denied; left", as_me},
      {{"-o", "shared/theirs.html", "example.ppm"}, 1, "Permission denied"},  // root too, as in the kernel
      {{"-o", "shared/dangling.html", "example.ppm"}, 1, "Permission denied", as_me},
      {{"-o", "shared/chain.html", "example.ppm"}, 1, "Permission denied", as_me},
      {{"-o", "shared/their.fifo", "example.ppm"}, 1, "Permission denied", as_me},
      {{"-o", "shared/mine.html", "example.ppm", "abcd"}, 0, "", as_me},
      {{"-o", "shared/my.fifo", "example.ppm", "abcd"}, 0, "", as_me},
      {{"-o", "old.html", "old.html"}, 1, "old.html: not be written: it is the image itself; left"},
      {{"-o", "image.html", "old.html"}, 1, "image.html: it is the image itself"},
      {{"-o", "old.html", "-"}, 1, "old.html: it is the image itself", "", 0640, "old.html"},
      {{"-o", "old.html", "big.ppm"}, 1, "old.html: not be written: File too large", "prlimit --fsize=4096"},
      {{"-o", "old.html", "big.ppm"}, 128 + SIGKILL, "", signal + "KILL"},
      {{"-o", "old.html", "example.ppm", "abcd"}, 0, "", "unshare -m sh noproc.sh"},
      {{"-o", "old.html", "big.ppm"}, 128 + SIGUSR1, "", "unshare -m sh noproc.sh " + signal + "USR1"},
      {{"-o", "old.html", "big.ppm"}, 128 + SIGALRM, "", "unshare -m sh noproc.sh " + signal + "ALRM"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[1] + " " + c.prefix);
    std::istringstream prefix(c.prefix);
    _prefix.assign(std::istream_iterator<std::string>(prefix), std::istream_iterator<std::string>());
    if (!_prefix.empty() && std::system(("command -v " + _prefix[0] + " >/dev/null").c_str()) != 0) continue;
    // valgrind and the leak checker need /proc
    if (c.prefix.find("noproc") != std::string::npos && (!WrapperWords().empty() || IS_SANITIZED)) continue;
    for (const char* p_name : {"old.html", "home/mine.html"}) chmod(MakeFile(p_name, "old").c_str(), 0640);
    ASSERT_EQ(chown(Path("home/mine.html").c_str(), ME, ME), 0);
    Outcome run = RunProgram(c.arguments, "", c.in[0] == '/' ? c.in : Path(c.in));
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.status == 1 && c.err.find("missing") == 0 ? HELP : "");
    std::istringstream wanted(c.err);
    for (std::string word; wanted >> word;) {
      const bool is_absent = word[0] == '!';
      EXPECT_EQ(run.err.find(word.substr(is_absent)) == std::string::npos, is_absent) << word << " in " << run.err;
    }
    if (c.status == 0) {
      EXPECT_EQ(run.err, "");
    }
    const std::string file = c.arguments[0].rfind("--output=", 0) == 0 ? c.arguments[0].substr(9) : c.arguments[1];
    struct stat status {};
    if (file[0] == '/' || stat(Path(file).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    EXPECT_EQ(ReadFile(Path(file)), c.status == 0 ? Page("0, 0, 0", EXAMPLE_LINES) : "old");
    EXPECT_EQ(int(status.st_mode & 0777), c.mode);
    EXPECT_NE(std::system(("cd " + _dir + " && ls -A . small locked shared home | grep -q mottlepage-").c_str()), 0);
  }
  EXPECT_EQ(ReadFile(Path("made.html")), Page("0, 0, 0", EXAMPLE_LINES));
  EXPECT_NE(access(Path("home/new.html").c_str(), F_OK), 0);
  char pages[2][1024] = {};
  for (int i : {0, 1}) EXPECT_EQ(read(fifos[i], pages[i], sizeof pages[i] - 1) > 0, i == 0) << pages[i];
  EXPECT_EQ(pages[0], Page("0, 0, 0", EXAMPLE_LINES));
  for (int fifo : fifos) close(fifo);
}

}  // namespace
