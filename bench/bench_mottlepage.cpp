// Benchmark: runs the real mottlepage binary and the straightforward
// baseline on large generated images and prints wall time, page throughput
// and peak memory, the floor (reading the pixels plus cat of the page), and
// whether the speed and memory goals hold.
//
// Usage: bench_mottlepage MOTTLEPAGE BASELINE [WORK_DIR [SIDE]]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Measure {
  double seconds;
  double peak_mib;
  bool is_ok;
};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs a command with standard output to out_path; best wall time of `runs`.
Measure RunCommand(const std::vector<std::string>& words, const std::string& out_path, int runs) {
  Measure best{1e30, 0, true};
  for (int run = 0; run < runs; ++run) {
    double start = Now();
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0) _exit(120);
      dup2(out, 1);
      std::vector<char*> argv;
      for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(121);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    double seconds = Now() - start;
    best.seconds = std::min(best.seconds, seconds);
    best.peak_mib = std::max(best.peak_mib, usage.ru_maxrss / 1024.0);
    best.is_ok = best.is_ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return best;
}

// Reads a binary file's pixels into a fresh buffer, as any converter must:
// run in a process of its own (--read-pixels), so that the buffer's pages
// are faulted in as they are for the program.
int ReadPixels(const char* p_path, std::int64_t header_bytes, std::int64_t pixel_bytes) {
  int in = open(p_path, O_RDONLY);
  if (in < 0) return 1;
  std::vector<char> header(static_cast<std::size_t>(header_bytes));
  if (read(in, header.data(), header.size()) < 0) return 1;
  char* p_buffer = new char[std::size_t(pixel_bytes)];
  std::int64_t done = 0;
  for (ssize_t got; done < pixel_bytes && (got = read(in, p_buffer + done, std::size_t(pixel_bytes - done))) > 0;) {
    done += got;
  }
  close(in);
  int status = p_buffer[pixel_bytes - 1] == 1 && done < 0 ? 1 : 0;  // keeps the reads
  delete[] p_buffer;
  return status;
}

std::uint32_t NextNoise(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

// A photo-like image: smooth gradients with noise, so that the colour
// changes at nearly every pixel, as in a real photograph.
std::vector<unsigned char> PhotoPixels(int side) {
  std::vector<unsigned char> pixels(std::size_t(side) * side * 3);
  std::uint32_t state = 12345;
  std::size_t i = 0;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      int base[3] = {x * 200 / side, y * 200 / side, (x + y) * 100 / side};
      for (int k = 0; k < 3; ++k) pixels[i++] = static_cast<unsigned char>(base[k] + NextNoise(state) % 48);
    }
  }
  return pixels;
}

// Wide bands of one colour: the page is mostly characters, few tags.
std::vector<unsigned char> FlatPixels(int side) {
  std::vector<unsigned char> pixels(std::size_t(side) * side * 3);
  std::size_t i = 0;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      int band = x / 500 + y / 500;
      pixels[i++] = static_cast<unsigned char>(band * 40);
      pixels[i++] = static_cast<unsigned char>(255 - band * 30);
      pixels[i++] = 128;
    }
  }
  return pixels;
}

std::string BinaryHeader(int side) { return "P6\n" + std::to_string(side) + " " + std::to_string(side) + "\n255\n"; }

void WriteBinary(const std::string& path, int side, const std::vector<unsigned char>& pixels) {
  std::ofstream out(path, std::ios::binary);
  out << BinaryHeader(side);
  out.write(reinterpret_cast<const char*>(pixels.data()), std::streamsize(pixels.size()));
}

// Plain twin with netpbm's layout: short lines of samples.
void WritePlain(const std::string& path, int side, const std::vector<unsigned char>& pixels) {
  std::ofstream out(path, std::ios::binary);
  out << "P3\n" << side << " " << side << "\n255\n";
  std::string line;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    line += std::to_string(pixels[i]);
    line += (i % 12 == 11 || i + 1 == pixels.size()) ? '\n' : ' ';
    if (line.size() > 65536) out << line, line.clear();
  }
  out << line;
}

std::int64_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

bool SameFiles(const std::string& a, const std::string& b) {
  std::string command = "cmp -s '" + a + "' '" + b + "'";
  return std::system(command.c_str()) == 0;
}

