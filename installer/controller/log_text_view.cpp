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
#include "installer/text/text_boundaries.h"

namespace sonarell::installer {

namespace {

// Space between the text and the view's edges, as a text edit leaves it.
constexpr int kMargin = 4;
// The focus indicator's width, drawn inside that margin.
constexpr int kFocusWidth = 2;
// Laid-out stretches kept; a screen needs a dozen at most.
constexpr std::size_t kKeptLayouts = 48;
// How often a drag held past an edge scrolls on.
constexpr int kAutoScrollMs = 50;

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
  index_.index(text_);
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
  index_.index(text_);
  estimate();
  if (QAccessible::isActive()) {
    QAccessibleTextUpdateEvent event(this, 0, before, text_);
    event.setCursorPosition(0);
    QAccessible::updateAccessibility(&event);
  }
}

void LogTextView::scrollToStart() {
  verticalScrollBar()->setValue(0);
  viewport()->update();
}

qreal LogTextView::wrapWidth() const { return std::max<qreal>(1, viewport()->width() - 2 * kMargin); }

// Rows per stretch from its length, until it is laid out.
void LogTextView::estimate() {
  layouts_.clear();
  laidOutWidth_ = wrapWidth();
  const qreal average = std::max<qreal>(1, QFontMetricsF(font()).averageCharWidth());
  index_.estimate(static_cast<qsizetype>(laidOutWidth_ / average));
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
  const LogTextIndex::Stretch& s = index_[i];
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
  if (!index_.isExact(i)) {
    if (index_.setExactRows(i, std::max(1, layout->lineCount()))) {
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
  for (std::size_t i = top.stretch; i < index_.size() && y < bottom; ++i) {
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
    const qsizetype base = index_[p.stretch].start;
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
    const LogTextIndex::Stretch& s = index_[p.stretch];
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
        return index_[p.stretch].start + line.xToCursor(point.x() - kMargin, mode);
    }
  }
  if (!lastSeen) return 0;
  const auto [p, k] = *lastSeen;
  const LogTextIndex::Stretch& s = index_[p->stretch];
  if (p->stretch + 1 == index_.size() && k + 1 == p->layout->lineCount()) return s.start + s.length;
  return s.start + p->layout->lineAt(k).xToCursor(point.x() - kMargin, mode);
}

// Every character has its place, also one scrolled out of sight: where it
// would be drawn were the view scrolled no further (assistive technology reviews
// a text by its characters' places).
QRectF LogTextView::characterRect(qsizetype position) {
  if (position < 0 || position >= text_.size()) return {};
  trimLayouts();
  const RowRef row = rowOf(position);
  const qreal top = rowTop(row);
  const QTextLine line = layoutOf(row.stretch)->lineAt(row.line);
  const LogTextIndex::Stretch& s = index_[row.stretch];
  const int at = static_cast<int>(std::min<qsizetype>(position - s.start, s.length));
  const qreal x = line.cursorToX(at);
  const qreal right = at < s.length ? line.cursorToX(at + 1) : x;
  return QRectF(kMargin + std::min(x, right), top, std::max<qreal>(std::abs(right - x), 1), line.height());
}

// --- Rows -------------------------------------------------------------------

qreal LogTextView::available() const { return std::max<qreal>(1, viewport()->height() - 2 * kMargin); }

std::int64_t LogTextView::rowNumber(RowRef row) const { return index_.rowsBefore(row.stretch) + row.line; }

LogTextView::RowRef LogTextView::topRow() {
  const RowCountTree::Place top = index_.stretchAtRow(verticalScrollBar()->value());
  const int lines = layoutOf(top.piece)->lineCount();
  return {top.piece, static_cast<int>(std::clamp<std::int64_t>(top.row, 0, lines - 1))};
}

LogTextView::RowRef LogTextView::lastRow() {
  const std::size_t i = index_.size() - 1;
  return {i, layoutOf(i)->lineCount() - 1};
}

LogTextView::RowRef LogTextView::rowOf(qsizetype position) {
  const std::size_t i = index_.stretchAt(position);
  QTextLayout* layout = layoutOf(i);
  const int at = static_cast<int>(std::clamp<qsizetype>(position - index_[i].start, 0, index_[i].length));
  const QTextLine line = layout->lineForTextPosition(at);
  return {i, line.isValid() ? line.lineNumber() : layout->lineCount() - 1};
}

std::optional<LogTextView::RowRef> LogTextView::nextRow(RowRef row) {
  if (row.line + 1 < layoutOf(row.stretch)->lineCount()) return RowRef{row.stretch, row.line + 1};
  if (row.stretch + 1 < index_.size()) return RowRef{row.stretch + 1, 0};
  return std::nullopt;
}

std::optional<LogTextView::RowRef> LogTextView::previousRow(RowRef row) {
  if (row.line > 0) return RowRef{row.stretch, row.line - 1};
  if (row.stretch == 0) return std::nullopt;
  return RowRef{row.stretch - 1, layoutOf(row.stretch - 1)->lineCount() - 1};
}

qreal LogTextView::heightOf(RowRef row) { return layoutOf(row.stretch)->lineAt(row.line).height(); }

// Exact for the stretches on screen; beyond them, the rows in between count at
// the font's line spacing, so that no stretch out of sight is laid out for it.
qreal LogTextView::rowTop(RowRef row) {
  const std::vector<Placed> placed = place();
  const qreal spacing = std::max<qreal>(1, QFontMetricsF(font()).lineSpacing());
  const auto rows = [&](std::size_t from, std::size_t to) {
    return static_cast<qreal>(index_.rowsBefore(to) - index_.rowsBefore(from)) * spacing;
  };
  qreal origin = 0;  // where line 0 of the row's stretch is, or would be
  if (placed.empty()) {
    origin = kMargin + static_cast<qreal>(rowNumber({row.stretch, 0}) - rowNumber(topRow())) * spacing;
  } else if (row.stretch < placed.front().stretch) {
    origin = placed.front().y - rows(row.stretch, placed.front().stretch);
  } else if (row.stretch <= placed.back().stretch) {
    origin = placed[row.stretch - placed.front().stretch].y;
  } else {
    const Placed& last = placed.back();
    const QTextLine end = last.layout->lineAt(last.layout->lineCount() - 1);
    origin = last.y + end.y() + end.height() + rows(last.stretch + 1, row.stretch);
  }
  return origin + layoutOf(row.stretch)->lineAt(row.line).y();
}

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

bool LogTextView::onScreen(RowRef row) {
  return rowNumber(row) >= rowNumber(topRow()) && rowTop(row) < viewport()->height();
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
  anchor_ = clampPosition(text_, anchor);
  cursor_ = clampPosition(text_, caret);
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

// A caret moved without Shift: assistive technology reads from its new place,
// and learns that a selection there was has gone.
void LogTextView::caretMoved(bool selectionGone) {
  viewport()->update();
  if (!QAccessible::isActive()) return;
  if (selectionGone) {
    QAccessibleTextSelectionEvent selection(this, static_cast<int>(cursor_), static_cast<int>(cursor_));
    selection.setCursorPosition(static_cast<int>(cursor_));
    QAccessible::updateAccessibility(&selection);
  }
  QAccessibleTextCursorEvent moved(this, static_cast<int>(cursor_));
  QAccessible::updateAccessibility(&moved);
}

std::pair<qsizetype, qsizetype> LogTextView::rowAt(qsizetype position) {
  trimLayouts();
  const RowRef row = rowOf(std::clamp<qsizetype>(position, 0, text_.size()));
  const QTextLine line = layoutOf(row.stretch)->lineAt(row.line);
  const qsizetype start = index_[row.stretch].start + line.textStart();
  qsizetype end = std::min(start + line.textLength(), text_.size());
  if (end < text_.size() && line.lineNumber() + 1 == layoutOf(row.stretch)->lineCount() &&
      isLineEnd(text_[end]))
    end = nextCharacter(text_, end);  // the line end that closes the stretch's last row
  return {start, end};
}

// Where a row's text ends, before the line end that closes it.
qsizetype LogTextView::rowEnd(RowRef row) {
  const QTextLine line = layoutOf(row.stretch)->lineAt(row.line);
  qsizetype end = index_[row.stretch].start + line.textStart() + line.textLength();
  end = std::min(end, text_.size());
  if (end > 0 && isLineEnd(text_[end - 1])) end = previousCharacter(text_, end);
  return end;
}

// Where a vertical move by `rows` from a position lands, keeping to the
// horizontal place the moves started from.
qsizetype LogTextView::verticalTarget(qsizetype from, int rows) {
  RowRef row = rowOf(from);
  if (!caretX_)
    caretX_ =
        layoutOf(row.stretch)->lineAt(row.line).cursorToX(static_cast<int>(from - index_[row.stretch].start));
  for (int k = 0; k < std::abs(rows); ++k) {
    const auto next = rows > 0 ? nextRow(row) : previousRow(row);
    if (!next) return rows > 0 ? text_.size() : 0;
    row = *next;
  }
  const QTextLine target = layoutOf(row.stretch)->lineAt(row.line);
  return std::min(index_[row.stretch].start + target.xToCursor(*caretX_), rowEnd(row));
}

// The movement keys move the caret. With Shift its move extends the selection;
// without, the caret is the reading position (never drawn, as in the platform's
// read-only text views) that assistive technology reads from, moved by a
// character, a word or a row, and a selection goes. A plain move from a caret
// scrolled out of sight first brings it to the top row on screen.
bool LogTextView::moveCaret(QKeyEvent* event) {
  trimLayouts();
  const qsizetype n = text_.size();
  const qsizetype p = cursor_;
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
  using Key = QKeySequence::StandardKey;
  struct Move {
    Key select;
    Key read;  // the same move without Shift; scroll keys have none
    std::function<qsizetype()> to;
  };
  const Move moves[] = {
      {Key::SelectNextChar, Key::MoveToNextChar, [&] { return nextCharacter(text_, p); }},
      {Key::SelectPreviousChar, Key::MoveToPreviousChar, [&] { return previousCharacter(text_, p); }},
      {Key::SelectNextWord, Key::MoveToNextWord, [&] { return nextWordEnd(text_, p); }},
      {Key::SelectPreviousWord, Key::MoveToPreviousWord, [&] { return previousWordStart(text_, p); }},
      {Key::SelectNextLine, Key::MoveToNextLine, [&] { return verticalTarget(p, 1); }},
      {Key::SelectPreviousLine, Key::MoveToPreviousLine, [&] { return verticalTarget(p, -1); }},
      {Key::SelectNextPage, Key::UnknownKey, [&] { return verticalTarget(p, rowsInPage()); }},
      {Key::SelectPreviousPage, Key::UnknownKey, [&] { return verticalTarget(p, -rowsInPage()); }},
      {Key::SelectStartOfLine, Key::UnknownKey,
       [&] {
         const RowRef row = rowOf(p);
         return index_[row.stretch].start + layoutOf(row.stretch)->lineAt(row.line).textStart();
       }},
      {Key::SelectEndOfLine, Key::UnknownKey, [&] { return rowEnd(rowOf(p)); }},
      {Key::SelectStartOfDocument, Key::UnknownKey, [] { return qsizetype{0}; }},
      {Key::SelectEndOfDocument, Key::UnknownKey, [&] { return n; }},
  };
  for (const Move& move : moves) {
    const bool selecting = event->matches(move.select);
    if (!selecting && (move.read == Key::UnknownKey || !event->matches(move.read))) continue;
    const bool vertical = move.select == Key::SelectNextLine || move.select == Key::SelectPreviousLine ||
                          move.select == Key::SelectNextPage || move.select == Key::SelectPreviousPage;
    if (!vertical) caretX_.reset();
    if (selecting) {
      cursor_ = move.to();
      ensureVisible(cursor_);
      selectionChanged(true);
      return true;
    }
    const bool hadSelection = anchor_ != cursor_;
    qsizetype to = 0;
    if (!onScreen(rowOf(p))) {
      caretX_.reset();
      const RowRef top = topRow();
      to = index_[top.stretch].start + layoutOf(top.stretch)->lineAt(top.line).textStart();
    } else if (hadSelection && move.select == Key::SelectNextChar) {
      to = selectionEnd();
    } else if (hadSelection && move.select == Key::SelectPreviousChar) {
      to = selectionStart();
    } else {
      to = move.to();
    }
    anchor_ = cursor_ = to;
    ensureVisible(cursor_);
    caretMoved(hadSelection);
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
    pressed_ = lineAt(text_, at);
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
  pressed_ = wordAt(text_, positionAt(point));
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
      const auto [from, to] = unit_ == Unit::Word ? wordAt(text_, at) : lineAt(text_, at);
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
  // The other keys scroll and leave the caret where it is; with Ctrl, so do Up and Down.
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

}  // namespace sonarell::installer
