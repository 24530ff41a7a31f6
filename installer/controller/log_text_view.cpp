#include "installer/controller/log_text_view.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStringView>
#include <QStyleHints>
#include <QTextBoundaryFinder>
#include <QTextLine>
#include <QTextOption>
#include <climits>
#include <cmath>
#include <functional>

#include "installer/controller/log_text_view_accessible.h"
#include "installer/controller/texts.h"

namespace sonarell::installer {

namespace {

// Space between the text and the view's edges, as a text edit leaves it.
constexpr int kMargin = 4;
// The focus indicator's width, drawn inside that margin.
constexpr int kFocusWidth = 2;
// Laid-out stretches kept; a screen needs a dozen at most.
constexpr std::size_t kKeptLayouts = 48;
// How far back from a stretch's end a space is looked for to end it at.
constexpr qsizetype kSpaceSearch = 256;
// How far either side of a position a word is looked for.
constexpr qsizetype kWordReach = 256;
// How often a drag held past an edge scrolls on.
constexpr int kAutoScrollMs = 50;

bool isLineEnd(QChar c) { return c == u'\n' || c == u'\r'; }

// The primary selection is offered, not copied: the text is only cut out when
// another program asks for it, so selecting megabytes costs nothing.
class SelectionData : public QMimeData {
 public:
  SelectionData(QString text, qsizetype from, qsizetype to) : text_(std::move(text)), from_(from), to_(to) {}
  QStringList formats() const override { return {QStringLiteral("text/plain")}; }
  bool hasFormat(const QString& mimeType) const override { return mimeType == u"text/plain"; }
  bool cutFrom(const QString& text) const { return text_.constData() == text.constData(); }

 protected:
  QVariant retrieveData(const QString& mimeType, QMetaType) const override {
    if (mimeType != u"text/plain") return {};
    return text_.mid(from_, to_ - from_);
  }

 private:
  const QString text_;  // shared with the view, not copied
  const qsizetype from_, to_;
};

}  // namespace

LogTextView::LogTextView(QWidget* parent) : QAbstractScrollArea(parent) {
  installLogTextViewAccessibility();
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setCursor(Qt::IBeamCursor);
  setFocusPolicy(Qt::StrongFocus);
  verticalScrollBar()->setSingleStep(1);
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &LogTextView::onScrollAction);
  index();
  estimate();
}

LogTextView::~LogTextView() { releaseSelection(); }

// A primary selection still offered from a text the view lets go of becomes a
// copy of its own, so that it does not keep the whole old text alive.
void LogTextView::releaseSelection() {
  if (QApplication::instance() == nullptr) return;
  QClipboard* clipboard = QApplication::clipboard();
  if (!clipboard->supportsSelection() || !clipboard->ownsSelection()) return;
  const auto* offered = dynamic_cast<const SelectionData*>(clipboard->mimeData(QClipboard::Selection));
  if (offered != nullptr && offered->cutFrom(text_))
    clipboard->setText(offered->text(), QClipboard::Selection);
}

void LogTextView::setPlainText(const QString& text) {
  releaseSelection();
  const QString before = text_;  // shared, not copied
  text_ = text;
  anchor_ = cursor_ = 0;
  caretX_.reset();
  dragging_ = false;
  autoScroll_.stop();
  index();
  estimate();
  if (QAccessible::isActive()) {
    QAccessibleTextUpdateEvent event(this, 0, before, text_);
    QAccessible::updateAccessibility(&event);
  }
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

// The scroll bar's end is exact: the rows at the end are laid out, so that the
// last one ends inside the view when the bar is at its end. The rows before
// them may still be estimates, which moves only where the end is on the bar.
void LogTextView::updateRange() {
  rangePending_ = false;
  trimLayouts();
  // Only the row counts are needed here: the layouts made for them go again
  // (a view that is not at the end never draws them).
  std::vector<std::size_t> kept;
  for (const auto& entry : layouts_) kept.push_back(entry.first);
  const RowRef lastTop = topShowing(lastRow());
  std::erase_if(layouts_, [&](const auto& entry) {
    return !std::binary_search(kept.begin(), kept.end(), entry.first);
  });
  const std::int64_t maximum = std::clamp<std::int64_t>(rowNumber(lastTop), 0, INT_MAX);
  const qreal lineHeight = std::max<qreal>(1, QFontMetricsF(font()).lineSpacing());
  verticalScrollBar()->setPageStep(std::max(1, static_cast<int>(std::floor(available() / lineHeight))));
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
      } else if (isLineEnd(c[k])) {
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
      // The range follows once the current event is done (never during a paint).
      if (!rangePending_) {
        rangePending_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
              if (rangePending_) updateRange();
            },
            Qt::QueuedConnection);
      }
    }
  }
  QTextLayout* result = layout.get();
  layouts_.emplace(i, std::move(layout));
  return result;
}

