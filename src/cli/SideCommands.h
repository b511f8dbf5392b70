// The side subcommands of `zentrova`, which work on files without sieving:
//   report   merge a primality tester's log with a factor file into a report;
//   rebuild  rebuild the candidate file (and a sorted factor file) from a
//            factor file of either format;
//   tbf      list the bases of a range that an input file does not mention;
//   merge    merge the files of sieves that split one range of p.
// Each applies the form's checks with their texts, runs its job and exits
// 0 (done), 1 (the job reported a failure) or 2 (bad usage).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/RunJob.h"
#include "cli/Subcommand.h"

namespace zentrova::cli {

struct SideOptions : FileOptions {
  std::string prothLog, report;
};

// merge: the files of slices of one range of p.
struct MergeOptions {
  std::vector<std::string> factorsIn, sieveIn;
  std::vector<std::string> pMins;  // one per slice, as typed; parsed by ReadPLimit
  std::string factorsOut, sieveOut;
  bool wide = false;
  bool force = false;
};

// Declares report, rebuild, tbf and merge on app, in that order, each
// with its runner.
void AddSideCommands(CLI::App& app, Subcommands& commands);

}  // namespace zentrova::cli
