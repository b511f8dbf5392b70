// Running the zentrova program from a test: its exit code and its output.
#pragma once

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <string>

namespace zentrova::test {

struct CliResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

inline CliResult RunCli(const std::string& args) {
  const std::string command = std::string(ZENTROVA_CLI) + " " + args + " 2>&1";
  CliResult result;
#ifdef _WIN32
  std::FILE* pipe = ::_popen(command.c_str(), "rb");
#else
  std::FILE* pipe = ::popen(command.c_str(), "r");
#endif
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
#ifdef _WIN32
  result.exitCode = ::_pclose(pipe);
#else
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  return result;
}

inline bool Has(const CliResult& r, const std::string& text) {
  return r.output.find(text) != std::string::npos;
}

}  // namespace zentrova::test
