// Hostile and extreme inputs: each must end promptly with its exact outcome.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <zlib.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

using namespace mottlepage_test;

const std::string FIXTURES = FIXTURES_DIR;

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

// PNG chunks with their CRC, for pictures made here byte by byte.
std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::string BigEndian32(std::uint32_t value) {
  return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string PngChunk(const std::string& type, const std::string& data) {
  return BigEndian32(std::uint32_t(data.size())) + type + data + BigEndian32(Crc32(type + data));
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
      {"max-254.ppm", "P6\n1 1\n254\n\1\2\3", "254 draw it with: pamdepth 255 max-254.ppm | mottlepage --width 250 - x"},
      {"max-256.ppm", "P6\n1 1\n256\n\1\2\3", "256 pamdepth"},
      {"max-65535.ppm", "P6\n1 1\n65535\n\1\2\3\4\5\6", "65535 pamdepth"},
      {"max-65536.ppm", "P6\n1 1\n65536\n\1\2\3", "65536 not valid"},
      {"max-minus-1.ppm", "P6\n1 1\n-1\n\1\2\3", "-1 not valid"},
      {"plain-max-15.ppm", "P3\n1 1\n15\n1 2 3\n", "15 pamdepth"},
      {"huge-width.ppm", "P6\n99999999999999999999 1\n255\n", "width 2147483647"},
      {"huge-sides.png", "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", BigEndian32(~0u) + BigEndian32(~0u) + "\x08\x02" + '\0' + '\0' + '\0'),
       "width 4294967295 is outside"},
      {"tall.png", "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", BigEndian32(5) + BigEndian32(70000) + "\x08\x02" + '\0' + '\0' + '\0'),
       ": height 70000 is outside"},
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

// Cut-short data still converts, with one warning line on standard error.
TEST_F(CommandLineTest, HostileFilesThatStillLoad) {
  const std::string source_100k = "abcd" + std::string(99996, 'z');
  const std::string cut = "mottlepage: image.ppm: warning: the image data ends after ";
  const std::string example_cut = EXAMPLE_P6.substr(0, EXAMPLE_P6.size() - 3);
  const struct {
    const char* name;
    std::string bytes;
    std::string source;
    std::string lines;
    std::string err;
  } cases[] = {
      {"megabyte sample", "P3\n1 1\n255\n" + std::string(1 << 20, '9') + "\n", "x", TextLine(Tag("FF0000") + "x"),
       cut + "1 of 3 samples; the rest is drawn black\n"},
      {"odd samples", "P3\n2 1\n255\n-0 +5 2147483648\n99999999999 0x10 7", "xy",
       TextLine(Tag("0005FF") + "x" + Tag("FF0007") + "y"), ""},
      {"long source string", EXAMPLE_P6, source_100k, EXAMPLE_LINES, ""},
      {"widest, short of data", "P6\n65535 1\n255\n", "x", TextLine(Tag("000000") + std::string(65535, 'x')),
       cut + "0 of 196605 bytes; the rest is drawn black\nmottlepage: image.ppm: warning: the page is 65535 characters "
             "wide, which a browser takes minutes to show; --width 250 fits a screen 1400 px wide\n"},
      {"cut in the data", example_cut, "abcd", TextLine(Tag("FF0000") + "ab") + TextLine(Tag("00FF00") + "c" +
       Tag("000000") + "d"), cut + "15 of 18 bytes; the rest is drawn black\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeFile("image.ppm", c.bytes);
    Outcome run = RunProgram({"image.ppm", c.source});
    EXPECT_EQ(run.out, Page("0, 0, 0", c.lines));
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 0);
  }
}