void LogTextView::trimLayouts() {
  if (layouts_.size() > kKeptLayouts) layouts_.clear();
}

// The stretches on screen, from the scroll bar's row down to the bottom edge.
std::vector<LogTextView::Placed> LogTextView::place() {
  std::vector<Placed> placed;
  if (wrapWidth() != laidOutWidth_) estimate();
  trimLayouts();  // before any pointer is handed out
  const RowRef top = topRow();
  qreal y = kMargin;
  const qreal bottom = viewport()->height();
  int first = top.line;
  for (std::size_t i = top.stretch; i < stretches_.size() && y < bottom; ++i) {
    QTextLayout* layout = layoutOf(i);
    const int lines = layout->lineCount();
    first = std::min(first, lines - 1);
    const qreal at = y - layout->lineAt(first).y();
    placed.push_back({i, layout, first, at});
    const QTextLine last = layout->lineAt(lines - 1);
    y = at + last.y() + last.height();
    first = 0;
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
      rows.push_back({base + line.textStart(), line.textLength(), line.naturalTextWidth(), p.y + line.y(),
                      p.y + line.y() + line.height()});
    }
  }
  return rows;
}

void LogTextView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.setPen(palette().color(QPalette::Text));
  const QRectF clip = viewport()->rect();
  const qsizetype from = selectionStart();
  const qsizetype to = selectionEnd();
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
  // Focus shows as a ring inside the margin, whatever the style draws.
  if (hasFocus()) {
    painter.setPen(QPen(palette().brush(QPalette::Highlight), kFocusWidth));
    painter.setBrush(Qt::NoBrush);
    const qreal half = kFocusWidth / 2.0;
    painter.drawRect(QRectF(viewport()->rect()).adjusted(half, half, -half, -half));
  }
}

// A point above the first row on screen or below the last one counts as on
// that row (rows scrolled away are never reached), except below the end of the
// text, which is the end.
qsizetype LogTextView::positionAt(const QPoint& point, bool onCharacter) {
  const auto mode = onCharacter ? QTextLine::CursorOnCharacter : QTextLine::CursorBetweenCharacters;
  const std::vector<Placed> placed = place();
  const qreal bottom = viewport()->height();
  std::optional<std::pair<const Placed*, int>> lastSeen;
  for (const Placed& p : placed) {
    for (int k = p.firstLine; k < p.layout->lineCount(); ++k) {
      const QTextLine line = p.layout->lineAt(k);
      if (p.y + line.y() >= bottom) break;
      lastSeen = {&p, k};
      if (point.y() < p.y + line.y() + line.height())
        return stretches_[p.stretch].start + line.xToCursor(point.x() - kMargin, mode);
    }
  }
  if (!lastSeen) return 0;
  const auto [p, k] = *lastSeen;
  const Stretch& s = stretches_[p->stretch];
  if (p->stretch + 1 == stretches_.size() && k + 1 == p->layout->lineCount()) return s.start + s.length;
  return s.start + p->layout->lineAt(k).xToCursor(point.x() - kMargin, mode);
}

