#include "installer/text/log_text_index.h"

#include <algorithm>

namespace sonarell::installer {

void LogTextIndex::index(QStringView all) {
  stretches_.clear();
  const qsizetype n = all.size();
  // The open group of short lines: from groupStart to groupEnd, groupLines of them.
  qsizetype groupStart = 0, groupEnd = 0;
  std::int32_t groupLines = 0;
  auto flush = [&] {
    if (groupLines > 0)
      stretches_.push_back({groupStart, static_cast<std::int32_t>(groupEnd - groupStart), groupLines});
    groupLines = 0;
  };
  auto addLine = [&](qsizetype start, qsizetype end) {
    if (end - start <= kGroup) {
      if (groupLines > 0 && end - groupStart <= kGroup) {
        groupEnd = end;
        ++groupLines;
        return;
      }
      flush();
      groupStart = start;
      groupEnd = end;
      groupLines = 1;
      return;
    }
    flush();
    while (end - start > kStretch) {
      qsizetype cut = start + kStretch;
      const qsizetype space = all.sliced(cut - kSpaceSearch, kSpaceSearch).lastIndexOf(u' ');
      if (space >= 0) cut = cut - kSpaceSearch + space + 1;
      if (all[cut - 1].isHighSurrogate()) --cut;  // never split a character
      stretches_.push_back({start, static_cast<std::int32_t>(cut - start), 1});
      start = cut;
    }
    stretches_.push_back({start, static_cast<std::int32_t>(end - start), 1});
  };
  qsizetype pos = 0;
  for (;;) {
    qsizetype lineFeed = all.indexOf(u'\n', pos);
    if (lineFeed < 0) lineFeed = n;
    qsizetype start = pos;
    bool ended = false;
    for (;;) {
      qsizetype cr = all.sliced(start, lineFeed - start).indexOf(u'\r');
      if (cr < 0) break;
      cr += start;
      addLine(start, cr);
      start = cr + 1;
      if (start == lineFeed && lineFeed < n) {  // carriage return and line feed: one end
        ended = true;
        break;
      }
    }
    if (!ended) addLine(start, lineFeed);
    if (lineFeed == n) break;
    pos = lineFeed + 1;
  }
  flush();
  exact_.assign(stretches_.size(), false);
  rows_.assign(std::vector<std::int32_t>(stretches_.size(), 1));
}

void LogTextIndex::estimate(qsizetype perRow) {
  perRow = std::max<qsizetype>(1, perRow);
  std::vector<std::int32_t> counts(stretches_.size());
  for (std::size_t i = 0; i < stretches_.size(); ++i) {
    const qsizetype byLength = (stretches_[i].length + perRow - 1) / perRow;
    counts[i] = static_cast<std::int32_t>(std::max<qsizetype>(stretches_[i].lines, byLength));
  }
  exact_.assign(stretches_.size(), false);
  rows_.assign(std::move(counts));
}

bool LogTextIndex::setExactRows(std::size_t stretch, std::int32_t rows) {
  exact_[stretch] = true;
  if (rows == rows_.count(stretch)) return false;
  rows_.set(stretch, rows);
  return true;
}

std::size_t LogTextIndex::stretchAt(qsizetype position) const {
  const auto after = std::upper_bound(stretches_.begin(), stretches_.end(), position,
                                      [](qsizetype p, const Stretch& s) { return p < s.start; });
  return after == stretches_.begin() ? 0 : static_cast<std::size_t>(after - stretches_.begin() - 1);
}

}  // namespace sonarell::installer
