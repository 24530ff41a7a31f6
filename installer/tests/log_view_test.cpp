// The log view as a user and assistive technology meet it. Places on screen come from the view's
// own rows and character places, never from fixed pixels, so that no font makes them pass or fail.

#include <QClipboard>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QMenu>
#include <QScrollBar>
#include <QTimer>

#include "installer/tests/support.h"

namespace sonarell::installer::test {
namespace {

QFont detailsFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(11);
  return font;
}

// A view of the log area's inner size, shown, in the details font.
struct ShownView {
  explicit ShownView(const QString& text) {
    view.setFont(detailsFont());
    view.resize(588, 129);
    view.show();
    view.setPlainText(text);
    view.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&view));
    view.setFocus();
    QApplication::processEvents();
  }
  // The rows on screen, each no wider than the view and after the one before.
  std::vector<LogTextView::Row> rows() {
    auto all = view.visibleRows();
    for (std::size_t i = 0; i < all.size(); ++i) {
      EXPECT_LE(all[i].width, view.wrapWidth()) << all[i].start;
      EXPECT_TRUE(i == 0 || all[i].start >= all[i - 1].start + all[i - 1].length) << all[i].start;
    }
    return all;
  }
  std::vector<LogTextView::Row> wholeRows() {
    auto all = rows();
    std::erase_if(all, [&](const LogTextView::Row& r) { return r.bottom > view.viewport()->height(); });
    return all;
  }
  // Keys one after another, as "Shift+Right, PgDown".
  void keys(const char* list) {
    for (const QString& key : QString::fromLatin1(list).split(u',')) {
      QTest::keySequence(&view, QKeySequence(key.trimmed()));
      QApplication::processEvents();
    }
  }
  QString copied() {
    QApplication::clipboard()->clear();
    keys("Ctrl+C");
    return QApplication::clipboard()->text();
  }
  // The point before a position's character (or at its middle), halfway down its row.
  QPoint pointAt(qsizetype position, bool middle = false) {
    const QRectF place = view.characterRect(position);
    return QPointF(middle ? place.center().x() : place.left(), place.center().y()).toPoint();
  }
  // A press, release or double-click of the left button, or a move holding it.
  void mouse(QEvent::Type type, QPoint at, Qt::KeyboardModifiers modifiers = {}, quint64 time = 0) {
    QMouseEvent event(type, at, view.viewport()->mapToGlobal(at),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, modifiers);
    event.setTimestamp(time);
    QApplication::sendEvent(view.viewport(), &event);
  }
  void click(QPoint at, Qt::KeyboardModifiers modifiers = {}, quint64 time = 0) {
    mouse(QEvent::MouseButtonPress, at, modifiers, time);
    mouse(QEvent::MouseButtonRelease, at, modifiers, time);
  }
  void doubleClick(QPoint at, quint64 time) {
    click(at, {}, time);
    mouse(QEvent::MouseButtonDblClick, at, {}, time + 1);
    mouse(QEvent::MouseButtonRelease, at, {}, time + 1);
  }

  LogTextView view;
};