struct Case {
  const char* name;
  std::string image;
  std::string source;  // empty: random letters
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 5 && std::strcmp(argv[1], "--read-pixels") == 0) {
    return ReadPixels(argv[2], std::atoll(argv[3]), std::atoll(argv[4]));
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MOTTLEPAGE BASELINE [WORK_DIR [SIDE]]\n", argv[0]);
    return 2;
  }
  const std::string self = argv[0];
  const std::string program = argv[1];
  const std::string baseline = argv[2];
  const std::string dir = argc > 3 ? argv[3] : "/tmp/mottlepage-bench";
  const int side = argc > 4 ? std::atoi(argv[4]) : 3000;
  mkdir(dir.c_str(), 0755);

  std::printf("making %d x %d inputs in %s\n", side, side, dir.c_str());
  std::vector<unsigned char> photo = PhotoPixels(side);
  WriteBinary(dir + "/photo.ppm", side, photo);
  WritePlain(dir + "/photo-plain.ppm", side, photo);
  WriteBinary(dir + "/flat.ppm", side, FlatPixels(side));
  const std::int64_t pixel_bytes = std::int64_t(side) * side * 3;

  const Case cases[] = {
      {"P6 photo, string", dir + "/photo.ppm", "mottlepage "},
      {"P6 photo, random", dir + "/photo.ppm", ""},
      {"P3 photo, string", dir + "/photo-plain.ppm", "mottlepage "},
      {"P6 flat, string", dir + "/flat.ppm", "mottlepage "},
  };
  std::printf("\n%-18s %-10s %-10s %9s %9s %10s %12s\n", "input", "program", "output", "seconds", "MB/s",
              "peak MiB", "over buffer");
  double times[4][2] = {};
  double worst_over_buffer = 0;
  bool all_identical = true;
  int index = 0;
  for (const Case& c : cases) {
    const std::string page = dir + "/page.html";
    const std::string baseline_page = dir + "/baseline.html";
    for (int which = 0; which < 2; ++which) {
      const std::string& binary = which == 0 ? program : baseline;
      std::vector<std::string> words{binary, c.image, c.source};
      const int runs = which == 0 ? 5 : 2;
      Measure to_null = RunCommand(words, "/dev/null", runs);
      Measure to_file = RunCommand(words, which == 0 ? page : baseline_page, which == 0 ? 3 : 1);
      double mb = FileSize(which == 0 ? page : baseline_page) / 1e6;
      double over = to_null.peak_mib - pixel_bytes / 1048576.0;
      if (which == 0) worst_over_buffer = std::max(worst_over_buffer, std::max(over, to_file.peak_mib - pixel_bytes / 1048576.0));
      times[index][which] = to_null.seconds;
      const char* p_name = which == 0 ? "mottlepage" : "baseline";
      std::printf("%-18s %-10s %-10s %9.3f %9.0f %10.1f %12.1f%s\n", c.name, p_name, "/dev/null", to_null.seconds,
                  mb / to_null.seconds, to_null.peak_mib, over, to_null.is_ok ? "" : "  FAILED");
      std::printf("%-18s %-10s %-10s %9.3f %9.0f %10.1f %12.1f%s\n", c.name, p_name, "file", to_file.seconds,
                  mb / to_file.seconds, to_file.peak_mib, to_file.peak_mib - pixel_bytes / 1048576.0,
                  to_file.is_ok ? "" : "  FAILED");
    }
    bool identical = SameFiles(page, baseline_page);
    all_identical = all_identical && identical;
    std::printf("%-18s pages identical: %s\n", c.name, identical ? "yes" : "NO");
    ++index;
  }

  // The floor: read the pixels, then cat the finished page to /dev/null.
  RunCommand({program, dir + "/photo.ppm", "mottlepage "}, dir + "/page.html", 1);
  double read_floor = RunCommand({self, "--read-pixels", dir + "/photo.ppm", std::to_string(BinaryHeader(side).size()),
                                  std::to_string(pixel_bytes)},
                                 "/dev/null", 5)
                          .seconds;
  double cat_floor = RunCommand({"/bin/cat", dir + "/page.html"}, "/dev/null", 5).seconds;
  double floor = read_floor + cat_floor;
  std::printf("\nfloor: read pixels %.3f s + cat page %.3f s = %.3f s\n", read_floor, cat_floor, floor);

  struct Goal {
    const char* text;
    double value;
    double limit;
    bool is_upper_limit;
  } goals[] = {
      {"P6 photo speed-up over baseline (>= 10)", times[0][1] / times[0][0], 10, false},
      {"P6 photo time over floor (<= 2.5)", times[0][0] / floor, 2.5, true},
      {"random letters over source string (<= 1.3)", times[1][0] / times[0][0], 1.3, true},
      {"P3 photo speed-up over baseline (>= 4)", times[2][1] / times[2][0], 4, false},
      {"peak memory over the pixel buffer, MiB (<= 12)", worst_over_buffer, 12, true},
  };
  std::printf("\n");
  bool all_met = all_identical;
  for (const Goal& goal : goals) {
    bool is_met = goal.is_upper_limit ? goal.value <= goal.limit : goal.value >= goal.limit;
    all_met = all_met && is_met;
    std::printf("%-50s %8.2f  %s\n", goal.text, goal.value, is_met ? "met" : "MISSED");
  }
  std::printf("%-50s %8s  %s\n", "pages identical to the baseline", all_identical ? "yes" : "no",
              all_identical ? "met" : "MISSED");
  return all_met ? 0 : 1;
}
