#include "common/AreaAverage.h"

std::uint32_t Span::GetWeightOf(int from, int to) const {
  if (from < first) from = first;
  if (to > last) to = last;
  if (from > to) return 0;
  if (first == last) return total;
  std::uint32_t weight = 0;
  if (from == first) weight += first_weight, ++from;
  if (to == last) weight += last_weight, --to;
  if (from <= to) weight += std::uint32_t(to - from + 1) * middle_weight;
  return weight;
}

Span GetSpan(int index, int source_size, int target_size) {
  const std::int64_t s = source_size;
  const std::int64_t t = target_size;
  if (target_size > source_size) {
    const int source = int((2 * index + 1) * s / (2 * t));
    return {source, source, 1, 1, 1, 1};
  }
  const std::int64_t start = index * s;
  const std::int64_t end = start + s;
  Span span{int(start / t), int((end - 1) / t), 0, std::uint32_t(t), 0, std::uint32_t(s)};
  if (span.first == span.last) {
    span.first_weight = span.last_weight = std::uint32_t(s);
  } else {
    span.first_weight = std::uint32_t((span.first + 1) * t - start);
    span.last_weight = std::uint32_t(end - span.last * t);
  }
  return span;
}

void AddRow(std::uint32_t* p_sums, const unsigned char* p_row, std::size_t samples, std::uint32_t weight) {
  for (std::size_t k = 0; k < samples; ++k) p_sums[k] += weight * p_row[k];
}

void ReduceRow(const std::uint32_t* p_sums, int source_width, unsigned char* p_target, int target_width,
               std::uint64_t row_total) {
  for (int x = 0; x < target_width; ++x) {
    const Span span = GetSpan(x, source_width, target_width);
    std::uint64_t sum[3] = {0, 0, 0};
    for (int source = span.first; source <= span.last; ++source) {
      const std::uint64_t weight = span.GetWeight(source);
      const std::uint32_t* p_pixel = p_sums + std::size_t(source) * 3;
      for (int c = 0; c < 3; ++c) sum[c] += weight * p_pixel[c];
    }
    const std::uint64_t total = row_total * span.total;
    for (int c = 0; c < 3; ++c) {
      p_target[std::size_t(x) * 3 + c] = static_cast<unsigned char>((sum[c] + total / 2) / total);
    }
  }
}
