// AreaAverage: the arithmetic of resampling a picture to another size.
//
// Shrinking averages every source pixel that a target pixel covers,
// weighted by how much of it is covered (an area average, in exact
// integers: a flat colour stays exactly that colour, and halving an image
// of 2 x 2 blocks gives exactly the blocks' colours); enlarging repeats the
// source pixel under the target pixel's centre. Each direction is scaled on
// its own, so an image may shrink across and grow downwards. The sums are
// rounded once, at the end, so resampling in two steps along the two
// directions gives the same bytes as one step.
//
// Rows are RGB, 3 bytes a pixel.

#ifndef MOTTLEPAGE_COMMON_AREAAVERAGE_H
#define MOTTLEPAGE_COMMON_AREAAVERAGE_H

#include <cstddef>
#include <cstdint>

// The source pixels that target pixel `index` takes along one direction,
// from `first` to `last`, with their weights: `first_weight`, then
// `middle_weight` each, then `last_weight`; they add up to `total`.
// Shrinking measures in steps of 1 / target_size of a source pixel, so
// every weight is an integer.
struct Span {
  int first;
  int last;
  std::uint32_t first_weight;
  std::uint32_t middle_weight;
  std::uint32_t last_weight;
  std::uint32_t total;

  std::uint32_t GetWeight(int source) const {
    return source == first ? first_weight : source == last ? last_weight : middle_weight;
  }
  // The weight of the source pixels from `from` to `to` (both included)
  // that the span takes.
  std::uint32_t GetWeightOf(int from, int to) const;
};

Span GetSpan(int index, int source_size, int target_size);

// Adds weight x each sample of a source row into the row's sums.
void AddRow(std::uint32_t* p_sums, const unsigned char* p_row, std::size_t samples, std::uint32_t weight);

// One target row from the sums of the source rows it covers, whose weights
// add up to row_total.
void ReduceRow(const std::uint32_t* p_sums, int source_width, unsigned char* p_target, int target_width,
               std::uint64_t row_total);

#endif
