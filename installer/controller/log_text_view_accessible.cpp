#include "installer/controller/log_text_view_accessible.h"

#include <QAccessibleWidget>
#include <QScrollBar>
#include <algorithm>
#include <utility>

#include "installer/controller/log_text_view.h"
#include "installer/text/text_boundaries.h"

namespace sonarell::installer {

namespace {

// The view as one text: the scroll bar is its only child, as in the platform's
// own text views; the viewport in between is no element of its own.
class LogTextViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit LogTextViewAccessible(LogTextView* view) : QAccessibleWidget(view, QAccessible::EditableText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.editable = false;
    state.multiLine = true;
    state.selectableText = true;
    return state;
  }

  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Value) return view()->toPlainText();
    return QAccessibleWidget::text(kind);
  }

  int childCount() const override { return scrollBarShown() ? 1 : 0; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 && scrollBarShown() ? QAccessible::queryAccessibleInterface(view()->verticalScrollBar())
                                          : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && scrollBarShown() && child->object() == view()->verticalScrollBar() ? 0 : -1;
  }

  // Selection and caret.
  void selection(int index, int* start, int* end) const override {
    const bool any = index == 0 && view()->anchor() != view()->caret();
    *start = any ? static_cast<int>(view()->selectionStart()) : 0;
    *end = any ? static_cast<int>(view()->selectionEnd()) : 0;
  }
  int selectionCount() const override { return view()->anchor() != view()->caret() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int index) override {
    if (index == 0) view()->select(view()->caret(), view()->caret());
  }
  void setSelection(int index, int start, int end) override {
    if (index == 0) view()->select(start, end);
  }
  int cursorPosition() const override { return static_cast<int>(view()->caret()); }
  void setCursorPosition(int position) override {
    view()->select(position, position);
    view()->ensureVisible(view()->caret());
  }

  // Text. Pieces around an offset are found near it, never over the whole log.
  QString text(int start, int end) const override {
    const QString& all = view()->toPlainText();
    start = std::clamp<int>(start, 0, static_cast<int>(all.size()));
    end = std::clamp<int>(end, start, static_cast<int>(all.size()));
    return all.mid(start, end - start);
  }
  int characterCount() const override { return static_cast<int>(view()->toPlainText().size()); }

  QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                       int* end) const override {
    const int n = characterCount();
    if (offset == -2) offset = cursorPosition();
    *start = *end = -1;
    if (offset < 0 || offset > n) return {};
    const auto [from, to] = pieceAt(std::min(offset, std::max(0, n - 1)), boundary);
    *start = static_cast<int>(from);
    *end = static_cast<int>(to);
    return text(*start, *end);
  }
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                           int* end) const override {
    if (offset == -2) offset = cursorPosition();
    *start = *end = -1;
    if (offset <= 0 || offset > characterCount()) return {};
    const qsizetype at = pieceAt(std::min(offset, characterCount() - 1), boundary).first;
    if (at == 0) return {};
    return textAtOffset(static_cast<int>(previousCharacter(view()->toPlainText(), at)), boundary, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                          int* end) const override {
    if (offset == -2) offset = cursorPosition();
    *start = *end = -1;
    if (offset < 0 || offset >= characterCount()) return {};
    const qsizetype after = pieceAt(offset, boundary).second;
    if (after >= characterCount()) return {};
    return textAtOffset(static_cast<int>(after), boundary, start, end);
  }

  // Geometry, in screen coordinates.
  QRect characterRect(int offset) const override {
    const QRectF local = view()->characterRect(offset);
    if (local.isEmpty()) return {};
    return QRect(view()->viewport()->mapToGlobal(local.topLeft().toPoint()), local.size().toSize());
  }
  int offsetAtPoint(const QPoint& point) const override {
    const QPoint local = view()->viewport()->mapFromGlobal(point);
    if (!view()->viewport()->rect().contains(local)) return -1;
    return static_cast<int>(view()->positionAt(local, true));
  }
  void scrollToSubstring(int start, int end) override {
    view()->ensureVisible(std::max(start, end));
    view()->ensureVisible(start);
  }
  // One font and colour throughout: no attributes of its own.
  QString attributes(int, int* start, int* end) const override {
    *start = 0;
    *end = characterCount();
    return {};
  }

 private:
  LogTextView* view() const { return static_cast<LogTextView*>(widget()); }
  bool scrollBarShown() const { return view()->verticalScrollBar()->isVisible(); }

  TextRange pieceAt(qsizetype offset, QAccessible::TextBoundaryType boundary) const {
    const QString& text = view()->toPlainText();
    switch (boundary) {
      case QAccessible::CharBoundary:
        return {offset, nextCharacter(text, offset)};
      case QAccessible::WordBoundary:
        return wordAt(text, offset);
      case QAccessible::LineBoundary:
        return view()->rowAt(offset);
      case QAccessible::SentenceBoundary:
        return sentenceAt(text, offset);
      case QAccessible::ParagraphBoundary:
        return lineAt(text, offset);
      case QAccessible::NoBoundary:
        break;
    }
    return {0, text.size()};
  }
};

// Qt's accessibility cache owns and deletes the interfaces a factory makes.
QAccessibleInterface* logTextViewFactory(const QString&, QObject* object) {
  auto* view = qobject_cast<LogTextView*>(object);
  return view != nullptr ? new LogTextViewAccessible(view) : nullptr;
}

}  // namespace

void installLogTextViewAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(logTextViewFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace sonarell::installer
