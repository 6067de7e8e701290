#include "page/Characters.h"

#include <algorithm>
#include <cmath>

constexpr std::uint16_t Windows1252Characters::WINDOWS_1252_C1[32];

LibcRandom::LibcRandom() : _front(3), _rear(0) {
  // glibc's srandom(1): a Lehmer sequence fills the table, then 310 values
  // are thrown away.
  std::int32_t word = 1;
  _state[0] = 1;
  for (int i = 1; i < DEGREE; ++i) {
    std::int32_t hi = word / 127773;
    std::int32_t lo = word % 127773;
    word = 16807 * lo - 2836 * hi;
    if (word < 0) word += 2147483647;
    _state[i] = std::uint32_t(word);
  }
  for (int i = 0; i < 10 * DEGREE; ++i) GetNextValue();
}

namespace {

// The part of a colour's luminance that one sRGB channel gives: the
// channel made linear by the sRGB transfer curve, times its weight.
double GetChannelLuminance(int value, double weight) {
  const double c = value / 255.0;
  return weight * (c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
}

// The luminance of a CIE lightness L* (0..100).
double GetLuminanceOf(double lightness) {
  return lightness > 8 ? std::pow((lightness + 16) / 116, 3) : lightness * 27 / 24389;
}

const double WEIGHTS[3] = {0.2126, 0.7152, 0.0722};

// Each character of a source, as the source writes it, in the string's
// order.
template <class Characters>
void RenderEach(Characters characters, std::size_t count, std::vector<ShadeCharacters::Shade>& shades) {
  characters.StartLine(0);
  for (std::size_t i = 0; i < count; ++i) {
    ShadeCharacters::Shade shade{};
    shade.length = int(characters.Put(shade.bytes, nullptr) - shade.bytes);
    shades.push_back(shade);
  }
}

const char FULL_BLOCK[] = "\xE2\x96\x88";  // U+2588

bool IsPrintableAscii(const char* p_text) {
  for (; *p_text != '\0'; ++p_text) {
    const unsigned char byte = static_cast<unsigned char>(*p_text);
    if (byte >= 0x80 || IsAsciiControl(byte)) return false;
  }
  return true;
}

}  // namespace

bool IsUnicodeText(const char* p_text) {
  bool has_non_ascii = false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(p_text); *p != 0;) {
    const int length = GetUtf8Length(p);
    if (length == 0) return false;
    has_non_ascii = has_non_ascii || length > 1;
    p += length;
  }
  return has_non_ascii;
}

CharacterKind ChooseCharacters(const char* p_source, bool is_utf8_page) {
  if (p_source == nullptr || p_source[0] == '\0') return CharacterKind::RANDOM;
  if (IsUnicodeText(p_source)) return CharacterKind::CODE_POINTS;
  if (is_utf8_page && !IsPrintableAscii(p_source)) return CharacterKind::WINDOWS_1252;
  return CharacterKind::BYTES;
}

std::size_t CountCharacters(const char* p_text) {
  if (!IsUnicodeText(p_text)) return std::strlen(p_text);
  std::size_t count = 0;
  for (const char* p = p_text; *p != '\0'; p += SequenceLength(*p)) ++count;
  return count;
}

ShadeCharacters::ShadeCharacters(const char* p_shades, bool is_utf8_page, bool is_light_background)
    : _luminance(3 * 256) {
  const double scale = double(std::uint32_t(1) << LUMINANCE_BITS);
  for (int channel = 0; channel < 3; ++channel) {
    for (int value = 0; value < 256; ++value) {
      _luminance[std::size_t(256 * channel + value)] =
          std::uint32_t(std::lround(GetChannelLuminance(value, WEIGHTS[channel]) * scale));
    }
  }
  const std::size_t count = CountCharacters(p_shades);
  switch (ChooseCharacters(p_shades, is_utf8_page)) {
    case CharacterKind::CODE_POINTS:
      RenderEach(CodePointCharacters(p_shades, is_utf8_page), count, _shades);
      break;
    case CharacterKind::WINDOWS_1252:
      RenderEach(Windows1252Characters(p_shades), count, _shades);
      break;
    default:
      RenderEach(SourceCharacters(p_shades), count, _shades);
      break;
  }
  if (is_light_background) std::reverse(_shades.begin(), _shades.end());
  // Equal steps of lightness: shade k starts at L* = 100 k / count.
  for (std::size_t k = 1; k < count; ++k) {
    _thresholds.push_back(std::uint32_t(std::ceil(GetLuminanceOf(100.0 * double(k) / double(count)) * scale)));
  }
}

std::size_t ShadeCharacters::FindShade(std::uint32_t luminance) const {
  return std::size_t(std::upper_bound(_thresholds.begin(), _thresholds.end(), luminance) - _thresholds.begin());
}

bool ShadeCharacters::IsLightBackground(int red, int green, int blue) {
  double luminance = 0;
  const int components[3] = {red, green, blue};
  for (int channel = 0; channel < 3; ++channel) {
    luminance += GetChannelLuminance(std::clamp(components[channel], 0, 255), WEIGHTS[channel]);
  }
  return luminance > GetLuminanceOf(50);
}

bool IsFullBlocks(const char* p_text) {
  const std::size_t block_size = sizeof FULL_BLOCK - 1;
  if (*p_text == '\0') return false;
  for (; *p_text != '\0'; p_text += block_size) {
    if (std::strncmp(p_text, FULL_BLOCK, block_size) != 0) return false;
  }
  return true;
}
