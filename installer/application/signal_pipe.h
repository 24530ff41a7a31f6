#pragma once

// SIGTERM, SIGINT and SIGHUP turned into calls on the main thread: an event-loop
// notifier watches the platform's termination-signal descriptor.

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

#include "platform/termination/termination_signals.h"

namespace sonarell::installer {

class SignalPipe : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<void(int signal)>;

  // Installs the handlers. Only one may exist at a time; a second one stays inert.
  explicit SignalPipe(Handler handler);
  ~SignalPipe() override = default;  // restores the previous dispositions

  bool active() const { return notifier_ != nullptr; }

 private:
  void drain();

  Handler handler_;
  std::unique_ptr<termination::TerminationSignals> signals_;
  // Declared after signals_, so that it goes before the descriptor it watches.
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace sonarell::installer