// The view as one read-only text to assistive technology: its whole text, selection, caret and pieces,
// and a place for every character, also one scrolled out of sight.
TEST(LogViewAccess, ReadOnlyMultiLineTextWithItsWholeTextSelectionCaretAndPlaces) {
  const QString head =
      u("将为当前用户安装独立输入法。\n安装完成后可以打开设置。\ncrlf word\r\nlone\rlast row\n");
  QString log = head;
  for (int i = 0; i < 300; ++i) log += u("line %1 of the log\n").arg(i, 3, 10, QChar(u'0'));
  const qsizetype line = (log.size() - head.size()) / 300;
  ShownView shown(log);
  QAccessibleInterface* access = QAccessible::queryAccessibleInterface(&shown.view);
  ASSERT_NE(access, nullptr);
  EXPECT_EQ(access->role(), QAccessible::EditableText);
  const QAccessible::State state = access->state();
  EXPECT_TRUE(state.readOnly && state.multiLine && state.selectableText && state.focusable && state.focused);
  EXPECT_EQ(access->text(QAccessible::Value), log);
  QAccessibleTextInterface* text = access->textInterface();
  ASSERT_NE(text, nullptr);
  const int n = static_cast<int>(log.size());
  EXPECT_TRUE(text->characterCount() == n && text->text(0, n) == log);

  // The selection and caret, read and set both ways.
  EXPECT_EQ(text->selectionCount(), 0);
  shown.keys("Ctrl+A");
  int start = -1, end = -1;
  text->selection(0, &start, &end);
  EXPECT_TRUE(text->selectionCount() == 1 && start == 0 && end == n);
  text->setSelection(0, 2, 7);
  EXPECT_EQ(shown.copied(), log.mid(2, 5));
  EXPECT_EQ(text->cursorPosition(), 7);
  text->setCursorPosition(3);
  EXPECT_TRUE(text->selectionCount() == 0 && text->cursorPosition() == 3);

  // The piece around an offset: a line with its end, a word, CR LF as one character, a row.
  const std::tuple<qsizetype, QAccessible::TextBoundaryType, QString> pieces[] = {
      {16, QAccessible::ParagraphBoundary, u("安装完成后可以打开设置。\n")},
      {log.indexOf(u"word") + 1, QAccessible::WordBoundary, u("word")},
      {log.indexOf(u'\r'), QAccessible::CharBoundary, u("\r\n")},
      {log.indexOf(u"row"), QAccessible::LineBoundary, u("last row\n")},
      {log.indexOf(u"lone"), QAccessible::LineBoundary,
       u("\nlone\r")},  // a row from the line feed, drawn as nothing
  };
  for (const auto& [offset, boundary, piece] : pieces) {
    int from = -1, to = -1;
    EXPECT_EQ(text->textAtOffset(static_cast<int>(offset), boundary, &from, &to), piece) << offset;
    EXPECT_EQ(log.mid(from, to - from), piece) << offset;
  }

  // Every character has its place, in reading order: above the view for the
  // rows above, below it for the rows below, and on screen the one it leads to.
  shown.keys("PgDown, PgDown, PgDown, PgDown, PgDown");
  const auto whole = shown.wholeRows();
  ASSERT_GT(whole.front().start, head.size() + 10 * line);
  const QRect viewport(shown.view.viewport()->mapToGlobal(QPoint(0, 0)), shown.view.viewport()->size());
  int lastTop = INT_MIN;
  for (qsizetype start = head.size(); start < log.size(); start += 7 * line) {
    const int offset = static_cast<int>(start + 3);
    const QRect place = text->characterRect(offset);
    ASSERT_FALSE(place.isEmpty()) << offset;
    EXPECT_GT(place.top(), lastTop) << offset;
    lastTop = place.top();
    if (start < whole.front().start) {
      EXPECT_LE(place.bottom(), viewport.top()) << offset;
    } else if (start > whole.back().start) {
      EXPECT_GE(place.bottom(), viewport.bottom()) << offset;
    } else {
      EXPECT_EQ(text->offsetAtPoint(place.center()), offset);
    }
  }
}

