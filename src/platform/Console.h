// The console a run is watched on, and the requests to stop it, the way each
// system has them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zentrova::platform {

// Whether the stream writes to a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);

// The width of that terminal in columns; 0 when unknown.
int TerminalColumns(std::FILE* stream);

// Lets the terminal take "\r\033[K" (erase the line) as a command; false
// where it cannot, and the caller blanks the line with spaces instead.
bool EnableLineErase(std::FILE* stream);

// Calls onStop (from a signal handler or a system thread: it may only set a
// flag) when the user or the system asks the program to stop: SIGINT and
// SIGTERM; on Windows Ctrl-C, Ctrl-Break, closing the console window, log
// off and shutdown. For the last three Windows ends the process once the
// handler returns, so it waits there (a few seconds at most) until
// StopHandled() says that the final save is done.
void InstallStopHandler(void (*onStop)(int signal));
void StopHandled();

// The program's arguments in UTF-8 (Windows hands main() the ANSI code
// page's, which cannot hold every file name: they are taken from the wide
// command line instead), and the console set to show UTF-8.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A file grown past the process's size limit fails its write with EFBIG,
// which the saves report, instead of a signal ending the process (POSIX).
void IgnoreFileSizeSignal();

}  // namespace zentrova::platform
