// zentrova: the command-line front end for long headless sieve runs.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Describe.h"
#include "cli/RunJob.h"
#include "cli/SideCommands.h"
#include "cli/Version.h"
#include "mpi/MpiCluster.h"
#include "platform/Console.h"

namespace {

// The program's description at the head of --help and of its manual page.
const char* const kAbout =
    "zentrova - a sieve for generalized Fermat numbers b^N+1.\n"
    "Every prime factor of b^N+1 (N a power of two) has the form p = k*2N+1. The sieve takes\n"
    "such p in increasing order and strikes every base b of a range with b^N == -1 (mod p),\n"
    "recording b with its factor; the survivors form a candidate file (ABC format) for a\n"
    "primality tester.\n\n"
    "Examples:\n"
    "  zentrova new --exponent 65536 --bmin 1200000 --bmax 1201998 \\\n"
    "      --factors-out factors.txt --sieve-out candidates.txt --p-max 1e10\n"
    "  zentrova resume --factors-in factors.txt --sieve-in candidates.txt \\\n"
    "      --factors-out factors.txt --sieve-out candidates.txt --p-max 1e11\n"
    "  zentrova bench\n"
    "  zentrova pack --dir pk --exponent 65536 --p-max 1e13\n"
    "  zentrova report --factors-in factors.txt --proth-log Proth.Log --report report.txt\n"
    "  zentrova rebuild --factors-in factors.txt --factors-out sorted.txt \\\n"
    "      --sieve-out candidates.txt --exponent 65536 --bmin 1200000 --bmax 1201998\n"
    "  zentrova tbf --sieve-in candidates.txt --sieve-out tbf.txt --exponent 65536 \\\n"
    "      --bmin 1200000 --bmax 1201998\n"
    "Ctrl-C (or SIGTERM) stops a run after the current batch of p and saves both files.\n"
    "Under mpirun, new and resume spread each batch of p over the processes (each with its\n"
    "--threads); process 0 owns the files, which are the same as one process would write:\n"
    "  mpirun -n 4 zentrova new --wide --exponent 1048576 --bmin 2 --bmax 2000000000 ...\n"
    "Exit codes: 0 done, 1 the job reported a failure, 2 bad usage.";

}  // namespace

int main(int argc, char** argvIn) {
  // Every name in UTF-8, whatever the system hands main().
  std::vector<std::string> arguments = zentrova::platform::Utf8Arguments(argc, argvIn);
  std::vector<char*> argvUtf8;
  for (std::string& a : arguments) argvUtf8.push_back(a.data());
  argvUtf8.push_back(nullptr);
  argc = static_cast<int>(arguments.size());
  char** argv = argvUtf8.data();
  // Past a file size limit a write fails with EFBIG, which the job reports
  // and survives, instead of the signal ending the process mid-save.
  zentrova::platform::IgnoreFileSizeSignal();
  zentrova::cli::InstallStopSignals();
  // Under mpirun: process 0 runs the job, the others compute its batches.
  std::unique_ptr<zentrova::BatchCluster> cluster;
  try {
    cluster = zentrova::JoinProcessRun(argc, argv);
  } catch (const zentrova::ClusterError& e) {
    std::fprintf(stderr, "zentrova: %s\n", e.what());
    return zentrova::cli::kExitJobFailed;
  }
  // The other processes write nothing on stdout (help included): the run's
  // output is process 0's; their messages go to stderr.
  if (cluster && cluster->Rank() > 0 && std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::fprintf(stderr, "zentrova: /dev/null cannot be opened.\n");
  }
  CLI::App app{kAbout};
  app.require_subcommand(1);
  app.set_version_flag(
      "--version", [] { return zentrova::cli::VersionText(); },
      "Show the version, the commit and what this build includes, then exit");
  app.set_help_all_flag("--help-all", "Show the help of every subcommand");

  zentrova::cli::Subcommands commands;
  zentrova::cli::AddSieveCommands(app, commands);
  zentrova::cli::AddSideCommands(app, commands);

  // The manual page and the shell completion, made from the options above.
  zentrova::cli::AddDescribeCommands(app, commands);

  // The program's name in every usage line, not the path it was started by.
  app.name("zentrova");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zentrova: %s\nRun 'zentrova --help' for more information.\n", e.what());
    return zentrova::cli::kExitUsage;
  }

  const zentrova::cli::Subcommand* chosen = nullptr;
  for (const zentrova::cli::Subcommand& c : commands) {
    if (c.app->parsed()) chosen = &c;
  }
  try {
    if (cluster && cluster->Rank() > 0) {
      const int threads = chosen != nullptr && chosen->threads != nullptr ? *chosen->threads : 0;
      return zentrova::cli::ServeOtherProcess(*cluster, threads);
    }
    zentrova::cli::UseCluster(cluster.get());
    if (chosen != nullptr) return chosen->run();
  } catch (const zentrova::cli::UsageError& e) {
    zentrova::cli::Usage(e.what());
    return zentrova::cli::kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zentrova: %s\n", e.what());
    return zentrova::cli::kExitJobFailed;
  }
  return zentrova::cli::kExitUsage;
}
