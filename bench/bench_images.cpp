// Inputs and the floor for the benchmark (bench/run_bench.sh).
//   bench_images make DIR SIDE     writes DIR/photo.ppm, DIR/photo-plain.ppm, DIR/flat.ppm
//                                  (SIDE x SIDE), DIR/camera.ppm (a 4224 x 3168 photo),
//                                  DIR/wide.ppm (a 3000 x 2000 photo) and DIR/dot.ppm (1 x 1)
//   bench_images read FILE         reads a binary PPM's pixels into a fresh buffer, as any
//                                  converter must: the floor's first half

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::uint32_t NextNoise(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

// Photo-like: smooth gradients with noise, so that the colour changes at
// nearly every pixel, as in a real photograph.
std::vector<unsigned char> PhotoPixels(int width, int height) {
  std::vector<unsigned char> pixels(std::size_t(width) * height * 3);
  std::uint32_t state = 12345;
  std::size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int base[3] = {x * 200 / width, y * 200 / height, (x + y) * 200 / (width + height)};
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

void WriteBinary(const std::string& path, int width, int height, const std::vector<unsigned char>& pixels) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << width << " " << height << "\n255\n";
  out.write(reinterpret_cast<const char*>(pixels.data()), std::streamsize(pixels.size()));
}

// Plain twin with netpbm's layout: short lines of samples.
void WritePlain(const std::string& path, int side, const std::vector<unsigned char>& pixels) {
  std::ofstream out(path, std::ios::binary);
  out << "P3\n" << side << " " << side << "\n255\n";
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    out << int(pixels[i]) << ((i % 12 == 11 || i + 1 == pixels.size()) ? '\n' : ' ');
  }
}

int ReadPixels(const char* p_path) {
  std::FILE* p_file = std::fopen(p_path, "rb");
  int width = 0;
  int height = 0;
  if (p_file == nullptr || std::fscanf(p_file, "P6 %d %d 255", &width, &height) != 2 || std::fgetc(p_file) != '\n') {
    return 1;
  }
  const std::size_t size = std::size_t(width) * height * 3;
  char* p_buffer = new char[size];
  std::size_t done = std::fread(p_buffer, 1, size, p_file);
  std::fclose(p_file);
  int status = done == size ? 0 : 1;
  delete[] p_buffer;
  return status;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::strcmp(argv[1], "make") == 0) {
    const std::string dir = argv[2];
    const int side = std::atoi(argv[3]);
    const std::vector<unsigned char> photo = PhotoPixels(side, side);
    WriteBinary(dir + "/photo.ppm", side, side, photo);
    WritePlain(dir + "/photo-plain.ppm", side, photo);
    WriteBinary(dir + "/flat.ppm", side, side, FlatPixels(side));
    WriteBinary(dir + "/camera.ppm", 4224, 3168, PhotoPixels(4224, 3168));
    WriteBinary(dir + "/wide.ppm", 3000, 2000, PhotoPixels(3000, 2000));
    WriteBinary(dir + "/dot.ppm", 1, 1, PhotoPixels(1, 1));
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return ReadPixels(argv[2]);
  std::fprintf(stderr, "usage: %s make DIR SIDE | read FILE\n", argv[0]);
  return 2;
}
