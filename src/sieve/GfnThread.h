// CGfnThread: one job on one worker thread.
//
// The constructor copies the job record; Start runs InitInstance (processor
// checks, the claim on the outputs, the job chosen by the command code) and
// then ExitInstance (the end-of-job message "@", on every path) on a
// std::thread. The jobs themselves live in their own files (Jobs.h) and work
// on the JobContext. The front end talks to a running job only through
// RequestStop and Tick, which the job's loops poll between units of work,
// and samples its Progress; everything else travels as messages posted to
// the JobSink.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "files/OutputLock.h"
#include "sieve/JobContext.h"
#include "sieve/JobOutcome.h"
#include "sieve/JobSink.h"
#include "sieve/SieveJob.h"

namespace zentrova {

class CGfnThread {
 public:
  CGfnThread(const SieveJob& job, JobSink& sink, int32_t wideMath = 0);
  ~CGfnThread();
  CGfnThread(const CGfnThread&) = delete;
  CGfnThread& operator=(const CGfnThread&) = delete;

  // Runs the job on a new thread / on the calling thread.
  void Start();
  void Run();
  void Join();
  bool Running() const { return m_running.load(); }

  void RequestStop() { m_ctx.RequestStop(); }
  void Tick() { m_ctx.Tick(); }

  // True when the job posted a failure (bad input, a write error, an
  // inconsistency, a failed verification).
  bool Failed() const { return m_ctx.Failed(); }
  // How the job ended; read once it has (after Join, or the "@" message).
  JobOutcome Outcome() const { return m_ctx.Outcome(); }
  // Candidates p sieved so far, the last one, and the packed K file being
  // written, for front-end rates.
  JobProgress Progress() const { return m_ctx.Progress(); }

 private:
  int InitInstance();
  int ExitInstance();
  // Refuses outputs that name one file twice or overwrite an input other
  // than their own, and locks every output for the length of the job.
  bool ClaimOutputs();

  JobContext m_ctx;
  std::thread m_thread;
  std::atomic<bool> m_running{false};
  std::vector<std::unique_ptr<OutputLock>> m_locks;
};

}  // namespace zentrova
