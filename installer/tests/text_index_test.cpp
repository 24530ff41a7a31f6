// The log view's widget-free parts: row counts, the index of stretches, text boundaries. No widget, no font.

#include "installer/tests/support.h"
#include "installer/text/log_text_index.h"
#include "installer/text/text_boundaries.h"

namespace sonarell::installer::test {
namespace {

// Against counting row by row, also after corrections that grow, shrink and empty pieces.
TEST(RowCounts, FindEveryRowAndTheRowsBeforeEveryPieceAfterCorrections) {
  using Correction = std::pair<std::size_t, std::int32_t>;
  const std::pair<std::vector<std::int32_t>, std::vector<Correction>> cases[] = {
      {{3}, {{0, 1}}},
      {{1, 1, 1, 1, 1, 1, 1}, {{3, 5}, {0, 2}, {6, 9}}},
      {{4, 1, 7, 2, 2, 9, 1, 1, 3}, {{8, 1}, {2, 0}, {4, 6}, {0, 1}}},
      {std::vector<std::int32_t>(1000, 2), {{999, 40}, {511, 1}, {512, 3}}},
  };
  for (const auto& [initial, corrections] : cases) {
    RowCountTree tree;
    std::vector<std::int32_t> counts = initial;
    tree.assign(counts);
    for (std::size_t step = 0; step <= corrections.size(); ++step) {
      if (step > 0) {
        const auto [piece, count] = corrections[step - 1];
        tree.set(piece, count);
        counts[piece] = count;
      }
      const std::string what = std::to_string(counts.size()) + " pieces, step " + std::to_string(step);
      std::int64_t before = 0;
      for (std::size_t piece = 0; piece < counts.size(); ++piece) {
        ASSERT_EQ(tree.rowsBefore(piece), before) << what << ", piece " << piece;
        for (std::int32_t row = 0; row < counts[piece]; ++row) {
          const RowCountTree::Place place = tree.find(before + row);
          ASSERT_TRUE(place.piece == piece && place.row == row) << what << ", row " << before + row;
        }
        before += counts[piece];
      }
      // Before the first row: the first; past the last: the last row of the last piece.
      const RowCountTree::Place first = tree.find(-5), last = tree.find(before + 7);
      EXPECT_TRUE(tree.total() == before && first.piece == 0 && first.row == 0) << what;
      EXPECT_TRUE(last.piece == counts.size() - 1 && last.row == counts.back() - 1) << what;
    }
  }
}

TEST(LogTextIndex, SplitsLinesIntoStretchesAndCountsTheirRows) {
  using Stretch = std::tuple<qsizetype, qsizetype, std::int32_t>;  // start, length, lines
  constexpr qsizetype kStretch = LogTextIndex::kStretch, kGroup = LogTextIndex::kGroup;
  const QString longLine = QString(kGroup + 1, u'x');
  // A line of two and a half stretches with a space a little before the first cut.
  QString spaced = QString(2 * kStretch + kStretch / 2, u'y');
  spaced[kStretch - 10] = u' ';
  // A surrogate pair across the first cut, no space anywhere.
  QString pair = QString(kStretch + 5, u'z');
  pair[kStretch - 1] = QChar(0xD83D);
  pair[kStretch] = QChar(0xDE00);
  const std::pair<QString, std::vector<Stretch>> cases[] = {
      {u(""), {{0, 0, 1}}},
      {u("a\nbb\r\ncc\rd"), {{0, 10, 4}}},  // short lines share one; CR LF ends one line
      {u("end\n"), {{0, 4, 2}}},            // the empty line after the last line end
      {QString(kGroup - 2, u'a') + u("\nbc"), {{0, kGroup - 2, 1}, {kGroup - 1, 2, 1}}},
      {u("a\n") + longLine + u("\nb"), {{0, 1, 1}, {2, kGroup + 1, 1}, {kGroup + 4, 1, 1}}},
      {spaced, {{0, kStretch - 9, 1}, {kStretch - 9, kStretch, 1}, {2 * kStretch - 9, kStretch / 2 + 9, 1}}},
      {pair, {{0, kStretch - 1, 1}, {kStretch - 1, 6, 1}}},
  };
  for (const auto& [text, expected] : cases) {
    LogTextIndex index;
    index.index(text);
    std::vector<Stretch> found;
    for (std::size_t i = 0; i < index.size(); ++i)
      found.emplace_back(index[i].start, index[i].length, index[i].lines);
    EXPECT_EQ(found, expected) << text.left(20).toStdString();
    // Each position belongs to the stretch that starts at or before it.
    for (std::size_t i = 0; i < index.size(); ++i) {
      const qsizetype end = i + 1 < index.size() ? index[i + 1].start : text.size() + 1;
      for (const qsizetype p : {index[i].start, end - 1}) EXPECT_EQ(index.stretchAt(p), i) << p;
    }
  }

  // Rows by length until laid out, never fewer than the lines; exact ones replace them.
  LogTextIndex index;
  index.index(u("a\n") + longLine + u("\nb"));
  index.estimate(100);
  const std::vector<std::int32_t> estimated{1, static_cast<std::int32_t>((kGroup + 100) / 100), 1};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(index.rows(i) == estimated[i] && !index.isExact(i)) << i;
  EXPECT_FALSE(index.setExactRows(0, 1));  // the same count: nothing to correct
  EXPECT_TRUE(index.setExactRows(1, 3));
  EXPECT_TRUE(index.isExact(0) && index.isExact(1) && !index.isExact(2));
  EXPECT_EQ(index.totalRows(), 5);
  EXPECT_EQ(index.stretchAtRow(4).piece, 2u);
  index.estimate(0);  // a width of less than a character: a row per character
  EXPECT_EQ(index.rows(1), kGroup + 1);
  EXPECT_FALSE(index.isExact(1));
}

// A function that finds a position, as the range of that one place.
template <qsizetype (*find)(QStringView, qsizetype)>
TextRange at(QStringView text, qsizetype position) {
  return {find(text, position), find(text, position)};
}

TEST(TextBoundaries, CharactersWordsLinesAndSentencesAroundAPosition) {
  using Find = TextRange (*)(QStringView, qsizetype);
  const Find next = at<nextCharacter>, previous = at<previousCharacter>, clamp = at<clampPosition>,
             wordEnd = at<nextWordEnd>, wordStart = at<previousWordStart>;
  const QString mixed = QString::fromUtf16(u"ab\r\nc\U0001F600d");
  const std::tuple<Find, QString, qsizetype, TextRange> cases[] = {
      {next, mixed, 5, {7, 7}},  // a surrogate pair as one
      {next, mixed, 8, {8, 8}},
      {previous, mixed, 4, {2, 2}},
      {previous, mixed, 7, {5, 5}},
      {previous, mixed, 0, {0, 0}},
      {clamp, mixed, 6, {5, 5}},  // never inside a pair
      {clamp, mixed, -3, {0, 0}},
      {clamp, mixed, 99, {8, 8}},
      {wordAt, u("copy: Contents/Resources"), 2, {0, 4}},
      {wordAt, u("copy: Contents/Resources"), 4, {4, 5}},  // punctuation is a piece of its own
      {wordAt, u("one two\nthree"), 7, {4, 7}},            // after a line's last character: its word
      {wordAt, u("one\n\nthree"), 4, {4, 4}},              // an empty line: nothing
      {lineAt, u("one\r\ntwo\rthree"), 1, {0, 5}},
      {lineAt, u("one\r\ntwo\rthree"), 5, {5, 9}},
      {lineAt, u("one\r\ntwo\rthree"), 12, {9, 14}},
      {sentenceAt, u("First one. Second one.\nNext"), 14, {11, 23}},  // with its line end
      {wordEnd, u("alpha  beta"), 0, {5, 5}},
      {wordEnd, u("alpha  beta"), 5, {11, 11}},  // spaces and the word after
      {wordStart, u("alpha  beta"), 11, {7, 7}},
      {wordStart, u("alpha  beta"), 7, {0, 0}},
  };
  for (const auto& [find, text, position, expected] : cases)
    EXPECT_EQ(find(text, position), expected) << '"' << text.toStdString() << "\" at " << position;
  // Words are looked for within reach, however long the line.
  const QString huge = QString(3'000'000, u'w');
  const auto [from, to] = wordAt(huge, 1'500'000);
  EXPECT_TRUE(from < 1'500'000 && to > 1'500'000 && to - from <= 512);
}

}  // namespace
}  // namespace sonarell::installer::test