QRectF LogTextView::characterRect(qsizetype position) {
  if (position < 0 || position >= text_.size()) return {};
  for (const Placed& p : place()) {
    const Stretch& s = stretches_[p.stretch];
    const bool later = p.stretch + 1 < stretches_.size() && position >= stretches_[p.stretch + 1].start;
    if (position < s.start || later) continue;
    const int at = static_cast<int>(std::min<qsizetype>(position - s.start, s.length));
    const QTextLine line = p.layout->lineForTextPosition(at);
    if (!line.isValid() || line.lineNumber() < p.firstLine) return {};
    const qreal x = line.cursorToX(at);
    const qreal right = at < s.length ? line.cursorToX(at + 1) : x;
    const qreal top = p.y + line.y();
    if (top >= viewport()->height()) return {};
    return QRectF(kMargin + std::min(x, right), top, std::max<qreal>(std::abs(right - x), 1), line.height());
  }
  return {};
}

// --- Rows -------------------------------------------------------------------

qreal LogTextView::available() const { return std::max<qreal>(1, viewport()->height() - 2 * kMargin); }

std::int64_t LogTextView::rowNumber(RowRef row) const { return treePrefix(row.stretch) + row.line; }

LogTextView::RowRef LogTextView::topRow() {
  std::int64_t within = 0;
  const std::size_t i = stretchAtRow(verticalScrollBar()->value(), &within);
  const int lines = layoutOf(i)->lineCount();
  return {i, static_cast<int>(std::clamp<std::int64_t>(within, 0, lines - 1))};
}

LogTextView::RowRef LogTextView::lastRow() {
  const std::size_t i = stretches_.size() - 1;
  return {i, layoutOf(i)->lineCount() - 1};
}

LogTextView::RowRef LogTextView::rowOf(qsizetype position) {
  // The last stretch starting at or before the position; a line end between
  // two stretches belongs to the row it ends.
  auto after = std::upper_bound(stretches_.begin(), stretches_.end(), position,
                                [](qsizetype p, const Stretch& s) { return p < s.start; });
  const std::size_t i =
      after == stretches_.begin() ? 0 : static_cast<std::size_t>(after - stretches_.begin() - 1);
  QTextLayout* layout = layoutOf(i);
  const int at =
      static_cast<int>(std::clamp<qsizetype>(position - stretches_[i].start, 0, stretches_[i].length));
  const QTextLine line = layout->lineForTextPosition(at);
  return {i, line.isValid() ? line.lineNumber() : layout->lineCount() - 1};
}

std::optional<LogTextView::RowRef> LogTextView::nextRow(RowRef row) {
  if (row.line + 1 < layoutOf(row.stretch)->lineCount()) return RowRef{row.stretch, row.line + 1};
  if (row.stretch + 1 < stretches_.size()) return RowRef{row.stretch + 1, 0};
  return std::nullopt;
}

std::optional<LogTextView::RowRef> LogTextView::previousRow(RowRef row) {
  if (row.line > 0) return RowRef{row.stretch, row.line - 1};
  if (row.stretch == 0) return std::nullopt;
  return RowRef{row.stretch - 1, layoutOf(row.stretch - 1)->lineCount() - 1};
}

qreal LogTextView::heightOf(RowRef row) { return layoutOf(row.stretch)->lineAt(row.line).height(); }

LogTextView::RowRef LogTextView::topShowing(RowRef last) {
  RowRef top = last;
  qreal used = heightOf(last);
  for (auto up = previousRow(top); up && used + heightOf(*up) <= available(); up = previousRow(top)) {
    used += heightOf(*up);
    top = *up;
  }
  return top;
}

void LogTextView::scrollToRow(RowRef top) {
  updateRange();  // the rows laid out on the way may have corrected the estimates
  verticalScrollBar()->setValue(static_cast<int>(std::min<std::int64_t>(rowNumber(top), INT_MAX)));
  viewport()->update();
}

