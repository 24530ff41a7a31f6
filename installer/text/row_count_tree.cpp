#include "installer/text/row_count_tree.h"

#include <algorithm>

namespace sonarell::installer {

namespace {

std::size_t lowBit(std::size_t k) { return k & (~k + 1); }

}  // namespace

void RowCountTree::assign(std::vector<std::int32_t> counts) {
  counts_ = std::move(counts);
  const std::size_t n = counts_.size();
  tree_.assign(n + 1, 0);
  total_ = 0;
  for (std::size_t i = 0; i < n; ++i) {
    tree_[i + 1] = counts_[i];
    total_ += counts_[i];
  }
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t j = i + lowBit(i);
    if (j <= n) tree_[j] += tree_[i];
  }
}

void RowCountTree::set(std::size_t piece, std::int32_t count) {
  const std::int64_t delta = std::int64_t{count} - counts_[piece];
  counts_[piece] = count;
  total_ += delta;
  for (std::size_t k = piece + 1; k < tree_.size(); k += lowBit(k)) tree_[k] += delta;
}

std::int64_t RowCountTree::rowsBefore(std::size_t pieces) const {
  std::int64_t sum = 0;
  for (std::size_t k = std::min(pieces, counts_.size()); k > 0; k -= lowBit(k)) sum += tree_[k];
  return sum;
}

RowCountTree::Place RowCountTree::find(std::int64_t row) const {
  const std::size_t n = counts_.size();
  if (n == 0) return {};
  std::size_t pos = 0;
  std::int64_t rest = std::max<std::int64_t>(0, row);
  std::size_t step = 1;
  while (step * 2 <= n) step *= 2;
  for (; step > 0; step /= 2) {
    if (pos + step <= n && tree_[pos + step] <= rest) {
      pos += step;
      rest -= tree_[pos];
    }
  }
  if (pos >= n) return {n - 1, std::max<std::int64_t>(0, counts_[n - 1] - 1)};
  return {pos, rest};
}

}  // namespace sonarell::installer