// Data that stops because its writer died is cut short; a connection
// reset is a read error, and no page is written.
TEST_F(CommandLineTest, BrokenInputIsToldApart) {
  MakeFile("example.ppm", EXAMPLE_P6);
  MakeFile("killed.sh", "{ head -c 26 example.ppm; kill -KILL $BASHPID; } | \"$1\" - abcd > killed.html 2> killed.err");
  EXPECT_EQ(RunScript("killed.sh"), 0);
  EXPECT_EQ(ReadFile(Path("killed.err")),
            "mottlepage: standard input: warning: the image data ends after 15 of 18 bytes; the rest is drawn black\n");

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  _stdin_fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(_stdin_fd, reinterpret_cast<sockaddr*>(&address), length), 0);
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_EQ(write(peer, EXAMPLE_P6.data(), 20), 20);
  linger reset = {1, 0};  // close with a reset, not an end of data
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(peer);
  ExpectLoadFailure(RunProgram({"-", "abcd"}), "standard input: cannot read it: Connection reset by peer");
  close(_stdin_fd), close(listener);
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
  EXPECT_EQ(run.err,
            "mottlepage: claims.ppm: warning: the image data ends after 12 of 1200000000 bytes; the rest is drawn black\n"
            "mottlepage: claims.ppm: warning: the page is 20000 characters wide, which a browser takes minutes to show; "
            "--width 250 fits a screen 1400 px wide\n");
  EXPECT_EQ(run.status, 0);
  const long buffer_kib = 20000L * 20000 * 3 / 1024;
  if (!IS_SANITIZED && WrapperWords().empty()) {
    EXPECT_LT(run.peak_kib, buffer_kib + 64 * 1024);
  }
}

// The stack's place varies from run to run, so each case runs many times.
// The environment shares the stack limit (a C++ hello world fails at 16 KiB
// with 4 KB of it), so the runs get a small one.
// AddressSanitizer's frames are larger than the program's, and its own
// stack overflow exits with status 1 as a failed load does.
TEST_F(CommandLineTest, SmallStackIsEnough) {
  if (IS_SANITIZED) GTEST_SKIP() << "AddressSanitizer needs more stack than the program";
  MakeFile("example.ppm", EXAMPLE_P6);
  MakeFile("plain.ppm", "P3\n1 1\n255\n1 2 3\n");
  MakeFile("stack.sh", "for i in $(seq 20); do env -i sh -c 'ulimit -s 16; exec \"$0\" \"$1\" abcd' \"$1\" \"$2\" "
                       "> page.html 2> /dev/null; [ $? -le 1 ] || exit 1; done");
  for (const char* p_image : {"example.ppm", "plain.ppm", "missing.ppm"}) {
    EXPECT_EQ(RunScript("stack.sh", p_image), 0) << p_image;
  }
  EXPECT_EQ(ReadFile(Path("page.html")), HELP);
}

// From the least memory the program starts with up to 64 MiB: a page, or
// the not-enough-memory reason, never a signal nor a hang (libheif's
// threads once ended the program or waited for ever).
TEST_F(CommandLineTest, AnyMemoryLimitEndsInAPageOrTheReason) {
  if (IS_SANITIZED || !WrapperWords().empty()) GTEST_SKIP() << "a sanitizer or valgrind needs more address space";
  MakeFile("big.ppm", "P6\n2000 2000\n255\n" + std::string(2000 * 2000 * 3, '\x42'));
  // A program that cannot start leaves status 126 or 127 and says nothing.
  MakeFile("sweep.sh", "for kib in $(seq 1024 256 65536); do\n"
                       "  timeout 20 sh -c 'ulimit -v $0; exec \"$1\" \"$2\" x' $kib \"$1\" \"$2\" > page.html 2> err; s=$?\n"
                       "  case $s in 0) ! grep -qv 'characters wide' err ;; 1) grep -q 'not enough memory' err ;; 126|127) ;; *) false ;; esac"
                       " || { echo \"$kib KiB: status $s\"; break; }\n"
                       "done > sweep.txt 2> /dev/null");
  for (const std::string& image : {Path("big.ppm"), FIXTURES + "/photo.heic", FIXTURES + "/huge.jpg"}) {
    EXPECT_EQ(RunScript("sweep.sh", image), 0);
    EXPECT_EQ(ReadFile(Path("sweep.txt")), "") << image;
  }
}

