// Runs the built program and compares standard output, standard error and
// the exit status byte for byte. MOTTLEPAGE_WRAPPER, when set, is put in
// front of the command (for example a valgrind command line).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  std::string out;
  std::string err;
  int status;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> WrapperWords() {
  std::vector<std::string> words;
  const char* p_wrapper = std::getenv("MOTTLEPAGE_WRAPPER");
  std::istringstream text(p_wrapper ? p_wrapper : "");
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/mottlepage-cli-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    _dir = dir_template;
  }
  void TearDown() override { std::system(("rm -rf '" + _dir + "'").c_str()); }

  std::string Path(const std::string& name) const { return _dir + "/" + name; }

  std::string MakeFile(const std::string& name, const std::string& bytes) const {
    WriteFile(Path(name), bytes);
    return Path(name);
  }

  // Runs the program with these arguments; standard output goes to
  // out_path (a file of the test's own unless given).
  Outcome RunProgram(const std::vector<std::string>& arguments, std::string out_path = "") const {
    if (out_path.empty()) out_path = Path("stdout");
    std::string err_path = Path("stderr");
    std::vector<std::string> words = WrapperWords();
    words.push_back(MOTTLEPAGE_BINARY);
    words.insert(words.end(), arguments.begin(), arguments.end());
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in = open("/dev/null", O_RDONLY);
      if (out < 0 || err < 0 || in < 0) _exit(120);
      dup2(in, 0), dup2(out, 1), dup2(err, 2);
      std::vector<char*> argv;
      for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(nullptr);
      chdir(_dir.c_str());
      execvp(argv[0], argv.data());
      _exit(121);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome run{out_path == Path("stdout") ? ReadFile(out_path) : "", ReadFile(err_path),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
    return run;
  }

  std::string _dir;
};

const std::string HELP =
    "mottlepage - draws a PPM image as coloured text on an HTML page\n"
    "           see mottlepage(1) for further info\n"
    "\n"
    "mottlepage image.ppm [source_string] [red green blue] > output.html\n"
    "\n"
    "   image.ppm        : rgb image in ppm format\n"
    "   source_string    : string used for rendering html page\n"
    "                      (omit for random characters from ['a','z'])\n"
    "   red, green, blue : html background color (omit for black)\n"
    "\n";
const std::string NOT_FOUND = "\n>> file not found <<\n\n";

std::string BodyLine(const std::string& colours) {
  return "<body style=\"color: rgb(255, 255, 255); background-color: rgb(" + colours +
         ");\" link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">\n";
}

std::string Page(const std::string& colours, const std::string& lines) {
  return "<html>\n<head>\n</head>\n" + BodyLine(colours) +
         "<span style=\"font-family: monospace;\"></span><pre><font \n" + lines + "</body>\n</html>\n";
}

// The 2 x 3 image of the worked example: red red / grey grey / green blue.
const std::string EXAMPLE_P6 = std::string("P6\n2 3\n255\n") +
                               std::string("\xff\0\0\xff\0\0\x09\x09\x09\x07\x07\x07\0\xff\0\0\0\xff", 18);
const std::string EXAMPLE_LINES =
    "size=\"-3\"><font \n"
    "</font><font color=\"#FF0000\">ab<br></font><font </font><font \n"
    "size=\"-3\"><font \n"
    "</font><font color=\"#00FF00\">c</font><font color=\"#0000FF\">d<br></font><font </font><font \n";

TEST_F(CommandLineTest, HelpAndLoadFailures) {
  MakeFile("empty.ppm", "");
  MakeFile("p5.ppm", "P5\n1 1\n255\n\0");
  mkdir(Path("folder").c_str(), 0755);
  const struct {
    std::vector<std::string> arguments;
    std::string err;
    int status;
  } cases[] = {
      {{"-h"}, "", 0},
      {{"--help", "x", "1", "2", "3"}, "", 0},
      {{}, NOT_FOUND, 1},
      {{"-H"}, NOT_FOUND, 1},
      {{"--HELP"}, NOT_FOUND, 1},
      {{"missing.ppm", "text"}, NOT_FOUND, 1},
      {{"empty.ppm"}, NOT_FOUND, 1},
      {{"p5.ppm"}, NOT_FOUND, 1},
      {{"folder"}, NOT_FOUND, 1},
      {{"/dev/null"}, NOT_FOUND, 1},
      {{"/dev/zero"}, NOT_FOUND, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
    Outcome run = RunProgram(c.arguments);
    EXPECT_EQ(run.out, HELP);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.status);
  }
}

TEST_F(CommandLineTest, ImageNamedLikeTheHelpOptionStillGivesHelp) {
  MakeFile("-h", EXAMPLE_P6);
  Outcome run = RunProgram({"-h", "abcd"});
  EXPECT_EQ(run.out, HELP);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandLineTest, PagesForArgumentCombinations) {
  MakeFile("example.ppm", EXAMPLE_P6);
  MakeFile("name with spaces \xc3\xa9.ppm", EXAMPLE_P6);
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.colours);
    Outcome run = RunProgram(c.arguments);
    EXPECT_EQ(run.out, Page(c.colours, EXAMPLE_LINES));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
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
    EXPECT_EQ(run.err, "mottlepage: output could not be written\n");
    EXPECT_EQ(run.status, 1);
  }
}

TEST_F(CommandLineTest, ShortFileGivesABlackRemainder) {
  MakeFile("short.ppm", "P6\n2 3\n255\n\xff\xff\xff");
  Outcome run = RunProgram({"short.ppm", "xy"});
  EXPECT_EQ(run.out, Page("0, 0, 0",
                          "size=\"-3\"><font \n"
                          "</font><font color=\"#FFFFFF\">x</font><font color=\"#000000\">y<br></font><font "
                          "</font><font \n"
                          "size=\"-3\"><font \n"
                          "</font><font color=\"#000000\">xy<br></font><font </font><font \n"));
  EXPECT_EQ(run.status, 0);
}

}  // namespace
