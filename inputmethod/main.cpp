// The sample input method's program. It answers the installer's settings
// hand-off: started with "--settings", or told by the distributed notification
// "org.quennet.sonarell.show-settings", it shows its settings window when there
// is a display, and in every case appends a line saying what it received to
// $HOME/Library/Logs/Sonarell/InputMethod.log.
//
// One instance per user runs at a time. A second start with "--settings" posts
// the notification itself so that the running instance shows its window, logs
// that, and ends: windows never pile up.
//
// The Linux implementations of the platform services are bound here and nowhere
// else.
//
// Lifetime: with its window shown it runs until the window is closed; with no
// window (no display, or started without "--settings") it waits a short while
// for a notification after the last thing it received, then ends, so it never
// lingers in a session without anyone to see it.

#include <QApplication>
#include <QByteArray>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>

#include "inputmethod/bus_watch.h"
#include "inputmethod/instance_lock.h"
#include "inputmethod/sample_log.h"
#include "inputmethod/settings_window.h"
#include "platform/notifications/distributed_notifier_linux.h"
#include "platform/notifications/notification_listener_linux.h"

namespace {

constexpr const char* kShowSettings = "org.quennet.sonarell.show-settings";
constexpr std::chrono::milliseconds kIdleLinger{5000};

bool isHeadlessPlatform(const QString& name) {
  return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

}  // namespace

int main(int argc, char** argv) {
  bool settings = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--settings") {
      settings = true;
    }
  }

  // With no display at all, Qt's default platform would abort; run without a
  // window instead and say so in the log.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  const bool display = !isHeadlessPlatform(QGuiApplication::platformName());
  const std::string home = sonarell::sample::homeFolder();
  const auto log = [&home](const std::string& text) { sonarell::sample::appendLogLine(home, text); };

  const auto lock = sonarell::sample::InstanceLock::tryAcquire(home);  // held until the process ends
  if (!lock && lock.error().kind == sonarell::fs::LockError::Kind::HeldElsewhere) {
    if (settings) {
      sonarell::notifications::DBusNotifier().post(kShowSettings);
      log("received --settings; another instance is running, asked it to show its settings window");
    } else {
      log("started; another instance is already running, nothing to do");
    }
    return 0;
  }
  // A lock that cannot be made at all (an unwritable Caches folder) is no reason
  // to refuse the settings: run as the one instance.

  sonarell::sample::SettingsWindow window;
  QTimer idle;
  idle.setSingleShot(true);
  idle.setInterval(kIdleLinger);
  QObject::connect(&idle, &QTimer::timeout, [&window] {
    if (!window.visible()) {
      QCoreApplication::quit();
    }
  });

  std::unique_ptr<sonarell::notifications::NotificationListener> listener =
      sonarell::notifications::DBusNotificationListener::create([&](const std::string& name) {
        if (name != kShowSettings) {
          return;  // other programs' notifications share the bus
        }
        if (display) {
          window.present(QStringLiteral("通知 ") + QString::fromStdString(name));
          log("received notification " + name + "; settings window shown");
        } else {
          log("received notification " + name + "; no display, settings window not shown");
        }
        idle.start();
      });
  const bool listening = listener != nullptr;
  // Subscribed before the start is logged, so a notification posted after that
  // line is received.
  sonarell::sample::BusWatch watch(std::move(listener));

  std::string started = settings ? "received --settings" : "started without --settings";
  if (settings && display) {
    window.present(QStringLiteral("--settings"));
    started += "; settings window shown";
  } else if (settings) {
    started += "; no display, settings window not shown";
  }
  if (!listening) {
    started += "; no session bus, notifications will not arrive";
  }
  log(started);
  idle.start();
  return app.exec();
}