// A memory cgroup of the test's own below the process's group (v1 or v2),
// limited to `bytes`; empty where none can be made (no root, no memory
// controller to hand down).
std::string MakeMemoryGroup(long long bytes) {
  std::istringstream lines(ReadFile("/proc/self/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    const bool is_v1 = ("," + line.substr(first + 1, second - first - 1) + ",").find(",memory,") != std::string::npos;
    if (second == std::string::npos || (!is_v1 && line.compare(0, 3, "0::") != 0)) continue;
    const std::string parent = (is_v1 ? "/sys/fs/cgroup/memory" : "/sys/fs/cgroup") + line.substr(second + 1);
    const std::string limit = is_v1 ? "/memory.limit_in_bytes" : "/memory.max";
    const std::string group = parent + "/mottlepage-test-" + std::to_string(getpid());
    if (access((parent + (is_v1 ? limit : "/cgroup.procs")).c_str(), W_OK) != 0 || mkdir(group.c_str(), 0755) != 0) continue;
    if (access((group + limit).c_str(), W_OK) == 0) {
      std::ofstream(group + limit) << bytes;
      if (std::stoll("0" + ReadFile(group + limit)) == bytes) return group;
    }
    rmdir(group.c_str());
  }
  return "";
}

// Past a memory cgroup's limit (a container's) the kernel sends SIGKILL:
// what cannot stream weighs its need first and is refused with the reason.
TEST_F(CommandLineTest, CgroupMemoryLimitEndsInAPageOrTheReason) {
  if (IS_SANITIZED || !WrapperWords().empty()) GTEST_SKIP() << "a sanitizer or valgrind takes memory of its own";
  const std::string group = MakeMemoryGroup(128 << 20);
  if (group.empty()) GTEST_SKIP() << "no memory cgroup can be made here";
  const struct {
    const char* image;
    int status;
    const char* reason;
  } cases[] = {
      {"huge.jpg", 1, "huge.jpg: not enough memory for a 20000 x 20000 image (1200052600 bytes)\n"},
      {"huge.heic", 1, "huge.heic: not enough memory for a 5000 x 5000 image ("},
      {"photo.heic", 0, ""},
      {"orient6.jpg", 0, ""},
  };
  MakeFile("group.sh", "echo $$ > " + group + "/cgroup.procs && exec \"$1\" --width 100 \"$2\" x > page.html 2> err");
  for (const auto& c : cases) {
    const int status = RunScript("group.sh", FIXTURES + "/" + c.image);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << c.image << ": " << status;
    EXPECT_NE(ReadFile(Path("err")).find(c.reason), std::string::npos) << ReadFile(Path("err"));
  }
  EXPECT_EQ(rmdir(group.c_str()), 0);
}

// A 30000 x 30000 PNG of a few KB (one-bit grey, its first row stored,
// the rest missing) drawn at its own size: the picture as the page needs
// it takes 2.7 GB and a row, which a 1.5 GB address space cannot give.
// The reason says so; no signal ends the program.
TEST_F(CommandLineTest, HugePictureOfAFewBytesWantsMemoryNotASignal) {
  if (IS_SANITIZED || !WrapperWords().empty()) GTEST_SKIP() << "a sanitizer or valgrind needs more address space";
  const std::string header = BigEndian32(30000) + BigEndian32(30000) + std::string("\1\0\0\0\0", 5);
  const std::uint16_t row = 1 + 30000 / 8;
  std::string zlib = std::string("\x78\x01\x01", 3) + char(row & 255) + char(row >> 8) + char(~row & 255) +
                     char((~row >> 8) & 255) + std::string(row, '\0') + BigEndian32(std::uint32_t(row) << 16 | 1);
  MakeFile("huge.png", "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", header) + PngChunk("IDAT", zlib) + PngChunk("IEND", ""));
  MakeFile("limit.sh", "ulimit -v 1572864; exec \"$1\" huge.png x > page.html 2> err");
  const int status = RunScript("limit.sh");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(ReadFile(Path("err")).find(
                "mottlepage: huge.png: not enough memory for a 30000 x 30000 image (2700120000 bytes)\n"),
            std::string::npos)
      << ReadFile(Path("err"));
}

