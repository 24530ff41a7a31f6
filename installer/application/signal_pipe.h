#pragma once

// SIGTERM, SIGINT and SIGHUP turned into calls on the main thread, the self-pipe
// way: the handler only writes the signal number into a pipe whose read end an
// event-loop notifier watches.

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

#include "platform/fs/unique_fd.h"

namespace sonarell::installer {

class SignalPipe : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<void(int signal)>;

  // Installs the handlers. Only one may exist at a time; a second one stays inert.
  explicit SignalPipe(Handler handler);
  ~SignalPipe() override;  // restores the previous dispositions

  bool active() const { return notifier_ != nullptr; }

 private:
  void drain();

  Handler handler_;
  fs::UniqueFd readEnd_;
  fs::UniqueFd writeEnd_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace sonarell::installer
