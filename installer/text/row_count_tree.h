#pragma once

// The rows of consecutive pieces of a text, kept as a Fenwick tree so that one
// piece's count can be corrected, and the piece holding a given row found, in
// logarithmic time whatever the number of pieces.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonarell::installer {

class RowCountTree {
 public:
  // A row as the piece holding it and its place among that piece's rows.
  struct Place {
    std::size_t piece = 0;
    std::int64_t row = 0;
  };

  void assign(std::vector<std::int32_t> counts);
  void set(std::size_t piece, std::int32_t count);

  std::size_t size() const { return counts_.size(); }
  std::int32_t count(std::size_t piece) const { return counts_[piece]; }
  std::int64_t total() const { return total_; }
  // The rows of the first `pieces` pieces.
  std::int64_t rowsBefore(std::size_t pieces) const;
  // Where a row lies. A row before the first counts as the first; a row past
  // the last as the last (none without pieces: the place is then 0, 0).
  Place find(std::int64_t row) const;

 private:
  std::vector<std::int32_t> counts_;
  std::vector<std::int64_t> tree_;  // 1-based: tree_[k] sums the counts of (k - lowbit(k), k]
  std::int64_t total_ = 0;
};

}  // namespace sonarell::installer