// Keys and the scroll bar's arrows and trough land on the row they mean: a row
// up is the row just above, even when that is in a stretch not laid out yet; a
// page down starts with the first row that was not seen whole; a page up ends
// just above the old top; the end shows the last row whole.
void LogTextView::onScrollAction(int action) {
  trimLayouts();
  const RowRef top = topRow();
  RowRef target = top;
  switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
      target = previousRow(top).value_or(top);
      break;
    case QAbstractSlider::SliderPageStepAdd: {
      qreal used = 0;
      for (std::optional<RowRef> row = top; row; row = nextRow(*row)) {
        used += heightOf(*row);
        target = *row;
        if (used > available()) break;
      }
      if (rowNumber(target) == rowNumber(top)) target = nextRow(top).value_or(top);
      break;
    }
    case QAbstractSlider::SliderPageStepSub:
      if (const auto above = previousRow(top)) target = topShowing(*above);
      break;
    case QAbstractSlider::SliderToMaximum:
      target = topShowing(lastRow());
      break;
    default:
      return;
  }
  updateRange();
  verticalScrollBar()->setSliderPosition(
      static_cast<int>(std::min<std::int64_t>(rowNumber(target), INT_MAX)));
}

void LogTextView::ensureVisible(qsizetype position) {
  trimLayouts();
  const RowRef row = rowOf(position);
  const RowRef top = topRow();
  if (rowNumber(row) < rowNumber(top)) return scrollToRow(row);
  const RowRef lowest = topShowing(row);
  if (rowNumber(lowest) > rowNumber(top)) scrollToRow(lowest);
}

// --- Selection --------------------------------------------------------------

QString LogTextView::selectedText() const {
  return text_.mid(selectionStart(), selectionEnd() - selectionStart());
}

void LogTextView::select(qsizetype anchor, qsizetype caret) {
  auto clamp = [this](qsizetype p) {
    p = std::clamp<qsizetype>(p, 0, text_.size());
    if (p > 0 && p < text_.size() && text_[p].isLowSurrogate() && text_[p - 1].isHighSurrogate()) --p;
    return p;
  };
  anchor_ = clamp(anchor);
  cursor_ = clamp(caret);
  selectionChanged(true);
}

void LogTextView::selectAll() { select(0, text_.size()); }

void LogTextView::copy() const {
  if (anchor_ != cursor_) QApplication::clipboard()->setText(selectedText());
}

std::unique_ptr<QMenu> LogTextView::createContextMenu() {
  auto menu = std::make_unique<QMenu>();
  QAction* copyAction = menu->addAction(QString::fromUtf8(texts::kCopy), this, [this] { copy(); });
  copyAction->setShortcut(QKeySequence::Copy);
  copyAction->setEnabled(anchor_ != cursor_);
  QAction* all = menu->addAction(QString::fromUtf8(texts::kSelectAll), this, [this] { selectAll(); });
  all->setShortcut(QKeySequence::SelectAll);
  all->setEnabled(!text_.isEmpty());
  return menu;
}

void LogTextView::contextMenuEvent(QContextMenuEvent* event) {
  const std::unique_ptr<QMenu> menu = createContextMenu();
  menu->exec(event->globalPos());
  event->accept();
}

// Everyone who follows the selection learns of it: the screen, assistive
// technology and, once the user has settled on it, the primary selection.
void LogTextView::selectionChanged(bool publish) {
  viewport()->update();
  if (QAccessible::isActive()) {
    QAccessibleTextSelectionEvent selection(this, static_cast<int>(selectionStart()),
                                            static_cast<int>(selectionEnd()));
    selection.setCursorPosition(static_cast<int>(cursor_));
    QAccessible::updateAccessibility(&selection);
  }
  QClipboard* clipboard = QApplication::clipboard();
  if (publish && anchor_ != cursor_ && clipboard->supportsSelection()) {  // the clipboard owns the data
    clipboard->setMimeData(new SelectionData(text_, selectionStart(), selectionEnd()), QClipboard::Selection);
  }
}

