#include "picture/formats/PlainSamples.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include <array>

namespace {

// Pack tables: for each 8-bit mask of lanes, the shuffle that moves those
// lanes to the front, in order. Computed by the compiler.
using PackTable = std::array<std::array<unsigned char, 8>, 256>;

constexpr PackTable MakePackTable() {
  PackTable table{};
  for (int mask = 0; mask < 256; ++mask) {
    int count = 0;
    for (int lane = 0; lane < 8; ++lane) {
      if (mask & (1 << lane)) table[mask][count++] = static_cast<unsigned char>(lane);
    }
    for (; count < 8; ++count) table[mask][count] = 0x80;  // zero
  }
  return table;
}

constexpr PackTable PACK_TABLE = MakePackTable();

// Where the next block starts: after the block, or at the number that
// touches its end, which the block cannot know to be complete.
inline unsigned BlockAdvance(unsigned digit_mask, unsigned block_size) {
  const unsigned last_bit = 1u << (block_size - 1);
  if ((digit_mask & last_bit) == 0) return block_size;
  const unsigned non_digits = ~digit_mask & (block_size == 32 ? 0xFFFFFFFFu : (1u << block_size) - 1);
  return 32 - unsigned(__builtin_clz(non_digits));  // one past the highest non-digit
}

// A block the fast path reads: digits and separators only, no number of
// four digits or more.
inline bool IsPlainBlock(unsigned usual_mask, unsigned digit_mask, std::uint64_t full_mask) {
  const std::uint64_t digits = digit_mask;
  return usual_mask == full_mask && (digits & (digits << 1) & (digits << 2) & (digits << 3) & full_mask) == 0;
}

// Numbers end where a digit is followed by a non-digit; the last lane is
// left for the next block.
inline unsigned NumberEnds(unsigned digit_mask, unsigned block_size) {
  return digit_mask & ~(digit_mask >> 1) & ((block_size == 32 ? 0xFFFFFFFFu : (1u << block_size) - 1) >> 1);
}

// Leaves the text on a line feed rather than just after it, so that the
// scalar path ends the line.
inline std::int64_t Finish(const char*& p_text, const char* p, std::int64_t count) {
  if (p > p_text && p[-1] == '\n') --p;
  p_text = p;
  return count;
}

// ---- SSE2: every x86-64 processor -------------------------------------

inline __m128i Times10(__m128i x) {
  const __m128i x2 = _mm_add_epi8(x, x);
  const __m128i x4 = _mm_add_epi8(x2, x2);
  return _mm_add_epi8(_mm_add_epi8(x4, x4), x2);
}

// Classifies 16 bytes; false when the block is not for the fast path.
// Otherwise `values` holds in each lane the low eight bits of the number
// that ends there (up to three digits: this lane and the two before).
inline bool ReadBlock16(const char* p, unsigned& digit_mask, __m128i& values) {
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i digits = _mm_sub_epi8(text, _mm_set1_epi8('0'));
  const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digits, _mm_set1_epi8(9)), digits);
  const __m128i is_separator =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(text, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(text, _mm_set1_epi8('\n'))),
                   _mm_or_si128(_mm_cmpeq_epi8(text, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(text, _mm_set1_epi8('\r'))));
  digit_mask = unsigned(_mm_movemask_epi8(is_digit));
  if (!IsPlainBlock(unsigned(_mm_movemask_epi8(_mm_or_si128(is_digit, is_separator))), digit_mask, 0xFFFF)) {
    return false;
  }
  const __m128i ones = _mm_and_si128(digits, is_digit);
  const __m128i has_tens = _mm_slli_si128(is_digit, 1);
  const __m128i tens = _mm_and_si128(_mm_slli_si128(ones, 1), has_tens);
  const __m128i hundreds = _mm_and_si128(_mm_slli_si128(ones, 2), _mm_and_si128(_mm_slli_si128(is_digit, 2), has_tens));
  values = _mm_add_epi8(Times10(_mm_add_epi8(Times10(hundreds), tens)), ones);
  return true;
}

std::int64_t ReadSse2(const char*& p_text, const char* p_end, unsigned char* p_out, std::int64_t wanted) {
  const char* p = p_text;
  std::int64_t count = 0;
  unsigned digit_mask = 0;
  __m128i values;
  while (p_end - p >= 16 && wanted - count >= 16 && ReadBlock16(p, digit_mask, values)) {
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), values);
    for (unsigned ends = NumberEnds(digit_mask, 16); ends != 0; ends &= ends - 1) {
      p_out[count++] = lanes[__builtin_ctz(ends)];
    }
    p += BlockAdvance(digit_mask, 16);
  }
  return Finish(p_text, p, count);
}

// ---- SSSE3: packing with one shuffle per eight lanes -------------------

#define MOTTLEPAGE_SSSE3 __attribute__((target("ssse3,popcnt")))

MOTTLEPAGE_SSSE3 inline int Pack8(__m128i values, unsigned ends, unsigned char* p_out) {
  const __m128i shuffle = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(PACK_TABLE[ends].data()));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p_out), _mm_shuffle_epi8(values, shuffle));
  return __builtin_popcount(ends);
}

