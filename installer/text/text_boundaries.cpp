#include "installer/text/text_boundaries.h"

#include <QTextBoundaryFinder>
#include <algorithm>

namespace sonarell::installer {

namespace {

// How far either side of a position a word is looked for.
constexpr qsizetype kWordReach = 256;
// How far either side of a position a sentence is looked for.
constexpr qsizetype kSentenceReach = 2048;

// The boundaries of a kind around an offset of a piece: the one at or before
// it and the next one after that.
TextRange around(QTextBoundaryFinder::BoundaryType type, QStringView piece, qsizetype at) {
  QTextBoundaryFinder finder(type, piece);
  finder.setPosition(at);
  const qsizetype start = finder.isAtBoundary() ? at : finder.toPreviousBoundary();
  finder.setPosition(start);
  return {start, finder.toNextBoundary()};
}

}  // namespace

qsizetype clampPosition(QStringView text, qsizetype p) {
  p = std::clamp<qsizetype>(p, 0, text.size());
  if (p > 0 && p < text.size() && text[p].isLowSurrogate() && text[p - 1].isHighSurrogate()) --p;
  return p;
}

qsizetype nextCharacter(QStringView text, qsizetype p) {
  if (p >= text.size()) return text.size();
  if (p + 1 < text.size() && ((text[p].isHighSurrogate() && text[p + 1].isLowSurrogate()) ||
                              (text[p] == u'\r' && text[p + 1] == u'\n')))
    return p + 2;
  return p + 1;
}

qsizetype previousCharacter(QStringView text, qsizetype p) {
  if (p <= 0) return 0;
  if (p >= 2 && ((text[p - 1].isLowSurrogate() && text[p - 2].isHighSurrogate()) ||
                 (text[p - 1] == u'\n' && text[p - 2] == u'\r')))
    return p - 2;
  return p - 1;
}

TextRange wordAt(QStringView text, qsizetype position) {
  const qsizetype n = text.size();
  position = std::clamp<qsizetype>(position, 0, n);
  // The part of the position's line within reach.
  qsizetype from = std::max<qsizetype>(0, position - kWordReach);
  qsizetype to = std::min(n, position + kWordReach);
  for (qsizetype k = position - 1; k >= from; --k) {
    if (isLineEnd(text[k])) {
      from = k + 1;
      break;
    }
  }
  for (qsizetype k = position; k < to; ++k) {
    if (isLineEnd(text[k])) {
      to = k;
      break;
    }
  }
  if (from == to) return {position, position};
  const QStringView piece = text.sliced(from, to - from);
  // A position after a line's last character takes that character's word.
  const auto [start, end] = around(QTextBoundaryFinder::Word, piece, std::min(position, to - 1) - from);
  return {from + start, from + (end < 0 ? piece.size() : end)};
}

TextRange lineAt(QStringView text, qsizetype position) {
  position = std::clamp<qsizetype>(position, 0, text.size());
  const QStringView before = text.first(position);
  const qsizetype start = std::max(before.lastIndexOf(u'\n'), before.lastIndexOf(u'\r')) + 1;
  qsizetype end = text.size();
  for (const char16_t c : {u'\n', u'\r'}) {
    const qsizetype found = text.indexOf(c, position);
    if (found >= 0) end = std::min(end, found);
  }
  if (end < text.size())
    end += (text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ? 2 : 1;
  return {start, end};
}

TextRange sentenceAt(QStringView text, qsizetype position) {
  auto [from, to] = lineAt(text, position);
  from = std::max(from, position - kSentenceReach);
  to = std::min(to, position + kSentenceReach);
  const auto [start, end] =
      around(QTextBoundaryFinder::Sentence, text.sliced(from, to - from), position - from);
  return {from + std::max<qsizetype>(0, start), end < 0 ? to : from + end};
}

qsizetype nextWordEnd(QStringView text, qsizetype p) {
  qsizetype q = wordAt(text, p).second;
  if (q <= p) return nextCharacter(text, p);
  if (q < text.size() && text.sliced(p, q - p).trimmed().isEmpty()) q = std::max(q, wordAt(text, q).second);
  return q;
}

qsizetype previousWordStart(QStringView text, qsizetype p) {
  if (p == 0) return 0;
  qsizetype q = wordAt(text, previousCharacter(text, p)).first;
  if (q > 0 && text.sliced(q, p - q).trimmed().isEmpty())
    q = std::min(q, wordAt(text, previousCharacter(text, q)).first);
  return q;
}

}  // namespace sonarell::installer