std::pair<qsizetype, qsizetype> LogTextView::wordAt(qsizetype position) const {
  const qsizetype n = text_.size();
  position = std::clamp<qsizetype>(position, 0, n);
  // The part of the position's line within reach.
  qsizetype from = std::max<qsizetype>(0, position - kWordReach);
  qsizetype to = std::min(n, position + kWordReach);
  for (qsizetype k = position - 1; k >= from; --k) {
    if (isLineEnd(text_[k])) {
      from = k + 1;
      break;
    }
  }
  for (qsizetype k = position; k < to; ++k) {
    if (isLineEnd(text_[k])) {
      to = k;
      break;
    }
  }
  if (from == to) return {position, position};
  const QString piece = text_.mid(from, to - from);
  QTextBoundaryFinder words(QTextBoundaryFinder::Word, piece);
  // A press after a line's last character takes that character's word.
  const qsizetype at = std::min(position, to - 1) - from;
  words.setPosition(at);
  const qsizetype start = words.isAtBoundary() ? at : words.toPreviousBoundary();
  words.setPosition(start);
  qsizetype end = words.toNextBoundary();
  if (end < 0) end = piece.size();
  return {from + start, from + end};
}

std::pair<qsizetype, qsizetype> LogTextView::lineAt(qsizetype position) const {
  const QStringView all(text_);
  position = std::clamp<qsizetype>(position, 0, all.size());
  const QStringView before = all.first(position);
  const qsizetype start = std::max(before.lastIndexOf(u'\n'), before.lastIndexOf(u'\r')) + 1;
  qsizetype end = all.size();
  for (const char16_t c : {u'\n', u'\r'}) {
    const qsizetype found = all.indexOf(c, position);
    if (found >= 0) end = std::min(end, found);
  }
  if (end < all.size()) end += (all[end] == u'\r' && end + 1 < all.size() && all[end + 1] == u'\n') ? 2 : 1;
  return {start, end};
}

std::pair<qsizetype, qsizetype> LogTextView::rowAt(qsizetype position) {
  trimLayouts();
  const RowRef row = rowOf(std::clamp<qsizetype>(position, 0, text_.size()));
  const QTextLine line = layoutOf(row.stretch)->lineAt(row.line);
  const qsizetype start = stretches_[row.stretch].start + line.textStart();
  qsizetype end = std::min(start + line.textLength(), text_.size());
  if (end < text_.size() && line.lineNumber() + 1 == layoutOf(row.stretch)->lineCount() &&
      isLineEnd(text_[end]))
    end = nextCharacter(end);  // the line end that closes the stretch's last row
  return {start, end};
}

qsizetype LogTextView::nextCharacter(qsizetype p) const {
  if (p >= text_.size()) return text_.size();
  if (p + 1 < text_.size() && ((text_[p].isHighSurrogate() && text_[p + 1].isLowSurrogate()) ||
                               (text_[p] == u'\r' && text_[p + 1] == u'\n')))
    return p + 2;
  return p + 1;
}

qsizetype LogTextView::previousCharacter(qsizetype p) const {
  if (p <= 0) return 0;
  if (p >= 2 && ((text_[p - 1].isLowSurrogate() && text_[p - 2].isHighSurrogate()) ||
                 (text_[p - 1] == u'\n' && text_[p - 2] == u'\r')))
    return p - 2;
  return p - 1;
}

// Where a row's text ends, before the line end that closes it.
qsizetype LogTextView::rowEnd(RowRef row) {
  const QTextLine line = layoutOf(row.stretch)->lineAt(row.line);
  qsizetype end = stretches_[row.stretch].start + line.textStart() + line.textLength();
  end = std::min(end, text_.size());
  if (end > 0 && isLineEnd(text_[end - 1])) end = previousCharacter(end);
  return end;
}