// The arrow keys move a reading position that is not drawn; a screen reader is told of each move and
// reads the row there. A plain move starts from the top row when the position was scrolled out of sight,
// ends a selection towards its way, and scrolls only to keep the position seen.
TEST(LogViewReading, ArrowKeysMoveTheReadingPositionAScreenReaderFollows) {
  QString log;
  for (int i = 0; i < 60; ++i) log += u("step %1 copied Contents/Resources\n").arg(i, 2, 10, QChar(u'0'));
  const qsizetype line = log.indexOf(u'\n') + 1;  // every line as long, and short enough to be one row
  const auto at = [](qsizetype position) { return QString::number(position); };
  struct Case {
    const char* name;
    std::function<void(ShownView&)> before;
    const char* keys;
    QStringList told;  // carets moved to, and a selection that ended
  };
  const Case cases[] = {
      {"characters", {}, "Right, Right, Left", {"1", "2", "1"}},
      {"words", {}, "Ctrl+Right, Ctrl+Right, Ctrl+Left", {"4", "7", "5"}},
      {"rows", {}, "Down, Down, Up", {at(line), at(2 * line), at(line)}},
      {"a selection ends at its start or end",
       [&](ShownView& v) { v.view.select(line + 9, line + 2); },
       "Right",
       {"selection", at(line + 9)}},
      {"from out of sight to the top row", [](ShownView& v) { v.keys("End"); }, "Down", {"top"}},
  };
  for (const Case& k : cases) {
    ShownView shown(log);
    if (k.before) k.before(shown);
    const qsizetype top = shown.rows().front().start;
    AccessibilityEvents events;
    shown.keys(k.keys);
    QStringList told;
    for (const auto& e : events.take({QAccessible::TextCaretMoved, QAccessible::TextSelectionChanged}))
      told << (e.type == QAccessible::TextSelectionChanged ? u("selection") : e.text);
    EXPECT_EQ(told, QStringList(k.told).replaceInStrings(u"top", at(top))) << k.name;
    EXPECT_EQ(shown.view.selectionStart(), shown.view.selectionEnd()) << k.name;
    EXPECT_EQ(shown.rows().front().start, top) << k.name << ": scrolled";
    int from = -1, to = -1;  // what the screen reader reads at the position: its row
    auto* text = QAccessible::queryAccessibleInterface(&shown.view)->textInterface();
    const QString row = text->textAtOffset(-2, QAccessible::LineBoundary, &from, &to);
    EXPECT_EQ(row, log.mid(shown.view.caret() / line * line, line)) << k.name;
  }

  // Down past the last row seen whole scrolls by that one row.
  ShownView shown(log);
  const std::size_t seen = shown.wholeRows().size();
  for (std::size_t i = 0; i < seen; ++i) shown.keys("Down");
  EXPECT_EQ(shown.rows().front().start, line);
  EXPECT_EQ(shown.wholeRows().back().start, shown.view.caret());
}

// The rows on screen never leave one out between two presses, and the last
// character of the log is reached and seen whole.
TEST(LogViewScrolling, EveryKeyLandsOnTheRowItMeansWithWrappedAndTallerRows) {
  const qreal perRow = ShownView({}).view.wrapWidth() / QFontMetricsF(detailsFont()).horizontalAdvance(u'x');
  // Words a little over half a row wide: every row holds one, far fewer than the length suggests.
  const QString word = QString(static_cast<qsizetype>(perRow * 0.55), u'w');
  auto words = [&](int count) { return (word + u' ').repeated(count - 1) + word; };
  QString numbered, chinese, mixed;
  for (int i = 0; i < 40; ++i) {
    numbered += u("step %1 ok\n").arg(i);
    chinese += u("第%1行：正在复制安装内容到当前用户的输入法目录，请稍候。\n").arg(i);
    mixed +=
        i % 2 ? u("copy: Contents/Resources/%1 -> staged\n").arg(i) : u("正在启用输入法，第%1步。\n").arg(i);
  }
  const std::pair<const char*, QString> cases[] = {
      {"a closing line that wraps", numbered + words(12)},
      {"one line of many stretches", words(static_cast<int>(5 * LogTextIndex::kStretch / word.size()))},
      {"Chinese rows", chinese + u("安装完成。")},
      {"mixed rows", mixed + words(6)},
  };
  for (const auto& [name, text] : cases) {
    const QString& log = text;  // a plain reference: lambdas capture it
    ShownView shown(log);
    auto top = [&] { return shown.rows().front().start; };
    auto endSeen = [&] {
      const auto whole = shown.wholeRows();
      return !whole.empty() && whole.back().start + whole.back().length == log.size();
    };

    shown.keys("End");
    EXPECT_TRUE(endSeen()) << name;
    const qsizetype endTop = top();
    shown.keys("Ctrl+Up");  // Up and Down move the caret; with Ctrl they scroll
    EXPECT_EQ(shown.rows()[1].start, endTop) << name << ": up by one row";
    shown.keys("Ctrl+Down");
    EXPECT_EQ(top(), endTop) << name;

    shown.keys("Home");
    EXPECT_EQ(top(), 0) << name;
    int pages = 0;
    while (!endSeen() && ++pages < 200) {
      // The first row not seen whole becomes the top (or the one after the last, when all were).
      const auto seen = shown.rows(), whole = shown.wholeRows();
      ASSERT_FALSE(whole.empty()) << name;
      const qsizetype limit = seen.size() > whole.size() ? seen[whole.size()].start
                                                         : whole.back().start + whole.back().length + 1;
      shown.keys(pages % 2 ? "PgDown" : "Space");
      EXPECT_GT(top(), seen.front().start) << name << " page " << pages;
      EXPECT_LE(top(), limit) << name << " page " << pages << " skips";
    }
    EXPECT_TRUE(endSeen()) << name;
    while (top() > 0 && --pages > -200) {
      const qsizetype before = top();
      shown.keys(pages % 2 ? "PgUp" : "Shift+Space");
      // The old top is on screen again, right below the rows seen whole.
      const auto seen = shown.rows();
      const auto old =
          std::find_if(seen.begin(), seen.end(), [&](const auto& r) { return r.start == before; });
      EXPECT_LT(top(), before) << name << " page up";
      EXPECT_TRUE(old != seen.end() && old - seen.begin() <= std::ssize(shown.wholeRows()))
          << name << " page up skips";
    }
    EXPECT_EQ(top(), 0) << name;
  }
}

