// The straightforward converter that the benchmark measures mottlepage
// against: getline and atoi for plain samples, one stream call per
// character, sprintf for every colour tag, rand() for every letter. It
// writes the same page for valid input; it is not a program to ship.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool ReadHeaderLine(std::ifstream& in, std::string& line) {
  while (std::getline(in, line)) {
    if (line.empty() || line[0] != '#') return true;
  }
  return false;
}

bool Load(const char* p_path, std::vector<unsigned char>& pixels, int& width, int& height) {
  std::ifstream in(p_path, std::ios::binary);
  std::string line;
  if (!ReadHeaderLine(in, line) || line.size() < 2 || line[0] != 'P') return false;
  bool is_plain = line[1] == '3';
  if (!ReadHeaderLine(in, line)) return false;
  width = std::atoi(line.c_str());
  height = std::atoi(line.c_str() + line.find(' ') + 1);
  if (!ReadHeaderLine(in, line)) return false;
  pixels.assign(std::size_t(width) * height * 3, 0);
  if (!is_plain) {
    in.read(reinterpret_cast<char*>(pixels.data()), std::streamsize(pixels.size()));
    return true;
  }
  std::size_t counter = 0;
  while (counter < pixels.size() && std::getline(in, line)) {
    if (!line.empty() && line[0] == '#') continue;
    const char* p_text = line.c_str();
    while (counter < pixels.size()) {
      while (*p_text == ' ' || *p_text == '\t' || *p_text == '\r') ++p_text;
      if (*p_text == '\0') break;
      int value = std::atoi(p_text);
      if (value < 0) break;
      pixels[counter++] = static_cast<unsigned char>(value);
      while (*p_text != '\0' && *p_text != ' ' && *p_text != '\t' && *p_text != '\r') ++p_text;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<unsigned char> pixels;
  int width = 0;
  int height = 0;
  if (argc < 2 || !Load(argv[1], pixels, width, height)) return 1;
  const char* p_source = argc > 2 && argv[2][0] != '\0' ? argv[2] : nullptr;
  const std::size_t length = p_source ? std::strlen(p_source) : 0;
  std::cout << "<html>" << std::endl << "<head>" << std::endl << "</head>" << std::endl;
  std::cout << "<body style=\"color: rgb(255, 255, 255); background-color: rgb(0, 0, 0);\""
            << " link=\"#000099\" vlink=\"#990099\" alink=\"#000099\">" << std::endl;
  std::cout << "<span style=\"font-family: monospace;\"></span><pre><font " << std::endl;
  for (int y = 0; y < height; y += 2) {
    std::cout << "size=\"-3\"><font " << std::endl;
    const unsigned char* p_current = &pixels[std::size_t(y) * width * 3];
    int last_red = -1, last_green = -1, last_blue = -1;
    for (int x = 0; x < width; ++x, p_current += 3) {
      char paint_char = p_source ? p_source[(x + y) % length] : char('a' + std::rand() % 25);
      if (p_current[0] != last_red || p_current[1] != last_green || p_current[2] != last_blue) {
        char hex_string[16];
        std::sprintf(hex_string, "%02X%02X%02X", p_current[0], p_current[1], p_current[2]);
        std::cout << "</font><font " << "color=\"#" << hex_string << "\">";
      }
      last_red = p_current[0], last_green = p_current[1], last_blue = p_current[2];
      if (paint_char == '&') std::cout << "&amp;";
      else if (paint_char == '<') std::cout << "&lt;";
      else if (paint_char == '>') std::cout << "&gt;";
      else std::cout << paint_char;
      if (x == width - 1) std::cout << "<br></font><font ";
    }
    std::cout << "</font><font " << std::endl;
  }
  std::cout << "</body>" << std::endl << "</html>" << std::endl;
  return 0;
}
