#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "platform/Console.h"

namespace zentrova::platform {

namespace {

void (*g_onStop)(int) = nullptr;

extern "C" void OnSignal(int signal) {
  if (g_onStop != nullptr) g_onStop(signal);
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

int TerminalColumns(std::FILE* stream) {
  winsize size{};
  if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool EnableLineErase(std::FILE*) { return true; }

void InstallStopHandler(void (*onStop)(int)) {
  g_onStop = onStop;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

void StopHandled() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void IgnoreFileSizeSignal() { std::signal(SIGXFSZ, SIG_IGN); }

}  // namespace zentrova::platform