MOTTLEPAGE_SSSE3 inline int Pack16(__m128i values, unsigned ends, unsigned char* p_out) {
  const int low = Pack8(values, ends & 0xFF, p_out);
  return low + Pack8(_mm_srli_si128(values, 8), ends >> 8, p_out + low);
}

MOTTLEPAGE_SSSE3 std::int64_t ReadSsse3(const char*& p_text, const char* p_end, unsigned char* p_out,
                                         std::int64_t wanted) {
  const char* p = p_text;
  std::int64_t count = 0;
  unsigned digit_mask = 0;
  __m128i values;
  // Eight lanes are stored for each half: room for the unused ones.
  while (p_end - p >= 16 && wanted - count >= 16 + 8 && ReadBlock16(p, digit_mask, values)) {
    count += Pack16(values, NumberEnds(digit_mask, 16), p_out + count);
    p += BlockAdvance(digit_mask, 16);
  }
  return Finish(p_text, p, count);
}

// ---- AVX2: 32 bytes a block, packed as SSSE3 packs --------------------

#define MOTTLEPAGE_AVX2 __attribute__((target("avx2,popcnt")))

MOTTLEPAGE_AVX2 inline __m256i Times10x32(__m256i x) {
  const __m256i x2 = _mm256_add_epi8(x, x);
  const __m256i x4 = _mm256_add_epi8(x2, x2);
  return _mm256_add_epi8(_mm256_add_epi8(x4, x4), x2);
}

// The 32 bytes moved up by one or two lanes, across the halves, zeros in.
MOTTLEPAGE_AVX2 inline __m256i ShiftUp1(__m256i x) {
  return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, x, 0x08), 15);
}
MOTTLEPAGE_AVX2 inline __m256i ShiftUp2(__m256i x) {
  return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, x, 0x08), 14);
}

MOTTLEPAGE_AVX2 inline bool ReadBlock32(const char* p, unsigned& digit_mask, __m256i& values) {
  const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i digits = _mm256_sub_epi8(text, _mm256_set1_epi8('0'));
  const __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(digits, _mm256_set1_epi8(9)), digits);
  const __m256i is_separator = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpeq_epi8(text, _mm256_set1_epi8(' ')), _mm256_cmpeq_epi8(text, _mm256_set1_epi8('\n'))),
      _mm256_or_si256(_mm256_cmpeq_epi8(text, _mm256_set1_epi8('\t')), _mm256_cmpeq_epi8(text, _mm256_set1_epi8('\r'))));
  digit_mask = unsigned(_mm256_movemask_epi8(is_digit));
  if (!IsPlainBlock(unsigned(_mm256_movemask_epi8(_mm256_or_si256(is_digit, is_separator))), digit_mask,
                    0xFFFFFFFFu)) {
    return false;
  }
  const __m256i ones = _mm256_and_si256(digits, is_digit);
  const __m256i has_tens = ShiftUp1(is_digit);
  const __m256i tens = _mm256_and_si256(ShiftUp1(ones), has_tens);
  const __m256i hundreds = _mm256_and_si256(ShiftUp2(ones), _mm256_and_si256(ShiftUp2(is_digit), has_tens));
  values = _mm256_add_epi8(Times10x32(_mm256_add_epi8(Times10x32(hundreds), tens)), ones);
  return true;
}

MOTTLEPAGE_AVX2 std::int64_t ReadAvx2(const char*& p_text, const char* p_end, unsigned char* p_out,
                                       std::int64_t wanted) {
  const char* p = p_text;
  std::int64_t count = 0;
  unsigned digit_mask = 0;
  __m256i values;
  while (p_end - p >= 32 && wanted - count >= 32 + 8 && ReadBlock32(p, digit_mask, values)) {
    const unsigned ends = NumberEnds(digit_mask, 32);
    const __m128i low = _mm256_castsi256_si128(values);
    const __m128i high = _mm256_extracti128_si256(values, 1);
    unsigned char* p_next = p_out + count;
    p_next += Pack8(low, ends & 0xFF, p_next);
    p_next += Pack8(_mm_srli_si128(low, 8), (ends >> 8) & 0xFF, p_next);
    p_next += Pack8(high, (ends >> 16) & 0xFF, p_next);
    p_next += Pack8(_mm_srli_si128(high, 8), ends >> 24, p_next);
    count = p_next - p_out;
    p += BlockAdvance(digit_mask, 32);
  }
  return Finish(p_text, p, count);
}

}  // namespace

PlainSampleCode GetBestPlainSampleCode() {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("popcnt")) return PlainSampleCode::SSE2;
  if (__builtin_cpu_supports("avx2")) return PlainSampleCode::AVX2;
  if (__builtin_cpu_supports("ssse3")) return PlainSampleCode::SSSE3;
  return PlainSampleCode::SSE2;
}

FastSampleReader GetFastSampleReader(PlainSampleCode code) {
  switch (code) {
    case PlainSampleCode::AVX2:
      return ReadAvx2;
    case PlainSampleCode::SSSE3:
      return ReadSsse3;
    case PlainSampleCode::SSE2:
      return ReadSse2;
    case PlainSampleCode::SCALAR:
      break;
  }
  return nullptr;
}

#else

PlainSampleCode GetBestPlainSampleCode() { return PlainSampleCode::SCALAR; }

FastSampleReader GetFastSampleReader(PlainSampleCode) { return nullptr; }

#endif
