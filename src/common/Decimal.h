// Decimal: numbers read by the atoi rule, for the image header and the
// command line alike.
//
// Leading white space is skipped, then an optional sign, then digits up to
// the first non-digit; no digits read as 0, and trailing text is no error.
// Unlike glibc's atoi, a value beyond the int range reads as the nearest
// end of that range instead of wrapping round.

#ifndef MOTTLEPAGE_COMMON_DECIMAL_H
#define MOTTLEPAGE_COMMON_DECIMAL_H

#include <climits>
#include <cstdint>

// The magnitude with one more decimal digit, saturating just past the
// largest magnitude an int can take (2^31), so that any number of digits
// can be fed in without overflow.
inline std::int64_t AddDecimalDigit(std::int64_t magnitude, int digit) {
  const std::int64_t LIMIT = std::int64_t(INT_MAX) + 1;
  magnitude = magnitude * 10 + digit;
  return magnitude > LIMIT ? LIMIT : magnitude;
}

inline int SignedDecimal(std::int64_t magnitude, bool is_negative) {
  if (is_negative) return magnitude >= std::int64_t(INT_MAX) + 1 ? INT_MIN : int(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : int(magnitude);
}

inline bool IsDecimalSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline int ReadDecimal(const char* p_text) {
  while (IsDecimalSpace(*p_text)) ++p_text;
  const bool is_negative = *p_text == '-';
  if (*p_text == '-' || *p_text == '+') ++p_text;
  std::int64_t magnitude = 0;
  for (; *p_text >= '0' && *p_text <= '9'; ++p_text) magnitude = AddDecimalDigit(magnitude, *p_text - '0');
  return SignedDecimal(magnitude, is_negative);
}

#endif
