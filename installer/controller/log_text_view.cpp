#include "installer/controller/log_text_view.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStringView>
#include <QTextLine>
#include <QTextOption>
#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace sonarell::installer {

namespace {

// Space between the text and the view's edges, as a text edit leaves it.
constexpr int kMargin = 4;
// Laid-out stretches kept; a screen needs a dozen at most.
constexpr std::size_t kKeptLayouts = 48;
// How far back from a stretch's end a space is looked for to end it at.
constexpr qsizetype kSpaceSearch = 256;

}  // namespace

LogTextView::LogTextView(QWidget* parent) : QAbstractScrollArea(parent) {
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  setFocusPolicy(Qt::StrongFocus);
  verticalScrollBar()->setSingleStep(1);
  index();
  estimate();
}

LogTextView::~LogTextView() = default;

void LogTextView::setPlainText(const QString& text) {
  text_ = text;  // shared, not copied
  anchor_ = cursor_ = 0;
  index();
  estimate();
}

void LogTextView::scrollToStart() {
  verticalScrollBar()->setValue(0);
  viewport()->update();
}

qreal LogTextView::wrapWidth() const { return std::max<qreal>(1, viewport()->width() - 2 * kMargin); }

// Splits the text into lines and each line into stretches. Only the line ends
// are looked for, with the string's own vectorised search, so this stays a few
// passes over memory however the text is made.
void LogTextView::index() {
  stretches_.clear();
  const QStringView all(text_);
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
}

// Rows per stretch from its length, until it is laid out.
void LogTextView::estimate() {
  layouts_.clear();
  laidOutWidth_ = wrapWidth();
  const qreal average = std::max<qreal>(1, QFontMetricsF(font()).averageCharWidth());
  const qsizetype perRow = std::max<qsizetype>(1, static_cast<qsizetype>(laidOutWidth_ / average));
  rows_.resize(stretches_.size());
  exact_.assign(stretches_.size(), false);
  totalRows_ = 0;
  for (std::size_t i = 0; i < stretches_.size(); ++i) {
    const qsizetype byLength = (stretches_[i].length + perRow - 1) / perRow;
    rows_[i] = static_cast<std::int32_t>(std::max<qsizetype>(stretches_[i].lines, byLength));
    totalRows_ += rows_[i];
  }
  treeBuild();
  updateRange();
  viewport()->update();
}

void LogTextView::updateRange() {
  rangePending_ = false;
  const qreal lineHeight = std::max<qreal>(1, QFontMetricsF(font()).lineSpacing());
  const int shown =
      std::max(1, static_cast<int>(std::floor((viewport()->height() - 2 * kMargin) / lineHeight)));
  const std::int64_t maximum = std::clamp<std::int64_t>(totalRows_ - shown, 0, INT_MAX);
  verticalScrollBar()->setPageStep(shown);
  verticalScrollBar()->setRange(0, static_cast<int>(maximum));
}

QTextLayout* LogTextView::layoutOf(std::size_t i) {
  auto found = layouts_.find(i);
  if (found != layouts_.end()) return found->second.get();
  const Stretch& s = stretches_[i];
  // The line ends inside become line separators, position for position, so that
  // offsets in the layout stay offsets in the text: a carriage return and line
  // feed pair becomes a separator and a zero-width space.
  QString piece = text_.mid(s.start, s.length);
  if (s.lines > 1) {
    QChar* c = piece.data();
    for (qsizetype k = 0; k < piece.size(); ++k) {
      if (c[k] == u'\r' && k + 1 < piece.size() && c[k + 1] == u'\n') {
        c[k] = QChar::LineSeparator;
        c[++k] = QChar(0x200B);
      } else if (c[k] == u'\n' || c[k] == u'\r') {
        c[k] = QChar::LineSeparator;
      }
    }
  }
  auto layout = std::make_unique<QTextLayout>(piece, font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout->setTextOption(option);
  layout->setCacheEnabled(true);
  layout->beginLayout();
  qreal y = 0;
  for (;;) {
    QTextLine line = layout->createLine();
    if (!line.isValid()) break;
    line.setLineWidth(laidOutWidth_);
    line.setPosition(QPointF(0, y));
    y += line.height();
  }
  layout->endLayout();
  if (!exact_[i]) {
    exact_[i] = true;
    const std::int32_t rows = std::max(1, layout->lineCount());
    if (rows != rows_[i]) {
      treeAdd(i, rows - rows_[i]);
      totalRows_ += rows - rows_[i];
      rows_[i] = rows;
      // The range changes after this paint, not during it.
      if (!rangePending_) {
        rangePending_ = true;
        QMetaObject::invokeMethod(
            this, [this] { updateRange(); }, Qt::QueuedConnection);
      }
    }
  }
  QTextLayout* result = layout.get();
  layouts_.emplace(i, std::move(layout));
  return result;
}

// The stretches on screen, from the scroll bar's row down to the bottom edge.
std::vector<LogTextView::Placed> LogTextView::place() {
  std::vector<Placed> placed;
  if (stretches_.empty()) return placed;
  if (wrapWidth() != laidOutWidth_) estimate();
  if (layouts_.size() > kKeptLayouts) layouts_.clear();  // before any pointer is handed out
  std::int64_t row = 0;
  std::size_t i = stretchAtRow(verticalScrollBar()->value(), &row);
  qreal y = kMargin;
  const qreal bottom = viewport()->height();
  while (i < stretches_.size() && y < bottom) {
    QTextLayout* layout = layoutOf(i);
    const int lines = layout->lineCount();
    if (lines > 0) {
      const int first = static_cast<int>(std::min<std::int64_t>(row, lines - 1));
      const qreal top = y - layout->lineAt(first).y();
      placed.push_back({i, layout, first, top});
      const QTextLine last = layout->lineAt(lines - 1);
      y = top + last.y() + last.height();
    } else {
      y += QFontMetricsF(font()).lineSpacing();
    }
    row = 0;
    ++i;
  }
  return placed;
}

std::vector<LogTextView::Row> LogTextView::visibleRows() {
  std::vector<Row> rows;
  const qreal bottom = viewport()->height();
  for (const Placed& p : place()) {
    const qsizetype base = stretches_[p.stretch].start;
    for (int k = p.firstLine; k < p.layout->lineCount(); ++k) {
      const QTextLine line = p.layout->lineAt(k);
      if (p.y + line.y() >= bottom) break;
      rows.push_back({base + line.textStart(), line.textLength(), line.naturalTextWidth()});
    }
  }
  return rows;
}

void LogTextView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.setPen(palette().color(QPalette::Text));
  const QRectF clip = viewport()->rect();
  const qsizetype from = std::min(anchor_, cursor_);
  const qsizetype to = std::max(anchor_, cursor_);
  for (const Placed& p : place()) {
    QList<QTextLayout::FormatRange> selection;
    const Stretch& s = stretches_[p.stretch];
    const qsizetype start = std::max(from, s.start);
    const qsizetype end = std::min(to, s.start + s.length);
    if (start < end) {
      QTextLayout::FormatRange range;
      range.start = static_cast<int>(start - s.start);
      range.length = static_cast<int>(end - start);
      range.format.setBackground(palette().brush(QPalette::Highlight));
      range.format.setForeground(palette().brush(QPalette::HighlightedText));
      selection.push_back(range);
    }
    p.layout->draw(&painter, QPointF(kMargin, p.y), selection, clip);
  }
}

