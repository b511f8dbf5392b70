// CGfnThread: one job on one worker thread.
//
// The constructor copies the job record; Start runs InitInstance (processor
// checks, wheel tables, the job chosen by the command code) and then
// ExitInstance (the end-of-job message "@", on every path) on a std::thread.
// The front end talks to a running job only through two relaxed atomics,
// m_bStopRequest (RequestStop) and m_nStatusTick (Tick, every 5 s), which the
// job's loops poll between units of work; everything else travels as messages
// posted to the JobSink.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "files/CandidateFiles.h"
#include "files/OutputLock.h"
#include "math/FactorCandidates.h"
#include "math/WheelTables.h"
#include "sieve/CandidateSource.h"
#include "sieve/JobOutcome.h"
#include "sieve/JobSink.h"
#include "sieve/SieveJob.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {

// The sieve state of the normal loop.
struct NormalSieveState {
  std::vector<int32_t> m_cand;          // remaining bases (their count: size())
  std::vector<FactorRecord> m_factors;  // in the order found; sorted at saves
  int64_t m_N = 0;
  int64_t m_kCur = 0;
  uint64_t m_pCur = 0;  // the last p sieved: the depth written to the files
};

// The sieve state of the wide loop.
struct WideSieveState {
  std::vector<uint32_t> m_bitmap;  // bit b set: b is still a candidate
  int64_t m_left = 0;              // b's left
  int64_t m_kCur = 0;
  uint64_t m_pCur = 0;
};

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

  void RequestStop() { m_bStopRequest.store(1, std::memory_order_relaxed); }
  void Tick() { m_nStatusTick.fetch_add(1, std::memory_order_relaxed); }

  // True when the job posted a failure (bad input, a write error, an
  // inconsistency, a failed verification).
  bool Failed() const { return m_failed.load(); }
  // How the job ended; read once it has (after Join, or the "@" message).
  JobOutcome Outcome() const;
  // Candidates p sieved so far, and the last one, for front-end rates.
  int64_t PCount() const { return m_pCount.load(std::memory_order_relaxed); }
  uint64_t LastP() const { return m_pLast.load(std::memory_order_relaxed); }
  // The number of the packed K file being written (create job).
  int PackFile() const { return m_packFile.load(std::memory_order_relaxed); }

  const SieveJob& Job() const { return m_job; }

 private:
  // The front end's only ways into a running job: RequestStop and Tick.
  std::atomic<int32_t> m_bStopRequest{0};
  int32_t m_bWideMath = 0;
  std::atomic<int32_t> m_nStatusTick{0};

  int InitInstance();
  int ExitInstance();

  void Post(std::string message);
  // Posts the message and marks the job failed, with the message as the
  // reason when it is the first failure.
  void Fail(std::string message);
  // Marks the job failed without posting (its lines are already posted).
  void MarkFailed(std::string reason);
  // Refuses outputs that name one file twice or overwrite an input other
  // than their own, and locks every output for the length of the job.
  bool ClaimOutputs();

  // Normal mode.
  void NewNormalSieve();
  void NewNormalSievePacked();
  void ResumeNormalSieve();
  void ResumeNormalSievePacked();
  // Reads the factor and candidate files of a resume into the sieve state
  // and the job record; false (after its message) when they are unusable.
  bool LoadResumeFiles(bool packed, int64_t& pReached);
  void BenchSpeeds();

  // Wide mode.
  void NewWideSieve();
  void NewWideSievePacked();
  void ResumeWideSieve();
  void ResumeWideSievePacked();
  void SetUpNewWide();
  bool LoadWideResume();
  // Clears the bases that the factor file being appended to already struck
  // beyond the candidate file's depth (a run killed between saves), so that
  // no factor is written twice.
  bool TakeLateWideFactors();
  void WideSieveLoop(CandidateSource* reader);
  bool SaveWideCandidates();
  void CreatePackedKFiles();
  // Side jobs: the report of a tester's log, the rebuild from a factor file
  // (wide mode when m_bWideMath is set) and the to-be-factored list.
  void ReportJob();
  void BuildFromFactors();
  void BuildToBeFactoredList();
  void RunNormalSieve(CandidateSource* reader);
  void SaveNormalOutputs();
  void AllocateNormal();
  SieveRange CurrentRange() const;

  SieveJob m_job;
  JobSink& m_sink;
  std::thread m_thread;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_failed{false};
  JobOutcome m_outcome;  // written by the worker only
  std::atomic<int64_t> m_pCount{0};
  std::atomic<uint64_t> m_pLast{0};
  std::atomic<int> m_packFile{-1};

  std::vector<std::unique_ptr<OutputLock>> m_locks;
  std::unique_ptr<WheelTables> m_wheel;
  NormalSieveState m_normal;
  WideSieveState m_wide;
};

}  // namespace zentrova
