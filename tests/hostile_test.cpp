// Hostile and extreme inputs: each must end promptly with its exact outcome.

#include <signal.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace {

using namespace mottlepage_test;

#if defined(__SANITIZE_ADDRESS__)
const bool IS_SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool IS_SANITIZED = true;
#else
const bool IS_SANITIZED = false;
#endif
#else
const bool IS_SANITIZED = false;
#endif

// One text line of a page: the size line, then the pixels' characters.
std::string TextLine(const std::string& cells) {
  return "size=\"-3\"><font \n" + cells + "<br></font><font </font><font \n";
}

std::string Tag(const std::string& hex) { return "</font><font color=\"#" + hex + "\">"; }

// Writes bytes into a FIFO from a child process, then closes it.
void FeedFifo(const std::string& path, const std::string& bytes) {
  if (fork() == 0) {
    int fifo = open(path.c_str(), O_WRONLY);
    if (write(fifo, bytes.data(), bytes.size()) < 0) _exit(1);
    close(fifo);
    _exit(0);
  }
}

TEST_F(CommandLineTest, HostileFilesFailWithTheMessage) {
  const std::string megabyte_digits(1 << 20, '7');
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"digits.ppm", "P6\n" + megabyte_digits + " 1\n255\n", "width 2147483647 outside"},
      {"long-magic.ppm", std::string(1 << 20, 'P'), "not a PPM image P3 P6"},
      {"no-space.ppm", "P6\n640\t480\n255\n", "no space"},
      {"height.ppm", "P6\n1 65536\n255\n", "height 65536 outside"},
      {"no-dimensions.ppm", "P6\n# comment\n", "header ends width and height"},
      {"no-max.ppm", "P6\n1 1\n25", "header ends maximum-value"},
      {"max-0.ppm", "P6\n1 1\n0\n\1\2\3", "maximum sample value 0 not valid"},
      {"max-254.ppm", "P6\n1 1\n254\n\1\2\3", "254 'pamdepth 255 < max-254.ppm' -depth 8"},
      {"max-256.ppm", "P6\n1 1\n256\n\1\2\3", "256 pamdepth"},
      {"max-65535.ppm", "P6\n1 1\n65535\n\1\2\3\4\5\6", "65535 pamdepth"},
      {"max-65536.ppm", "P6\n1 1\n65536\n\1\2\3", "65536 not valid"},
      {"max-minus-1.ppm", "P6\n1 1\n-1\n\1\2\3", "-1 not valid"},
      {"plain-max-15.ppm", "P3\n1 1\n15\n1 2 3\n", "15 pamdepth"},
      {"huge-width.ppm", "P6\n99999999999999999999 1\n255\n", "width 2147483647"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectLoadFailure(RunProgram({MakeFile(c.name, c.bytes), "x"}), c.reason);
  }
  for (const char* p_device : {"/dev/zero", "/dev/urandom"}) {
    Outcome run = RunProgram({p_device});
    EXPECT_EQ(run.err.compare(0, NOT_FOUND.size(), NOT_FOUND), 0) << p_device;
    EXPECT_EQ(run.status, 1) << p_device;
  }
}

TEST_F(CommandLineTest, HostileFilesThatStillLoad) {
  const std::string source_100k = "abcd" + std::string(99996, 'z');
  const struct {
    const char* name;
    std::string bytes;
    std::string source;
    std::string lines;
  } cases[] = {
      {"megabyte sample", "P3\n1 1\n255\n" + std::string(1 << 20, '9') + "\n", "x", TextLine(Tag("FF0000") + "x")},
      {"odd samples", "P3\n2 1\n255\n-0 +5 2147483648\n99999999999 0x10 7", "xy",
       TextLine(Tag("0005FF") + "x" + Tag("FF0007") + "y")},
      {"long source string", EXAMPLE_P6, source_100k, EXAMPLE_LINES},
      {"widest, short of data", "P6\n65535 1\n255\n", "x", TextLine(Tag("000000") + std::string(65535, 'x'))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome run = RunProgram({MakeFile("image.ppm", c.bytes), c.source});
    EXPECT_EQ(run.out, Page("0, 0, 0", c.lines));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(CommandLineTest, TallestImageGivesEveryOtherRow) {
  std::string lines;
  for (int y = 0; y < 65535; y += 2) lines += TextLine(Tag("000000") + "q");
  Outcome run = RunProgram({MakeFile("tall.ppm", "P6\n1 65535\n255\n"), "q"});
  EXPECT_EQ(run.out, Page("0, 0, 0", lines));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandLineTest, FifosAreReadToTheirEnd) {
  const std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FeedFifo(fifo, "P6\n2 3\n");
  ExpectLoadFailure(RunProgram({"fifo"}), "fifo: header ends maximum-value");

  FeedFifo(fifo, EXAMPLE_P6);
  Outcome whole = RunProgram({"fifo", "abcd"});
  EXPECT_EQ(whole.out, Page("0, 0, 0", EXAMPLE_LINES));
  EXPECT_EQ(whole.status, 0);
  while (wait(nullptr) > 0) {
  }
}

TEST_F(CommandLineTest, HugeHeaderOverATinyFileGivesABlackPage) {
  MakeFile("claims.ppm", "P6\n20000 20000\n255\n0123456789ab");  // 30 bytes
  Outcome run = RunProgram({"claims.ppm", "x"}, "/dev/null");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  const long buffer_kib = 20000L * 20000 * 3 / 1024;
  if (!IS_SANITIZED && WrapperWords().empty()) {
    EXPECT_LT(run.peak_kib, buffer_kib + 64 * 1024);
  }
}

TEST_F(CommandLineTest, SmallStackIsEnough) {
  MakeFile("example.ppm", EXAMPLE_P6);
  MakeFile("plain.ppm", "P3\n1 1\n255\n1 2 3\n");
  for (const char* p_image : {"example.ppm", "plain.ppm"}) {
    std::string command = "cd \"" + _dir + "\" && sh -c 'ulimit -s 32; exec \"$0\" \"$1\" abcd' \"" +
                          MOTTLEPAGE_BINARY + "\" " + p_image + " > page.html";
    EXPECT_EQ(std::system(command.c_str()), 0) << p_image;
  }
  EXPECT_EQ(ReadFile(Path("page.html")), Page("0, 0, 0", TextLine(Tag("010203") + "a")));
}

TEST_F(CommandLineTest, PipeClosedEarlyEndsTheProgram) {
  std::string image = "P6\n2000 2000\n255\n" + std::string(2000 * 2000 * 3, '\x42');
  MakeFile("big.ppm", image);
  std::string command = "timeout 60 sh -c '\"" + std::string(MOTTLEPAGE_BINARY) + "\" \"" + Path("big.ppm") +
                        "\" x | head -c 10 > \"" + Path("head") + "\"'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadFile(Path("head")), "<html>\n<he");
}

}  // namespace