// Shift and a movement key move the caret and with it the selection's end.
bool LogTextView::moveCaret(QKeyEvent* event) {
  trimLayouts();
  const qsizetype n = text_.size();
  const qsizetype p = cursor_;
  auto vertical = [&](int rows) -> qsizetype {
    RowRef row = rowOf(p);
    const QTextLine line = layoutOf(row.stretch)->lineAt(row.line);
    if (!caretX_) caretX_ = line.cursorToX(static_cast<int>(p - stretches_[row.stretch].start));
    for (int k = 0; k < std::abs(rows); ++k) {
      const auto next = rows > 0 ? nextRow(row) : previousRow(row);
      if (!next) return rows > 0 ? n : 0;
      row = *next;
    }
    const QTextLine target = layoutOf(row.stretch)->lineAt(row.line);
    return std::min(stretches_[row.stretch].start + target.xToCursor(*caretX_), rowEnd(row));
  };
  auto rowsInPage = [&] {
    int rows = 0;
    qreal used = 0;
    for (std::optional<RowRef> row = rowOf(p); row && used + heightOf(*row) <= available();
         row = nextRow(*row)) {
      used += heightOf(*row);
      ++rows;
    }
    return std::max(1, rows - 1);
  };
  auto wordForward = [&] {
    qsizetype q = wordAt(p).second;
    if (q <= p) return nextCharacter(p);
    if (q < n && QStringView(text_).sliced(p, q - p).trimmed().isEmpty()) q = std::max(q, wordAt(q).second);
    return q;
  };
  auto wordBackward = [&] {
    if (p == 0) return qsizetype{0};
    qsizetype q = wordAt(previousCharacter(p)).first;
    if (q > 0 && QStringView(text_).sliced(q, p - q).trimmed().isEmpty())
      q = std::min(q, wordAt(previousCharacter(q)).first);
    return q;
  };
  const std::pair<QKeySequence::StandardKey, std::function<qsizetype()>> moves[] = {
      {QKeySequence::SelectNextChar, [&] { return nextCharacter(p); }},
      {QKeySequence::SelectPreviousChar, [&] { return previousCharacter(p); }},
      {QKeySequence::SelectNextWord, wordForward},
      {QKeySequence::SelectPreviousWord, wordBackward},
      {QKeySequence::SelectNextLine, [&] { return vertical(1); }},
      {QKeySequence::SelectPreviousLine, [&] { return vertical(-1); }},
      {QKeySequence::SelectNextPage, [&] { return vertical(rowsInPage()); }},
      {QKeySequence::SelectPreviousPage, [&] { return vertical(-rowsInPage()); }},
      {QKeySequence::SelectStartOfLine,
       [&] {
         const RowRef row = rowOf(p);
         return stretches_[row.stretch].start + layoutOf(row.stretch)->lineAt(row.line).textStart();
       }},
      {QKeySequence::SelectEndOfLine, [&] { return rowEnd(rowOf(p)); }},
      {QKeySequence::SelectStartOfDocument, [] { return qsizetype{0}; }},
      {QKeySequence::SelectEndOfDocument, [&] { return n; }},
  };
  for (const auto& [key, move] : moves) {
    if (!event->matches(key)) continue;
    const bool keepsX = key == QKeySequence::SelectNextLine || key == QKeySequence::SelectPreviousLine ||
                        key == QKeySequence::SelectNextPage || key == QKeySequence::SelectPreviousPage;
    if (!keepsX) caretX_.reset();
    cursor_ = move();
    ensureVisible(cursor_);
    selectionChanged(true);
    return true;
  }
  return false;
}

// --- Events -----------------------------------------------------------------