TEST(LogViewSelection, MouseAndKeysSelectWhatTheUserMeansAndCopyExactlyThat) {
  const QString log = u("alpha beta gamma\nsecond line here\r\nthird row\n");
  const qsizetype beta = log.indexOf(u"beta"), second = log.indexOf(u"second"), third = log.indexOf(u"third");
  struct Case {
    const char* name;
    std::function<void(ShownView&)> act;
    QString copied;
  };
  const Case cases[] = {
      {"double-click: the word", [&](ShownView& v) { v.doubleClick(v.pointAt(beta + 1, true), 1000); },
       u("beta")},
      {"triple-click: the line with its end",
       [&](ShownView& v) {
         v.doubleClick(v.pointAt(second + 2, true), 1000);
         v.click(v.pointAt(second + 2, true), {}, 1100);
       },
       u("second line here\r\n")},
      {"a click long after a double-click starts afresh",
       [&](ShownView& v) {
         v.doubleClick(v.pointAt(second + 2, true), 1000);
         v.click(v.pointAt(second + 2), {}, 100000);
         v.keys("Shift+Right");
       },
       u("c")},
      {"Shift+click extends from the press",
       [&](ShownView& v) {
         v.click(v.pointAt(2));
         v.click(v.pointAt(third + 3), Qt::ShiftModifier);
       },
       log.mid(2, third + 1)},
      {"a drag after a double-click goes by words",
       [&](ShownView& v) {
         v.click(v.pointAt(beta + 1, true), {}, 1000);
         v.mouse(QEvent::MouseButtonDblClick, v.pointAt(beta + 1, true), {}, 1001);
         v.mouse(QEvent::MouseMove, v.pointAt(third + 2, true));
         v.mouse(QEvent::MouseButtonRelease, v.pointAt(third + 2, true));
       },
       log.mid(beta, third + 5 - beta)},
      {"Shift+arrows from the caret",
       [&](ShownView& v) {
         v.click(v.pointAt(beta));
         v.keys("Shift+Right, Shift+Right, Shift+Right, Shift+Down, Shift+Left");
       },
       log.mid(beta, second + 8 - beta)},
      {"Shift+End to the row's end, before its line end",
       [&](ShownView& v) {
         v.click(v.pointAt(second + 7));
         v.keys("Shift+End");
       },
       u("line here")},
  };
  for (const Case& k : cases) {
    ShownView shown(log);
    k.act(shown);
    EXPECT_EQ(shown.copied(), k.copied) << k.name;
  }
}

