#include "cli/RunJob.h"

#include <csignal>
#include <cstdio>
#include <memory>

#include "cli/Commands.h"
#include "cli/ConsoleSink.h"
#include "files/OutputLock.h"
#include "files/PackedKSequence.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "front/JobRunner.h"
#include "gpu/Devices.h"
#include "platform/Console.h"
#include "sieve/Jobs.h"
#include "sieve/WorkerPool.h"

namespace zentrova::cli {

namespace {

volatile std::sig_atomic_t g_signal = 0;
BatchCluster* g_cluster = nullptr;

// The log lines of another process, on stderr with its number.
class OtherProcessSink : public JobSink {
 public:
  explicit OtherProcessSink(int rank) : m_rank(rank) {}
  void Post(std::string message) override {
    if (!IsLogLine(message)) return;
    std::fprintf(stderr, "zentrova (process %d): %s\n", m_rank, message.c_str());
  }

 private:
  int m_rank;
};

void OnStop(int signal) {
  g_signal = signal;
}

}  // namespace

void InstallStopSignals() {
  platform::InstallStopHandler(OnStop);
}

void Usage(const std::string& text) {
  std::fprintf(stderr, "zentrova: %s\nRun 'zentrova --help' for more information.\n", text.c_str());
}

bool CliHost::AskYesNo(const std::string& text, const std::string& caption, Question kind) {
  if (kind == Question::kGoOn) {
    std::string shown;
    for (char c : text) {
      if (c == '\n')
        shown.push_back(' ');
      else if (c != '\r')
        shown.push_back(c);
    }
    std::fprintf(stderr, "zentrova: note: %s Continuing.\n", shown.c_str());
    return true;
  }
  if (m_force) return true;
  for (const std::string& input : m_inputs) {
    if (!input.empty() && SameFile(input, caption)) return true;
  }
  Usage(StrFormat("Output File %s already exists; add --force to overwrite it.", caption.c_str()));
  return false;
}

bool CliHost::FileExists(const std::string& path) {
  return CTextFile::FileExists(path);
}

FormParams FormFor(int32_t jobChoice, const FileOptions& options) {
  return FormParams{.factorIn = options.factorsIn,
                    .factorOut = options.factorsOut,
                    .sieveOut = options.sieveOut,
                    .sieveIn = options.sieveIn,
                    .jobChoice = jobChoice,
                    .bMax = options.bMax,
                    .bMin = options.bMin,
                    .exponent = options.exponent,
                    .wideMath = options.wide ? 1 : 0};
}

void UseCluster(BatchCluster* cluster) {
  g_cluster = cluster;
}

int ServeOtherProcess(BatchCluster& cluster, int threads) {
  // A signal does not stop this process: process 0 decides when the run ends.
  OtherProcessSink sink(cluster.Rank());
  ServeProcessZero(cluster, threads > 0 ? threads : HardwareThreads(), sink, &SystemDevices());
  return kExitOk;
}

int RunJob(const SieveJob& jobIn, int32_t wideMath) {
  SieveJob job = jobIn;
  if (job.m_nCommand == kCmdNewSieve || job.m_nCommand == kCmdResumeSieve) {
    job.m_cluster = g_cluster;
  }
  ConsoleSink sink(stdout, stderr, job.m_pMax);
  if (job.m_nCommand == kCmdCreatePackedK)
    sink.SetPackMode(2 * static_cast<uint64_t>(job.m_nExponent));
  JobRunner runner(job, sink, wideMath);
  if (JobRunner::HasEngineLine(job)) sink.Note(JobRunner::EngineLine(job));
  // A signal that came while the program started up (InstallStopSignals)
  // stops the job as soon as it runs.
  InstallStopSignals();
  bool stopAsked = false;
  const auto onSignal = [&] {
    if (g_signal != 0 && !stopAsked) {
      stopAsked = true;
      sink.Note("Stop requested; finishing the current batch and saving.");
      runner.RequestStop();
    }
  };
  const auto onTick = [&](const RunProgress& progress) {
    const int file = progress.packFile;
    sink.Sample(StatusSample{
        progress.pCount, progress.pReached,
        file < 0 ? std::string() : PackedKFileName(job.m_strPackedKDir, job.m_nLn, file),
        progress});
  };
  const JobOutcome outcome = runner.RunToEnd(onTick, onSignal);
  platform::StopHandled();
  return outcome.end == JobEnd::kFailed ? kExitJobFailed : kExitOk;
}

int RunFormJob(FormParams& form, SieveJob& job, bool force, std::vector<std::string> inputs) {
  CliHost host(force);
  host.SetInputs(std::move(inputs));
  std::vector<std::unique_ptr<OutputLock>> claims;
  std::string refusal;
  if (!ClaimStartOutputs(form, claims, refusal)) {
    std::fprintf(stderr, "zentrova: %s  Nothing was run.\n", refusal.c_str());
    return kExitJobFailed;
  }
  if (!RunStartChecks(form, host)) return kExitUsage;
  HandOver(form, job);
  // The job takes its own claims.
  claims.clear();
  return RunJob(job, form.wideMath);
}

}  // namespace zentrova::cli
