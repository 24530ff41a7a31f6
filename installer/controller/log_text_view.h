#pragma once

// The log area's read-only text view. It holds its text exactly as given (its
// plain text is the text, byte for byte, whatever it contains) and lays out
// only what is on screen, so that a log of tens of megabytes, a single line of
// megabytes or a hundred thousand one-character lines all show at once.
//
// The text is drawn in the stretches of its index (log_text_index.h), each
// wrapped at the view's width. A line longer than a stretch therefore starts a
// new row where one stretch ends, which is the only place where rows may break
// short.
//
// The scroll bar counts rows: estimated from each stretch's length until the
// stretch is laid out, exact afterwards. Every scroll that has to land on a
// particular row (a row up, a page either way, the end) lays out the rows it
// passes, so it is exact whatever the rows' heights; only dragging the scroll
// bar's handle goes by the estimate.
//
// It does what a read-only text view does for its user: a reading position
// that the arrow keys move by character, word and row, selection with the
// mouse (drag, double-click for a word, triple-click for a line, Shift+click,
// scrolling on while a drag is held past an edge) and with Shift and the
// movement keys, Copy and Select All from the keyboard and a context menu, the
// primary selection where the platform has one, an I-beam pointer, a visible
// focus indicator, and an accessible text interface (log_text_view_accessible.h).

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QMenu>
#include <QString>
#include <QTextLayout>
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "installer/text/log_text_index.h"

namespace sonarell::installer {

class LogTextView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit LogTextView(QWidget* parent = nullptr);
  ~LogTextView() override;

  void setPlainText(const QString& text);
  const QString& toPlainText() const { return text_; }

  // Shows the start of the text.
  void scrollToStart();

  // The selection runs from the anchor to the caret, either way round; with
  // both at one place there is none. The caret is the reading position that the
  // arrow keys move and keyboard selection starts from; it is not drawn.
  qsizetype anchor() const { return anchor_; }
  qsizetype caret() const { return cursor_; }
  qsizetype selectionStart() const { return std::min(anchor_, cursor_); }
  qsizetype selectionEnd() const { return std::max(anchor_, cursor_); }
  QString selectedText() const;
  // Positions are clamped to the text and never split a surrogate pair.
  void select(qsizetype anchor, qsizetype caret);
  void selectAll();
  void copy() const;
  // The menu of the right button (Copy, Select All); the caller shows it.
  std::unique_ptr<QMenu> createContextMenu();

  // The rows on screen, top first, as ranges of the text: what is drawn.
  struct Row {
    qsizetype start = 0;
    qsizetype length = 0;
    qreal width = 0;   // the row's natural width in pixels
    qreal top = 0;     // its top and bottom edge in the viewport
    qreal bottom = 0;  // (the last may reach beyond the viewport)
  };
  std::vector<Row> visibleRows();
  // The width rows wrap at.
  qreal wrapWidth() const;

  // Where the character at a position is drawn, in viewport coordinates (for a
  // character out of sight, where it would be: above or below the viewport), and
  // the position at a viewport point: the nearest place between two characters,
  // or the character under the point.
  QRectF characterRect(qsizetype position);
  qsizetype positionAt(const QPoint& point, bool onCharacter = false);
  // Scrolls as little as needed for the row holding a position to be seen whole.
  void ensureVisible(qsizetype position);
  // The row around a position, with the line end that closes it.
  std::pair<qsizetype, qsizetype> rowAt(qsizetype position);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  struct Placed {
    std::size_t stretch;
    QTextLayout* layout;
    int firstLine;  // the first of its lines on screen
    qreal y;        // where line 0 of the layout is drawn
  };
  // One row: a line of a stretch's layout.
  struct RowRef {
    std::size_t stretch;
    int line;
  };
  // What a press selects, and a drag extends by.
  enum class Unit { Character, Word, Line };

  void estimate();
  void updateRange();
  QTextLayout* layoutOf(std::size_t stretch);
  // Drops the kept layouts when there are many; no layout pointer may be held across it.
  void trimLayouts();
  std::vector<Placed> place();

  // Rows, exactly: laying out what they pass.
  qreal available() const;
  std::int64_t rowNumber(RowRef row) const;
  RowRef topRow();
  RowRef lastRow();
  RowRef rowOf(qsizetype position);
  std::optional<RowRef> nextRow(RowRef row);
  std::optional<RowRef> previousRow(RowRef row);
  qreal heightOf(RowRef row);
  // Where a row's top is drawn, or would be, in viewport coordinates.
  qreal rowTop(RowRef row);
  bool onScreen(RowRef row);
  RowRef topShowing(RowRef last);  // the highest top at which `last` is still seen whole
  void scrollToRow(RowRef top);
  void onScrollAction(int action);

  // Selection by the user: mouse, keys, and what follows every change.
  void extendTo(const QPoint& point);
  bool moveCaret(QKeyEvent* event);
  qsizetype verticalTarget(qsizetype from, int rows);
  void caretMoved(bool selectionGone);
  qsizetype rowEnd(RowRef row);
  void selectionChanged(bool publish);
  void releaseSelection();

  QString text_;
  LogTextIndex index_;
  std::map<std::size_t, std::unique_ptr<QTextLayout>> layouts_;  // a few, around the screen
  qsizetype anchor_ = 0;
  qsizetype cursor_ = 0;
  qreal laidOutWidth_ = -1;
  bool rangePending_ = false;

  // The press that a drag extends from: its unit and what it selected first.
  Unit unit_ = Unit::Character;
  std::pair<qsizetype, qsizetype> pressed_{0, 0};
  bool dragging_ = false;
  QPoint dragPoint_;
  QBasicTimer autoScroll_;
  // When and where the last double-click was, for telling a triple-click.
  std::optional<quint64> doubleClickTime_;
  QPoint doubleClickPoint_;
  // The horizontal place that moving the caret up and down keeps to.
  std::optional<qreal> caretX_;
};

}  // namespace sonarell::installer