void LogTextView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  const QPoint point = event->position().toPoint();
  const qsizetype at = positionAt(point);
  caretX_.reset();
  // A press soon after a double-click, near it, is a triple-click; the events' own times decide.
  const bool triple = doubleClickTime_ &&
                      event->timestamp() - *doubleClickTime_ <
                          static_cast<quint64>(QGuiApplication::styleHints()->mouseDoubleClickInterval()) &&
                      (point - doubleClickPoint_).manhattanLength() < QApplication::startDragDistance();
  doubleClickTime_.reset();
  if (triple) {
    unit_ = Unit::Line;
    pressed_ = lineAt(at);
    anchor_ = pressed_.first;
    cursor_ = pressed_.second;
  } else if (event->modifiers() & Qt::ShiftModifier) {
    unit_ = Unit::Character;
    pressed_ = {anchor_, anchor_};
    cursor_ = at;
  } else {
    unit_ = Unit::Character;
    pressed_ = {at, at};
    anchor_ = cursor_ = at;
  }
  dragging_ = true;
  dragPoint_ = point;
  selectionChanged(false);
}

void LogTextView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(event);
  const QPoint point = event->position().toPoint();
  unit_ = Unit::Word;
  pressed_ = wordAt(positionAt(point));
  anchor_ = pressed_.first;
  cursor_ = pressed_.second;
  dragging_ = true;
  dragPoint_ = point;
  doubleClickTime_ = event->timestamp();
  doubleClickPoint_ = point;
  selectionChanged(false);
}

void LogTextView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return QAbstractScrollArea::mouseMoveEvent(event);
  dragPoint_ = event->position().toPoint();
  // Held past the top or bottom edge, the drag scrolls on by itself.
  const bool outside = dragPoint_.y() < 0 || dragPoint_.y() >= viewport()->height();
  if (outside && !autoScroll_.isActive()) autoScroll_.start(kAutoScrollMs, this);
  if (!outside) autoScroll_.stop();
  extendTo(dragPoint_);
}

void LogTextView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) return QAbstractScrollArea::mouseReleaseEvent(event);
  dragging_ = false;
  autoScroll_.stop();
  selectionChanged(true);
}

void LogTextView::timerEvent(QTimerEvent* event) {
  if (event->timerId() != autoScroll_.timerId()) return QAbstractScrollArea::timerEvent(event);
  if (!dragging_) return autoScroll_.stop();
  if (dragPoint_.y() < 0) {
    verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  } else if (dragPoint_.y() >= viewport()->height()) {
    verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  } else {
    autoScroll_.stop();
  }
  extendTo(dragPoint_);
}

// The drag's end, in the unit the press selected by; what the press selected
// stays selected.
void LogTextView::extendTo(const QPoint& point) {
  const qsizetype at = positionAt(point);
  switch (unit_) {
    case Unit::Character:
      cursor_ = at;
      break;
    case Unit::Word:
    case Unit::Line: {
      const auto [from, to] = unit_ == Unit::Word ? wordAt(at) : lineAt(at);
      if (at < pressed_.first) {
        anchor_ = pressed_.second;
        cursor_ = from;
      } else {
        anchor_ = pressed_.first;
        cursor_ = std::max(to, pressed_.second);
      }
      break;
    }
  }
  selectionChanged(false);
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

void LogTextView::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void LogTextView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

void LogTextView::keyPressEvent(QKeyEvent* event) {
  if (event == QKeySequence::SelectAll) {
    selectAll();
    return event->accept();
  }
  if (event == QKeySequence::Copy) {
    copy();
    return event->accept();
  }
  if (moveCaret(event)) return event->accept();
  const bool shift = event->modifiers() & Qt::ShiftModifier;
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
  // Space pages down, and with Shift up, as in a reader.
  if (event->key() == Qt::Key_Space &&
      (event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)) == Qt::NoModifier) {
    verticalScrollBar()->triggerAction(shift ? QAbstractSlider::SliderPageStepSub
                                             : QAbstractSlider::SliderPageStepAdd);
    return event->accept();
  }
  QAbstractScrollArea::keyPressEvent(event);
}

// --- Row counts -------------------------------------------------------------

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

// The rows of the first `count` stretches.
std::int64_t LogTextView::treePrefix(std::size_t count) const {
  std::int64_t sum = 0;
  for (std::size_t k = count; k > 0; k -= k & (~k + 1)) sum += tree_[k];
  return sum;
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
