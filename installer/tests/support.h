#pragma once

// What the installer's tests share: a home and a payload per test, and the window's controls by name.

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "gtest/gtest.h"
#include "installer/application/platform_services.h"
#include "installer/controller/installer_controller.h"
#include "installer/controller/log_text_view.h"
#include "tests/support/scratch.h"

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace sonarell::installer::test {

namespace stdfs = std::filesystem;
using sonarell::test::readFile;
using sonarell::test::ScopedEnv;
using sonarell::test::writeFile;

inline QString u(const char* s) { return QString::fromUtf8(s); }

inline const QString kRetryAdvice =
    u("可重新下载并完整解压安装包后重试。已有文件与日志会保留；如果记录提示已安装但未启用，可在系统键盘设置中"
      "添加。");

inline bool waitUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 20000); }

inline const char* kVersionEntry = "<key>CFBundleShortVersionString</key><string>1.4.2</string>";

// The accessibility events a screen reader is sent while one of these lives: kind, object's name and
// what it carries (the name for a name change or a showing, the text put in, the caret's position).
// The offscreen platform has no bridge that would switch accessibility on, so the recorder does.
class AccessibilityEvents {
 public:
  struct Event {
    QAccessible::Event type;
    QString object;
    QString text;
    friend bool operator==(const Event&, const Event&) = default;
    friend void PrintTo(const Event& e, std::ostream* os) {
      *os << e.type << " " << e.object.toStdString() << " \"" << e.text.left(80).toStdString() << '"';
    }
  };

  AccessibilityEvents();
  ~AccessibilityEvents();
  AccessibilityEvents(const AccessibilityEvents&) = delete;
  AccessibilityEvents& operator=(const AccessibilityEvents&) = delete;

  // The events of the given kinds since the last call, in order.
  std::vector<Event> take(std::initializer_list<QAccessible::Event> types);

 private:
  static void record(QAccessibleEvent* event);
  static inline std::vector<Event>* events_ = nullptr;
  std::vector<Event> recorded_;
  QAccessible::UpdateHandler previous_;
};

// The payload's path has a space and Chinese characters on purpose: they must travel unquoted, unchanged.
class InstallerTest : public ::testing::Test {
 protected:
  // The three payload items, the input method's Info.plist holding `entries`.
  void makePayload(const std::string& script, const std::string& entries = kVersionEntry) {
    writeFile(root_ / "Payload/Sonarell.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>org.quennet.inputmethod.Sonarell</string>" +
                  entries + "</dict></plist>\n");
    writeFile(root_ / "Registration/Keyloom.app/Contents/MacOS/Keyloom", "#!/bin/sh\nexit 0\n");
    writeScript(script);
  }
  void writeScript(const std::string& body) { writeFile(root_ / "Scripts/install-macos.sh", body); }
  // Something at the installed location: the update variant.
  void markInstalled() { stdfs::create_directories(home_ / "Library/Input Methods/Sonarell.app/Contents"); }

  InstallerController& makeController(ControllerOptions options = platformServices()) {
    controller_ = std::make_unique<InstallerController>(InstallerPayload(root_.string()), std::move(options));
    controller_->setCompletionObserver([this](std::int32_t code) { codes_.push_back(code); });
    return *controller_;
  }

  std::int32_t runToOutcome() {
    const std::size_t before = codes_.size();
    click("action");
    EXPECT_TRUE(waitUntil([&] { return codes_.size() > before; })) << "no outcome";
    return codes_.size() > before ? codes_.back() : -1;
  }

  template <typename T = QWidget>
  T* find(const char* name) const {
    auto* w = controller_->window()->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QString text(const char* name) const {
    QWidget* w = find(name);
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
    if (auto* button = qobject_cast<QPushButton*>(w)) return button->text();
    return qobject_cast<LogTextView*>(w)->toPlainText();
  }
  void click(const char* name) const { find<QPushButton>(name)->click(); }
  bool shown(const char* name) const { return !find(name)->isHidden(); }
  std::vector<stdfs::path> logFiles() const {
    const stdfs::path folder = home_ / "Library/Logs/Sonarell/Installer";
    std::vector<stdfs::path> files;  // no folder: no files
    for (const auto& name : sonarell::test::namesIn(folder)) files.push_back(folder / name);
    return files;
  }

  sonarell::test::TempDir scratch_{"sonarell-installer"};
  stdfs::path base_ = scratch_.path(), home_ = base_ / "home", root_ = base_ / "安装 包" / "Resources";
  ScopedEnv homeEnv_{"HOME", (base_ / "home").c_str()};
  std::vector<std::int32_t> codes_;
  std::unique_ptr<InstallerController> controller_;  // goes first, before the home and the codes
};

}  // namespace sonarell::installer::test
