#pragma once

// What the installer's tests share: a temporary home and payload per test, install
// scripts written into that payload, and waiting on the event loop.

#include <QApplication>
#include <QCoreApplication>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "installer/application/platform_services.h"
#include "installer/controller/installer_controller.h"
#include "tests/support/scratch.h"
#include "tests/support/session_bus.h"

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace sonarell::installer::testing {

namespace stdfs = std::filesystem;

using testsupport::readFile;
using testsupport::writeFile;

// The window's texts are written here as UTF-8 literals.
inline QString u(const char* s) { return QString::fromUtf8(s); }

// Runs the event loop until `done` holds or the time is up; true when it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

// A temporary folder with a home (HOME points at it for the test) and a payload
// root inside it. The payload's name has a space and Chinese characters in it on
// purpose: they must travel unquoted and unchanged.
class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = base_ / "home";
    root_ = base_ / "安装 包" / "Resources";
    stdfs::create_directories(home_);
    stdfs::create_directories(root_);
    homeEnv_.emplace("HOME", home_.c_str());
  }
  void TearDown() override {
    controller_.reset();
    homeEnv_.reset();
  }

  // The three payload items, the input method declaring `version` when given.
  void makePayload(const std::string& script,
                   std::optional<std::string> versionEntry =
                       std::string("<key>CFBundleShortVersionString</key><string>1.4.2</string>")) {
    writeFile(root_ / "Payload/Sonarell.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>org.quennet.inputmethod.Sonarell</string>" +
                  versionEntry.value_or("") + "</dict></plist>\n");
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

  // Presses the main button and waits for the run's outcome.
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
  QString text(const char* name) const;
  void click(const char* name) const;

  std::vector<stdfs::path> logFiles() const {
    std::vector<stdfs::path> files;
    const auto folder = home_ / "Library/Logs/Sonarell/Installer";
    if (!stdfs::exists(folder)) return files;
    for (const auto& e : stdfs::directory_iterator(folder)) files.push_back(e.path());
    return files;
  }

  testsupport::TempDir scratch_{"sonarell-installer"};
  stdfs::path base_ = scratch_.path(), home_, root_;
  std::optional<sonarell::testing::ScopedEnv> homeEnv_;
  std::unique_ptr<InstallerController> controller_;
  std::vector<std::int32_t> codes_;
};

// Where the screenshots go: under the build folder.
std::string screenshotFolder();
// The built application icon, which the tests make the application's own.
std::string applicationIconPath();

}  // namespace sonarell::installer::testing