// A flat black PNG, one-bit grey, its rows deflated as they are made.
std::string FlatPng(std::uint32_t side) {
  const std::string row(1 + (side + 7) / 8, '\0');
  z_stream stream{};
  deflateInit(&stream, Z_BEST_COMPRESSION);
  std::string data;
  std::vector<Bytef> out(1 << 16);
  for (std::uint32_t y = 0; y <= side; ++y) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(row.data()));
    stream.avail_in = y < side ? uInt(row.size()) : 0;
    do {
      stream.next_out = out.data();
      stream.avail_out = uInt(out.size());
      deflate(&stream, y < side ? Z_NO_FLUSH : Z_FINISH);
      data.append(reinterpret_cast<char*>(out.data()), out.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  const std::string header = BigEndian32(side) + BigEndian32(side) + std::string("\1\0\0\0\0", 5);
  return "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", header) + PngChunk("IDAT", data) + PngChunk("IEND", "");
}

// A 20000 x 20000 PNG drawn 100 characters wide takes the memory of the
// page, not the 1.2 GB of its pixels.
TEST_F(CommandLineTest, HugeFlatPngIsDrawnInTheMemoryOfThePage) {
  if (IS_SANITIZED || !WrapperWords().empty()) GTEST_SKIP() << "a sanitizer or valgrind needs more address space";
  MakeFile("flat.png", FlatPng(20000));
  MakeFile("limit.sh", "ulimit -v 262144; exec \"$1\" --width 100 flat.png x > page.html 2> err");
  EXPECT_EQ(RunScript("limit.sh"), 0);
  EXPECT_EQ(ReadFile(Path("err")), "");
  EXPECT_EQ(ReadFile(Path("page.html")), RunProgram({"--width", "100", MakeFile("small.png", FlatPng(100)), "x"}).out);
}

// A GIF's screen and a WebP animation's canvas of 65535 x 65535 around one
// black pixel, in a few dozen bytes: at --width 100 the page is all the
// memory they take, so that under a 64 MiB address space the page is that
// of the same around a 100 x 100 screen.
TEST_F(CommandLineTest, HugeScreenAroundAPixelTakesThePagesMemory) {
  if (IS_SANITIZED || !WrapperWords().empty()) GTEST_SKIP() << "a sanitizer or valgrind needs more address space";
  const auto side = [](int value) { return std::string{char(value & 255), char(value >> 8)}; };
  const auto gif = [&](int screen) {
    return "GIF89a" + side(screen) + side(screen) + std::string("\x80\0\0\0\0\0\xff\xff\xff,\0\0\0\0\1\0\1\0\0", 19) +
           std::string("\2\2\x44\1\0;", 6);
  };
  const auto webp = [&](int canvas) {
    const std::string minus_one = side(canvas - 1) + '\0';
    const std::string chunks = "VP8X" + std::string("\12\0\0\0\2\0\0\0", 8) + minus_one + minus_one + "ANIM" +
                               std::string("\6\0\0\0\0\0\0\0\0\0ANMF\46\0\0\0", 18) + std::string(12, '\0') +
                               std::string("\144\0\0\0VP8L\16\0\0\0\57\0\0\0\0\7\20\21\375\17\104\104\377\3", 26);
    return "RIFF" + std::string{char(chunks.size() + 4), 0, 0, 0} + "WEBP" + chunks;
  };
  MakeFile("limit.sh", "ulimit -v 65536; exec \"$1\" --width 100 huge x > page.html 2> err");
  for (const auto& make : {std::function<std::string(int)>(gif), std::function<std::string(int)>(webp)}) {
    MakeFile("huge", make(65535));
    EXPECT_EQ(RunScript("limit.sh"), 0) << ReadFile(Path("err"));
    MakeFile("small", make(100));
    const Outcome small = RunProgram({"--width", "100", "small", "x"});
    EXPECT_TRUE(ReadFile(Path("page.html")) == small.out) << make(65535).substr(0, 4) << ReadFile(Path("err"));
  }
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
