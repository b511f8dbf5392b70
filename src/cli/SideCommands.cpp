#include "cli/SideCommands.h"

#include <CLI/CLI.hpp>
#include <memory>

#include "cli/Commands.h"
#include "cli/RunJob.h"
#include "files/CandidateFiles.h"
#include "files/OutputLock.h"
#include "files/SliceMerge.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "front/EngineSettings.h"
#include "front/StartChecks.h"
#include "sieve/SieveJob.h"

namespace zentrova::cli {

namespace {

void AddForce(CLI::App* cmd, SideOptions& o) {
  cmd->add_flag("--force", o.force,
                "Replace existing output files (only once the new ones are complete)");
}

// An output that is also one of the inputs (under any name, through a link
// too) would be replaced by what the job made from it: a usage error, before
// anything is read or written.
void RefuseOutputThatIsAnInput(const std::string& out, const std::vector<std::string>& inputs) {
  for (const std::string& in : inputs) {
    if (SameFile(in, out))
      throw UsageError(StrFormat("The output %s is also an input.", out.c_str()));
  }
}

int RunMerge(const MergeOptions& o) {
  if (SameFile(o.factorsOut, o.sieveOut)) {
    throw UsageError("--factors-out and --sieve-out name the same file.");
  }
  std::vector<std::string> inputs = o.factorsIn;
  inputs.insert(inputs.end(), o.sieveIn.begin(), o.sieveIn.end());
  for (const std::string& out : {o.factorsOut, o.sieveOut}) {
    RefuseOutputThatIsAnInput(out, inputs);
    if (!o.force && CTextFile::FileExists(out)) {
      throw UsageError(
          StrFormat("Output File %s already exists; add --force to overwrite it.", out.c_str()));
    }
  }
  if (o.factorsIn.size() != o.sieveIn.size() || o.pMins.size() != o.factorsIn.size()) {
    throw UsageError(
        StrFormat("Each slice needs --factors-in, --sieve-in and --p-min (%d, %d and %d given).",
                  static_cast<int>(o.factorsIn.size()), static_cast<int>(o.sieveIn.size()),
                  static_cast<int>(o.pMins.size())));
  }
  std::vector<UInt128> pMins;
  for (const std::string& text : o.pMins) pMins.push_back(ReadPMinOption(text));
  SliceMergeInput in{o.factorsIn, o.sieveIn, pMins, o.wide, o.factorsOut, o.sieveOut};
  const bool ok =
      MergeSlices(in, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  return ok ? kExitOk : kExitJobFailed;
}

void AddMerge(CLI::App& app, Subcommands& commands) {
  auto [cmd, m] = AddSubcommand<MergeOptions>(
      app, commands, "merge",
      "Merge the files of sieves that split one range of p between machines (each a new sieve "
      "of the same b range and exponent with its own --p-min .. --p-max): a base stays a "
      "candidate when no slice struck it, its factor is the first slice's, and the depth is the "
      "last slice's. Give the slices in increasing p, each with --factors-in, --sieve-in and "
      "the --p-min it was started with (1 for a sieve started without one): the k-th of each "
      "option make the k-th slice. The slices must tile the p: the first starts at --p-min 1, "
      "and each next one where the one before ended (--p-min one above its --p-max, which it "
      "must have reached). Overlaps, gaps (a slice stopped early) and slices out of order are "
      "refused, as are outputs and slice files in use by a running sieve.\n"
      "Example: zentrova merge --factors-in f1.txt --sieve-in c1.txt --p-min 1 --factors-in "
      "f2.txt --sieve-in c2.txt --p-min 1000000000000001 --factors-out f.txt --sieve-out c.txt",
      RunMerge);
  AddFileOption(cmd, "--factors-in", m.factorsIn, "A slice's factor file (repeat per slice)")
      ->required();
  AddFileOption(cmd, "--sieve-in", m.sieveIn, "A slice's candidate file (repeat per slice)")
      ->required();
  cmd->add_option("--p-min", m.pMins,
                  "The --p-min a slice was started with, 1 if none (repeat per slice)")
      ->required();
  AddFileOption(cmd, "--factors-out", m.factorsOut, "Factor output file")->required();
  AddFileOption(cmd, "--sieve-out", m.sieveOut, "Candidate output file")->required();
  cmd->add_flag("--wide", m.wide, "The slices are wide-mode sieves");
  cmd->add_flag("--force", m.force,
                "Replace existing output files (only once the new ones are complete)");
}

int RunReport(const SideOptions& o) {
  FormParams form = FormFor(kChoiceReport, o);
  form.prothLog = o.prothLog;
  form.report = o.report;
  SieveJob job;
  return RunFormJob(form, job, o.force);
}

void AddReport(CLI::App& app, Subcommands& commands) {
  auto [cmd, r] = AddSubcommand<SideOptions>(
      app, commands, "report",
      "Merge a primality tester's log with the factor file into a report that names every base "
      "of the factor file's range once, in ascending order: its factor line, or the tester's "
      "line saying that b^N+1 is composite (any line with \"composite\" or \"Composite\", "
      "copied from the first digit of b). Missing or repeated bases are reported as "
      "consistency errors; the report is written to the end in every case.\n"
      "Example: zentrova report --factors-in factors.txt --proth-log Proth.Log "
      "--report report.txt",
      RunReport);
  AddFileOption(cmd, "--factors-in", r.factorsIn,
                "Factor file of the sieve (its header gives the range and exponent)");
  AddFileOption(cmd, "--proth-log", r.prothLog, "The primality tester's log");
  AddFileOption(cmd, "--report", r.report, "Report output file");
  AddForce(cmd, r);
}

int RunRebuild(const SideOptions& o) {
  FormParams form = FormFor(kChoiceBuildFromFactors, o);
  SieveJob job;
  return RunFormJob(form, job, o.force);
}

void AddRebuild(CLI::App& app, Subcommands& commands) {
  auto [cmd, b] = AddSubcommand<SideOptions>(
      app, commands, "rebuild",
      "Rebuild the output files of a sieve from a factor file alone: every base of the range "
      "without a verified factor in the file is a candidate. Reads both factor file formats, "
      "even mixed; the depth written is the p of the last factor line read. The file must hold "
      "a header of either format, and its header and lines must be of --exponent. In normal "
      "mode a new factor file sorted by b is written too; with --wide only the candidate file.\n"
      "Example: zentrova rebuild --factors-in factors.txt --factors-out sorted.txt "
      "--sieve-out candidates.txt --exponent 65536 --bmin 1200000 --bmax 1201998",
      RunRebuild);
  AddFileOption(cmd, "--factors-in", b.factorsIn, "Factor file to rebuild from");
  AddFileOption(cmd, "--factors-out", b.factorsOut,
                "Factor output file, sorted by b (not needed with --wide)");
  AddFileOption(cmd, "--sieve-out", b.sieveOut, "Candidate output file (ABC format)");
  cmd->add_flag("--wide", b.wide,
                "Wide-range mode: write the candidate file only, keep no factor list");
  cmd->add_option("--exponent", b.exponent, "The exponent N of b^N+1, a power of two");
  cmd->add_option("--bmin", b.bMin, "Smallest base b");
  cmd->add_option("--bmax", b.bMax, "Largest base b");
  AddForce(cmd, b);
}

int RunToBeFactored(const SideOptions& o) {
  // The to-be-factored dialog checks little; these are the form's checks for
  // the same fields, so a run cannot start on a range or exponent the job
  // would turn into a useless file.
  if (o.sieveIn.empty()) {
    throw UsageError("An input file name is required.");
  }
  if (o.sieveOut.empty()) {
    throw UsageError("An output file name is required.");
  }
  CliHost host(o.force);
  if (!host.FileExists(o.sieveIn)) {
    throw UsageError(StrFormat("Input File %s does not exist.", o.sieveIn.c_str()));
  }
  const int32_t ln = ExponentLog2(o.exponent);
  if (ln == 0) {
    throw UsageError(
        StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", o.exponent));
  }
  if (o.bMin <= 0) {
    throw UsageError("A minimum b value is required.");
  }
  if (o.bMax <= 0) {
    throw UsageError("A maximum b value is required");
  }
  if (o.bMax <= o.bMin) {
    throw UsageError("The maximum b value must be greater than the minimum B value.");
  }
  // The list is what the input lacks: written over the input, it would
  // replace the very bases it was made from.
  RefuseOutputThatIsAnInput(o.sieveOut, {o.sieveIn});
  if (host.FileExists(o.sieveOut) &&
      !host.AskYesNo(StrFormat("Output File %s already exists, overwrite it?", o.sieveOut.c_str()),
                     o.sieveOut, Question::kOverwrite)) {
    return kExitUsage;
  }
  if (!host.CreateFile(o.sieveOut)) {
    throw UsageError(StrFormat("Output File %s cannot be created.", o.sieveOut.c_str()));
  }
  SieveJob job;
  job.m_nCommand = kCmdToBeFactored;
  job.m_strSieveIn = o.sieveIn;
  job.m_strSieveOut = o.sieveOut;
  job.m_nExponent = o.exponent;
  job.m_nLn = ln;
  job.m_nBMin = o.bMin;
  job.m_nBMax = o.bMax;
  return RunJob(job);
}

void AddToBeFactored(CLI::App& app, Subcommands& commands) {
  auto [cmd, t] = AddSubcommand<SideOptions>(
      app, commands, "tbf",
      "Build a to-be-factored list: every base bmin, bmin+2, ... <= bmax that the input file "
      "does not mention, written as a candidate file of depth 1 (so a later sieve starts from "
      "the first p). The input is a candidate file (\"<b> <N>\" lines; a bare \"<b>\" counts as "
      "a base of --exponent), or a tester's log whose composite lines name their bases "
      "(\"<b>^<N>+1 is composite\"). A line of another exponent than --exponent is refused, "
      "naming the file and line.\n"
      "Example: zentrova tbf --sieve-in candidates.txt --sieve-out tbf.txt --exponent 65536 "
      "--bmin 1200000 --bmax 1201998",
      RunToBeFactored);
  AddFileOption(cmd, "--sieve-in", t.sieveIn, "Candidate file or tester's log");
  AddFileOption(cmd, "--sieve-out", t.sieveOut, "Output file (ABC format)");
  cmd->add_option("--exponent", t.exponent,
                  "The exponent N written on every output line, a power of two");
  cmd->add_option("--bmin", t.bMin, "Smallest base b");
  cmd->add_option("--bmax", t.bMax, "Largest base b");
  AddForce(cmd, t);
}

}  // namespace

void AddSideCommands(CLI::App& app, Subcommands& commands) {
  // File names and numbers are not marked required here: the form's checks
  // below name what is missing, with the form's own texts.
  AddReport(app, commands);
  AddRebuild(app, commands);
  AddToBeFactored(app, commands);
  AddMerge(app, commands);
}

}  // namespace zentrova::cli
