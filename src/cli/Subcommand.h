// How the subcommands of `zentrova` reach main: each declares its options
// on the app beside the function that runs it, and hands main the pair.
// A usage error anywhere in a run is thrown as UsageError and said once, by
// main, with the --help hint and exit code 2.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zentrova::cli {

struct Subcommand {
  CLI::App* app = nullptr;   // its options; parsed when the user named it
  std::function<int()> run;  // runs it: the exit code
  // The worker threads it asked for, which the other processes of a run
  // under mpirun use too (null: a subcommand that runs no sieve).
  const int32_t* threads = nullptr;
};

using Subcommands = std::vector<Subcommand>;

// Adds the subcommand `name` with its description to app and its runner to
// commands; returns the subcommand and the record its options are to be
// declared on, which the runner is handed once the user names it.
template <class Options>
struct Declared {
  CLI::App* cmd;
  Options& options;
};
template <class Options>
Declared<Options> AddSubcommand(CLI::App& app, Subcommands& commands, const std::string& name,
                                const std::string& about, int (*run)(const Options&)) {
  auto options = std::make_shared<Options>();
  CLI::App* cmd = app.add_subcommand(name, about);
  commands.push_back({cmd, [options, run] { return run(*options); }});
  return {cmd, *options};
}

// An option that names a file (FILE in the help).
template <class T>
CLI::Option* AddFileOption(CLI::App* cmd, const std::string& name, T& target,
                           const std::string& text) {
  return cmd->add_option(name, target, text)->type_name("FILE");
}

// A usage error: the text main prints after "zentrova: ".
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace zentrova::cli