// Only what was on screen and passed by the drag is selected: nothing scrolled
// away above a press in the margin, everything a held drag scrolls past.
TEST(LogViewSelection, DragsSelectWhatTheyPassAndScrollOnPastTheEdge) {
  QString log;
  for (int i = 0; i < 300; ++i) log += u("line %1\n").arg(i, 3, 10, QChar(u'0'));
  for (const bool pastTheEdge : {false, true}) {
    ShownView shown(log);
    for (int i = 0; i < 10; ++i) shown.keys("Ctrl+Down");
    const auto rows = shown.wholeRows();
    ASSERT_GT(rows.size(), 3u);
    shown.mouse(QEvent::MouseButtonPress, QPoint(0, 0));  // the top margin
    const QPoint to =
        pastTheEdge ? QPoint(20, shown.view.viewport()->height() + 10) : shown.pointAt(rows[2].start);
    shown.mouse(QEvent::MouseMove, to);
    const int value = shown.view.verticalScrollBar()->value();
    // Held still past the edge, the view keeps scrolling by itself.
    EXPECT_TRUE(!pastTheEdge ||
                QTest::qWaitFor([&] { return shown.view.verticalScrollBar()->value() >= value + 3; }, 5000));
    shown.mouse(QEvent::MouseButtonRelease, to);
    const QString copied = shown.copied();
    EXPECT_TRUE(copied.startsWith(log.mid(rows[0].start, 8))) << copied.left(40).toStdString();
    if (pastTheEdge)
      EXPECT_GT(copied.size(), rows.back().start + rows.back().length - rows[0].start);
    else
      EXPECT_EQ(copied, log.mid(rows[0].start, rows[2].start - rows[0].start));
  }
}

TEST(LogViewMenu, RightClickOffersCopyAndSelectAllOverAnIBeam) {
  const QString log = u("alpha beta\n第二行");
  for (const bool selection : {false, true}) {  // without one, Select All is chosen; with one, Copy
    ShownView shown(log);
    EXPECT_EQ(shown.view.viewport()->cursor().shape(), Qt::IBeamCursor);
    if (selection) shown.doubleClick(shown.pointAt(7, true), 1000);
    QApplication::clipboard()->clear();
    QStringList offered;  // each action's text, marked when it is disabled
    QTimer::singleShot(0, [&] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        for (QAction* a : menu->actions())
          offered << a->text() + QLatin1StringView(a->isEnabled() ? "" : " (off)");
        if (offered.size() == 2) menu->actions()[selection ? 0 : 1]->trigger();
        menu->close();
      }
    });
    const QPoint at = shown.pointAt(1);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, shown.view.viewport()->mapToGlobal(at));
    QApplication::sendEvent(shown.view.viewport(), &event);
    QApplication::processEvents();
    EXPECT_EQ(offered, QStringList({selection ? u("拷贝") : u("拷贝 (off)"), u("全选")}));
    if (!selection) shown.keys("Ctrl+C");
    EXPECT_EQ(QApplication::clipboard()->text(), selection ? u("beta") : log);
  }
}

// Megabytes in one line or in a hundred thousand lines show at once, whole, to their end.
TEST(LogViewRows, HugeLogsShowWholeToTheirEnd) {
  for (const QString& log : {QString(2000000, u'x'), u("a\n").repeated(100000)}) {
    ShownView shown(log);
    shown.keys("Ctrl+A");
    EXPECT_TRUE(shown.copied() == log);  // not printed: megabytes
    EXPECT_GT(shown.rows().front().length, 1);
    QScrollBar* bar = shown.view.verticalScrollBar();
    for (int step = 0; step < 5; ++step) {  // the range settles in a few steps once rows are laid out
      bar->setValue(bar->maximum());
      shown.rows();
      QApplication::processEvents();
    }
    const auto last = shown.rows();
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back().start + last.back().length, log.size());
  }
}

}  // namespace
}  // namespace sonarell::installer::test
