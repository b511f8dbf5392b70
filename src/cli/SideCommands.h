// The side subcommands of `zentrova`, which work on files without sieving:
//   report   merge a primality tester's log with a factor file into a report;
//   rebuild  rebuild the candidate file (and a sorted factor file) from a
//            factor file of either format;
//   tbf      list the bases of a range that an input file does not mention.
// Each applies the form's checks with their texts, runs its job and exits
// 0 (done), 1 (the job reported a failure) or 2 (bad usage).
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace zentrova::cli {

struct SideOptions {
  std::string factorsIn, factorsOut, sieveIn, sieveOut, prothLog, report;
  int32_t exponent = 0;
  int32_t bMin = 0;
  int32_t bMax = 0;
  bool wide = false;
  bool force = false;
};

struct SideCommands {
  SideOptions reportOptions, rebuildOptions, tbfOptions;
  CLI::App* report = nullptr;
  CLI::App* rebuild = nullptr;
  CLI::App* tbf = nullptr;
};

// Declares the three subcommands and their options on `app`.
void AddSideCommands(CLI::App& app, SideCommands& side);

int RunReport(const SideOptions& options);
int RunRebuild(const SideOptions& options);
int RunToBeFactored(const SideOptions& options);

}  // namespace zentrova::cli
