#include "app/StopSignals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace zentrova {

namespace {

int g_pair[2] = {-1, -1};

extern "C" void OnStopSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  // A full pipe means a signal is already waiting to be read: dropping this
  // one loses nothing.
  [[maybe_unused]] const ssize_t written = ::write(g_pair[0], &byte, 1);
  errno = saved;
}

void Handle(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (g_pair[0] >= 0) throw std::runtime_error("stop signals are already handled");
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pair) != 0) {
    g_pair[0] = g_pair[1] = -1;
    throw std::runtime_error("no socket pair for the stop signals");
  }
  m_notifier = std::make_unique<QSocketNotifier>(g_pair[1], QSocketNotifier::Read);
  connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { Read(); });
  Handle(SIGINT, OnStopSignal);
  Handle(SIGTERM, OnStopSignal);
}

StopSignals::~StopSignals() {
  Handle(SIGINT, SIG_DFL);
  Handle(SIGTERM, SIG_DFL);
  m_notifier.reset();
  ::close(g_pair[0]);
  ::close(g_pair[1]);
  g_pair[0] = g_pair[1] = -1;
}

void StopSignals::Read() {
  char byte = 0;
  while (::read(g_pair[1], &byte, 1) == 1) emit Received(static_cast<unsigned char>(byte));
}

}  // namespace zentrova
