// SIGINT and SIGTERM (Ctrl-C in a terminal, a logout, a shutdown) delivered
// to the desktop program as a Qt signal on its own thread: the handler only
// writes the signal's number into a socket pair, which a QSocketNotifier
// reads. The program then stops a running job, waits for its final save and
// closes, as the command line does, instead of ending at once and losing the
// work since the last save.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace zentrova {

class StopSignals : public QObject {
  Q_OBJECT

 public:
  // Installs the handlers; one instance at a time. Throws std::runtime_error
  // when the socket pair cannot be made.
  explicit StopSignals(QObject* parent = nullptr);
  // Restores the default handlers.
  ~StopSignals() override;

 signals:
  void Received(int signal);

 private:
  void Read();

  std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace zentrova