qsizetype LogTextView::positionAt(const QPoint& point) {
  const std::vector<Placed> placed = place();
  if (placed.empty()) return 0;
  if (point.y() < placed.front().y + placed.front().layout->lineAt(placed.front().firstLine).y())
    return stretches_[placed.front().stretch].start;
  for (const Placed& p : placed) {
    for (int k = p.firstLine; k < p.layout->lineCount(); ++k) {
      const QTextLine line = p.layout->lineAt(k);
      if (point.y() < p.y + line.y() + line.height())
        return stretches_[p.stretch].start + line.xToCursor(point.x() - kMargin);
    }
  }
  const Stretch& last = stretches_[placed.back().stretch];
  return last.start + last.length;
}

void LogTextView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  anchor_ = cursor_ = positionAt(event->position().toPoint());
  viewport()->update();
}

void LogTextView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return QAbstractScrollArea::mouseMoveEvent(event);
  const QPoint point = event->position().toPoint();
  // Dragging past an edge scrolls on.
  if (point.y() < 0) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  if (point.y() > viewport()->height())
    verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  cursor_ = positionAt(point);
  viewport()->update();
}

void LogTextView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  if (wrapWidth() != laidOutWidth_) {
    estimate();
  } else {
    updateRange();
  }
}

void LogTextView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) estimate();
}

void LogTextView::keyPressEvent(QKeyEvent* event) {
  if (event == QKeySequence::SelectAll) {
    anchor_ = 0;
    cursor_ = text_.size();
    viewport()->update();
    return event->accept();
  }
  if (event == QKeySequence::Copy) {
    if (anchor_ != cursor_)
      QApplication::clipboard()->setText(text_.mid(std::min(anchor_, cursor_), std::abs(cursor_ - anchor_)));
    return event->accept();
  }
  static constexpr std::pair<int, QAbstractSlider::SliderAction> kScrollKeys[] = {
      {Qt::Key_Down, QAbstractSlider::SliderSingleStepAdd},
      {Qt::Key_Up, QAbstractSlider::SliderSingleStepSub},
      {Qt::Key_PageDown, QAbstractSlider::SliderPageStepAdd},
      {Qt::Key_PageUp, QAbstractSlider::SliderPageStepSub},
      {Qt::Key_Home, QAbstractSlider::SliderToMinimum},
      {Qt::Key_End, QAbstractSlider::SliderToMaximum}};
  for (const auto& [key, action] : kScrollKeys) {
    if (event->key() == key) {
      verticalScrollBar()->triggerAction(action);
      return event->accept();
    }
  }
  QAbstractScrollArea::keyPressEvent(event);
}

void LogTextView::treeBuild() {
  const std::size_t n = rows_.size();
  tree_.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) tree_[i + 1] = rows_[i];
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t j = i + (i & (~i + 1));
    if (j <= n) tree_[j] += tree_[i];
  }
}

void LogTextView::treeAdd(std::size_t i, std::int64_t delta) {
  for (std::size_t k = i + 1; k < tree_.size(); k += k & (~k + 1)) tree_[k] += delta;
}

std::size_t LogTextView::stretchAtRow(std::int64_t row, std::int64_t* rowInStretch) const {
  const std::size_t n = rows_.size();
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
  if (pos >= n) {  // beyond the end: the last row
    *rowInStretch = rows_[n - 1] - 1;
    return n - 1;
  }
  *rowInStretch = rest;
  return pos;
}

}  // namespace sonarell::installer
