// Parse rate of the plain sample reader with each instruction set this
// processor runs: loads a plain PPM file RUNS times per code and prints
// the best time and the rate in MB/s of file.
//   plain_rate FILE [RUNS]

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "picture/formats/LoadPPM.h"

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 15;
  struct stat file {};
  if (stat(argv[1], &file) != 0) return 1;
  const char* const NAMES[] = {"scalar", "SSE2", "SSSE3", "AVX2"};
  for (int code = 0; code <= int(GetBestPlainSampleCode()); ++code) {
    LimitPlainSampleCode(PlainSampleCode(code));
    double best = 1e9;
    for (int run = 0; run < runs; ++run) {
      unsigned char* p_pixel = nullptr;
      int width = 0;
      int height = 0;
      const auto start = std::chrono::steady_clock::now();
      LoadPPM loader(p_pixel, argv[1], width, height);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (p_pixel == nullptr) return 1;
      std::free(p_pixel);
      if (seconds < best) best = seconds;
    }
    std::printf("%-7s %8.1f ms %8.0f MB/s\n", NAMES[code], best * 1e3, double(file.st_size) / best / 1e6);
  }
  return 0;
}
