#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <csignal>

#include "platform/Console.h"
#include "platform/Utf8.h"

namespace zentrova::platform {

namespace {

std::atomic<void (*)(int)> g_onStop{nullptr};
HANDLE g_handled = nullptr;  // set once the final save is done

BOOL WINAPI OnControl(DWORD event) {
  void (*onStop)(int) = g_onStop.load();
  if (onStop == nullptr) return FALSE;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      onStop(SIGINT);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns (Windows allows some seconds):
      // hold it until the run has saved.
      onStop(SIGTERM);
      if (g_handled != nullptr) ::WaitForSingleObject(g_handled, 20000);
      return TRUE;
    default:
      return FALSE;
  }
}

HANDLE ConsoleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(ConsoleOf(stream), &mode) != 0;
}

int TerminalColumns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(ConsoleOf(stream), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool EnableLineErase(std::FILE* stream) {
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
  HANDLE console = ConsoleOf(stream);
  DWORD mode = 0;
  if (!::GetConsoleMode(console, &mode)) return false;
  return ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void InstallStopHandler(void (*onStop)(int)) {
  if (g_handled == nullptr) g_handled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_onStop.store(onStop);
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

void StopHandled() {
  g_onStop.store(nullptr);
  if (g_handled != nullptr) ::SetEvent(g_handled);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  ::SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(Narrow(wide[i]));
  ::LocalFree(wide);
  return out;
}

void IgnoreFileSizeSignal() {}

}  // namespace zentrova::platform
