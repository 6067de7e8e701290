#include "Characters.h"

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

bool IsFullBlocks(const char* p_text) {
  const std::size_t block_size = sizeof FULL_BLOCK - 1;
  if (*p_text == '\0') return false;
  for (; *p_text != '\0'; p_text += block_size) {
    if (std::strncmp(p_text, FULL_BLOCK, block_size) != 0) return false;
  }
  return true;
}
