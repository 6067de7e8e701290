// OneLine: a library's words kept for a message line.

#ifndef MOTTLEPAGE_COMMON_ONELINE_H
#define MOTTLEPAGE_COMMON_ONELINE_H

#include <cstddef>

// Copies p_text (null: nothing) into p_target of `size` bytes as one line:
// line breaks and other control characters become spaces, trailing spaces
// go, and what does not fit is cut.
inline void CopyAsOneLine(char* p_target, std::size_t size, const char* p_text) {
  if (p_text == nullptr) p_text = "";
  std::size_t length = 0;
  for (; length + 1 < size && p_text[length] != '\0'; ++length) {
    const char c = p_text[length];
    p_target[length] = (static_cast<unsigned char>(c) < 32 || c == 127) ? ' ' : c;
  }
  while (length > 0 && p_target[length - 1] == ' ') --length;
  p_target[length] = '\0';
}

#endif
