// What the program prints about the instruction-set levels, all of it made
// from the one table (sieve/kernels/KernelIsa.h): the help of each --isa and
// the refusal of an unknown name (the texts they had when they were written
// out), `bench --isa list`, --version and the engine line at the start of a
// run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "files/StrFormat.h"
#include "sieve/kernels/KernelIsa.h"

namespace zentrova {
namespace {

using test::CliResult;
using test::Has;
using test::RunCli;
using test::ScratchDir;

TEST(CliIsa, EveryHelpTextNamesTheLevelsAsBefore) {
  const std::string run =
      "  --isa ISA                   Instruction set of the vector kernel: auto, scalar, avx2, "
      "avx512 (default auto)\n";
  for (const char* command : {"new --help", "resume --help"}) {
    const CliResult r = RunCli(command);
    EXPECT_EQ(r.exitCode, 0) << command;
    EXPECT_TRUE(Has(r, run)) << command << ":\n" << r.output;
  }
  const CliResult bench = RunCli("bench --help");
  EXPECT_TRUE(Has(bench,
                  "  --isa ISA                   auto, scalar, avx2, avx512; 'list' prints what "
                  "this processor has\n"))
      << bench.output;
  const CliResult pack = RunCli("pack --help");
  EXPECT_TRUE(
      Has(pack, "  --isa ISA                   auto, scalar, avx2, avx512 (the Fermat test)\n"))
      << pack.output;
}

TEST(CliIsa, AnUnknownNameIsRefusedWithTheChoices) {
  const ScratchDir dir;
  const std::string files = " --factors-out " + (dir / "f.txt") + " --sieve-out " + (dir / "c.txt");
  for (const std::string& args :
       {"new --exponent 16 --bmin 2 --bmax 100 --p-max 1e6" + files + " --isa sse9",
        std::string("bench --isa sse9"),
        "pack --dir " + (dir / "") + " --exponent 16 --isa sse9"}) {
    const CliResult r = RunCli(args);
    EXPECT_EQ(r.exitCode, 2) << args << ":\n" << r.output;
    EXPECT_TRUE(Has(r,
                    "zentrova: --isa: unknown instruction set 'sse9' (auto, scalar, avx2, "
                    "avx512).\n"))
        << args << ":\n"
        << r.output;
  }
}

TEST(CliIsa, BenchListSaysWhatEachLevelAndAutoDoHere) {
  const CliResult r = RunCli("bench --isa list");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // The processor, then (on x86 only) its features, then the levels.
  std::string levels;
  for (const IsaLevel& level : IsaLevels()) {
    levels += StrFormat("kernel %-7s %s\n", level.name,
                        level.Available() ? "available" : "not available");
  }
  levels += std::string("auto selects: ") + IsaName(BestIsa()) + "\n";
  const size_t firstLine = r.output.find('\n') + 1;
  EXPECT_EQ(r.output.rfind("processor: ", 0), 0u) << r.output;
#if defined(__x86_64__) || defined(__i386__)
  const size_t secondLine = r.output.find('\n', firstLine) + 1;
  const std::string features = "features:  sse2 ";
  EXPECT_EQ(r.output.compare(firstLine, features.size(), features), 0) << r.output;
  EXPECT_EQ(r.output.substr(secondLine), levels);
#else
  EXPECT_EQ(r.output.substr(firstLine), levels);
#endif
}

TEST(CliIsa, VersionNamesTheLevelsCompiledInAndRunHere) {
  std::string compiled, runs;
  for (const IsaLevel& level : IsaLevels()) {
    if (!level.CompiledIn()) continue;
    compiled += std::string(compiled.empty() ? "" : " ") + level.name;
    if (level.Available()) runs += std::string(runs.empty() ? "" : " ") + level.name;
  }
  const CliResult r = RunCli("--version");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r, "\nkernels " + compiled + " (this processor runs " + runs + ")\n"))
      << r.output;
}

TEST(CliIsa, TheEngineLineNamesTheLevelThatRuns) {
  const ScratchDir dir;
  const std::string args =
      "new --exponent 16 --bmin 2 --bmax 200 --p-max 1e6 --threads 1 --force"
      " --factors-out " +
      (dir / "f.txt") + " --sieve-out " + (dir / "c.txt");
  const IsaLevel& best = RunningIsaLevel(Isa::kAuto);
  struct Case {
    std::string extra;
    const IsaLevel& level;
  };
  std::vector<Case> cases = {{"", best}, {" --no-simd", *FindIsaLevel(Isa::kScalar)}};
  for (const IsaLevel& level : IsaLevels()) {
    if (level.Available()) cases.push_back({std::string(" --isa ") + level.name, level});
  }
  for (const Case& c : cases) {
    const CliResult r = RunCli(args + c.extra);
    EXPECT_EQ(r.exitCode, 0) << c.extra << ":\n" << r.output;
    EXPECT_TRUE(Has(r, StrFormat("] Kernel %s (%s), 1 thread, on the CPU, ", c.level.name,
                                 c.level.description)))
        << c.extra << ":\n"
        << r.output;
  }
  // The descriptions as they were written out before the table.
  EXPECT_STREQ(FindIsaLevel(Isa::kScalar)->description, "portable");
  EXPECT_STREQ(FindIsaLevel(Isa::kAvx2)->description, "AVX2 + FMA");
  EXPECT_STREQ(FindIsaLevel(Isa::kAvx512)->description, "AVX-512 IFMA");
}

}  // namespace
}  // namespace zentrova
