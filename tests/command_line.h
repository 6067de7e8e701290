// Runs the built program and compares standard output, standard error and
// the exit status byte for byte. MOTTLEPAGE_WRAPPER, when set, is put in
// front of the command (for example a valgrind command line).

#ifndef MOTTLEPAGE_TESTS_COMMAND_LINE_H
#define MOTTLEPAGE_TESTS_COMMAND_LINE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mottlepage_test {

struct Outcome {
  std::string out;
  std::string err;
  int status;
  long peak_kib;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A build with AddressSanitizer: the program needs more address space, and
// /proc for its leak checker.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool IS_SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool IS_SANITIZED = true;
#else
constexpr bool IS_SANITIZED = false;
#endif
#else
constexpr bool IS_SANITIZED = false;
#endif

inline std::vector<std::string> WrapperWords() {
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
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf '" + _dir + "'").c_str()), 0); }

  std::string Path(const std::string& name) const { return _dir + "/" + name; }

  std::string MakeFile(const std::string& name, const std::string& bytes) const {
    WriteFile(Path(name), bytes);
    return Path(name);
  }

  // Runs the program with these arguments; standard output goes to
  // out_path (a file of the test's own unless given), standard input comes
  // from in_path (empty: closed), or from _stdin_fd when that is set.
  Outcome RunProgram(const std::vector<std::string>& arguments, std::string out_path = "",
                     const std::string& in_path = "/dev/null") const {
    if (out_path.empty()) out_path = Path("stdout");
    std::string err_path = Path("stderr");
    std::vector<std::string> words = _prefix;
    for (const std::string& word : WrapperWords()) words.push_back(word);
    words.push_back(MOTTLEPAGE_BINARY);
    words.insert(words.end(), arguments.begin(), arguments.end());
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in = _stdin_fd >= 0 ? _stdin_fd : in_path.empty() ? -2 : open(in_path.c_str(), O_RDONLY);
      if (out < 0 || err < 0 || in == -1) _exit(120);
      in == -2 ? close(0) : dup2(in, 0);
      dup2(out, 1), dup2(err, 2);
      std::vector<char*> argv;
      for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(nullptr);
      if (chdir(_dir.c_str()) != 0) _exit(122);
      execvp(argv[0], argv.data());
      _exit(121);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    return Outcome{out_path == Path("stdout") ? ReadFile(out_path) : "", ReadFile(err_path),
                   WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), usage.ru_maxrss};
  }

  // Runs a bash script in the test's directory with the program as $1.
  int RunScript(const std::string& name, const std::string& argument = "") const {
    return std::system(("cd '" + _dir + "' && bash " + name + " '" + MOTTLEPAGE_BINARY + "' '" + argument + "'").c_str());
  }

  std::string _dir;
  int _stdin_fd = -1;
  std::vector<std::string> _prefix;  // a command that runs the program: another user, a limit
};

inline const std::string HELP =
    "mottlepage - draws a " MOTTLEPAGE_READ_FORMATS " picture as coloured text on an HTML page\n"
    "           see mottlepage(1) for further info and the options --width=N, --height=N, --html5, --half-blocks, "
    "--shades=CHARS, --output=FILE\n"
    "\n"
    "mottlepage image.ppm [source_string] [red green blue] > output.html\n"
    "\n"
    "   image.ppm        : rgb image in ppm format\n"
    "   source_string    : string used for rendering html page\n"
    "                      (omit for random characters from ['a','y'])\n"
    "   red, green, blue : html background color (omit for black)\n"
    "\n";
inline const std::string NOT_FOUND = "\n>> file not found <<\n\n";

// A load failure: the help, status 1, and on standard error the fixed
// message followed by one line that holds every word of `words`.
inline void ExpectLoadFailure(const Outcome& run, const std::string& words) {
  EXPECT_EQ(run.out, HELP);
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.err.compare(0, NOT_FOUND.size(), NOT_FOUND), 0) << run.err;
  const std::string reason = run.err.substr(NOT_FOUND.size());
  EXPECT_EQ(reason.find('\n'), reason.size() - 1) << reason;
  std::istringstream wanted(words);
  for (std::string word; wanted >> word;) EXPECT_NE(reason.find(word), std::string::npos) << word << " in " << reason;
}

inline std::string BodyLine(const std::string& colours) {
  return "<body style=\"color: rgb(255, 255, 255); background-color: rgb(" + colours +
         ");\" link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">\n";
}

inline std::string Page(const std::string& colours, const std::string& lines) {
  return "<html>\n<head>\n</head>\n" + BodyLine(colours) +
         "<span style=\"font-family: monospace;\"></span><pre><font \n" + lines + "</body>\n</html>\n";
}

// The 2 x 3 image of the worked example: red red / grey grey / green blue.
inline const std::string EXAMPLE_P6 = std::string("P6\n2 3\n255\n") +
                               std::string("\xff\0\0\xff\0\0\x09\x09\x09\x07\x07\x07\0\xff\0\0\0\xff", 18);
inline const std::string EXAMPLE_LINES =
    "size=\"-3\"><font \n"
    "</font><font color=\"#FF0000\">ab<br></font><font </font><font \n"
    "size=\"-3\"><font \n"
    "</font><font color=\"#00FF00\">c</font><font color=\"#0000FF\">d<br></font><font </font><font \n";

}  // namespace mottlepage_test

#endif
