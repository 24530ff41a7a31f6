#pragma once

// The log view's index of its text, free of any widget: the text split into
// stretches, the runs that are laid out as one, and the rows each stretch
// takes, estimated from its length until it is laid out and exact afterwards.
//
// Lines end at a line feed, a carriage return or the pair of both. Short lines
// are grouped, whole, up to kGroup characters a stretch, so that a hundred
// thousand of them take a few hundred layouts' bookkeeping, not a hundred
// thousand. A line longer than that gets stretches of its own of at most
// kStretch characters, each ending at a space when there is one near its end
// and never inside a surrogate pair: laying out a stretch costs more than its
// length (quadratically so in Qt's text layout), so a megabyte line is never
// laid out whole.

#include <QStringView>
#include <cstdint>
#include <vector>

#include "installer/text/row_count_tree.h"

namespace sonarell::installer {

class LogTextIndex {
 public:
  static constexpr qsizetype kStretch = 4096;
  static constexpr qsizetype kGroup = 1024;
  // How far back from a stretch's end a space is looked for to end it at.
  static constexpr qsizetype kSpaceSearch = 256;

  // Its range holds the line ends between its lines, not the one after the last.
  struct Stretch {
    qsizetype start;
    std::int32_t length;
    std::int32_t lines;
  };

  // Splits the text; there is always a stretch, if empty. Only the line ends are
  // looked for, with the string's own vectorised search, so this stays a few
  // passes over memory however the text is made.
  void index(QStringView text);
  // Every stretch's rows from its length at `perRow` characters a row (at least
  // its lines), none of them exact.
  void estimate(qsizetype perRow);
  // The rows of a stretch as laid out, made exact; true when that changed its count.
  bool setExactRows(std::size_t stretch, std::int32_t rows);
  bool isExact(std::size_t stretch) const { return exact_[stretch]; }

  std::size_t size() const { return stretches_.size(); }
  const Stretch& operator[](std::size_t stretch) const { return stretches_[stretch]; }
  std::int32_t rows(std::size_t stretch) const { return rows_.count(stretch); }
  std::int64_t totalRows() const { return rows_.total(); }
  // The rows of the stretches before one.
  std::int64_t rowsBefore(std::size_t stretch) const { return rows_.rowsBefore(stretch); }
  RowCountTree::Place stretchAtRow(std::int64_t row) const { return rows_.find(row); }
  // The last stretch starting at or before a position: a line end between two
  // stretches belongs to the one it ends.
  std::size_t stretchAt(qsizetype position) const;

 private:
  std::vector<Stretch> stretches_;
  std::vector<bool> exact_;
  RowCountTree rows_;
};

}  // namespace sonarell::installer
