// Utf8: well-formed UTF-8, as Unicode's table of well-formed byte
// sequences gives it.

#ifndef MOTTLEPAGE_COMMON_UTF8_H
#define MOTTLEPAGE_COMMON_UTF8_H

// Bytes of the well-formed UTF-8 sequence at p_text (1 for ASCII), or 0
// when the bytes there are none: lead bytes and the range of the byte after
// each as the table gives them, so no overlong form, no surrogate, nothing
// above U+10FFFF. A terminator fails every range, so no check reads past it.
inline int GetUtf8Length(const unsigned char* p_text) {
  const unsigned char lead = p_text[0];
  if (lead < 0x80) return 1;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  int length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  else return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (p_text[1] < low || p_text[1] > high) return 0;
  for (int i = 2; i < length; ++i) {
    if (p_text[i] < 0x80 || p_text[i] > 0xBF) return 0;
  }
  return length;
}

#endif
