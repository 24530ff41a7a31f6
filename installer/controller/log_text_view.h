#pragma once

// The log area's read-only text view. It holds its text exactly as given (its
// plain text is the text, byte for byte, whatever it contains) and lays out
// only what is on screen, so that a log of tens of megabytes, a single line of
// megabytes or a hundred thousand one-character lines all show at once.
//
// Lines end at a line feed, a carriage return or the pair of both. A line is
// drawn in stretches of at most kStretch characters, each wrapped at the view's
// width (short lines share one): laying out a stretch costs more than its length (quadratically so in
// Qt's text layout), so a megabyte line is never laid out whole. A line longer
// than a stretch therefore starts a new row where one stretch ends (at a space
// when there is one near), which is the only place where rows may break short.
//
// The scroll bar counts rows: estimated from each stretch's length until the
// stretch is laid out, exact afterwards. Text can be selected with the mouse
// (or all of it with the select-all key) and copied.

#include <QAbstractScrollArea>
#include <QString>
#include <QTextLayout>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace sonarell::installer {

class LogTextView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr qsizetype kStretch = 4096;
  // Short lines are laid out together, up to this many characters, so that a
  // hundred thousand of them take a few hundred layouts' bookkeeping, not a
  // hundred thousand.
  static constexpr qsizetype kGroup = 1024;

  explicit LogTextView(QWidget* parent = nullptr);
  ~LogTextView() override;

  void setPlainText(const QString& text);
  const QString& toPlainText() const { return text_; }

  // Shows the start of the text.
  void scrollToStart();

  // The rows on screen, top first, as ranges of the text: what is drawn.
  struct Row {
    qsizetype start = 0;
    qsizetype length = 0;
    qreal width = 0;  // the row's natural width in pixels
  };
  std::vector<Row> visibleRows();
  // The width rows wrap at.
  qreal wrapWidth() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  // A run of the text laid out as one: several whole short lines, or part of a
  // long one. Its range holds the line ends between its lines, not the last one.
  struct Stretch {
    qsizetype start;
    std::int32_t length;
    std::int32_t lines;
  };
  struct Placed {
    std::size_t stretch;
    QTextLayout* layout;
    int firstLine;  // the first of its lines on screen
    qreal y;        // where line 0 of the layout is drawn
  };

  void index();
  void estimate();
  void updateRange();
  QTextLayout* layoutOf(std::size_t stretch);
  std::vector<Placed> place();
  // The text position under a point of the viewport.
  qsizetype positionAt(const QPoint& point);

  // Rows per stretch, as a Fenwick tree so that a stretch's count can be
  // corrected and the stretch at a row found in logarithmic time.
  void treeBuild();
  void treeAdd(std::size_t i, std::int64_t delta);
  std::size_t stretchAtRow(std::int64_t row, std::int64_t* rowInStretch) const;

  QString text_;
  std::vector<Stretch> stretches_;
  std::vector<std::int32_t> rows_;  // per stretch: estimated, or exact once laid out
  std::vector<bool> exact_;         // per stretch: laid out
  std::vector<std::int64_t> tree_;  // Fenwick tree over rows_
  std::int64_t totalRows_ = 0;
  std::map<std::size_t, std::unique_ptr<QTextLayout>> layouts_;  // a few, around the screen
  qsizetype anchor_ = 0;  // the selection: from anchor_ to cursor_, either way round
  qsizetype cursor_ = 0;
  qreal laidOutWidth_ = -1;
  bool rangePending_ = false;
};

}  // namespace sonarell::installer
