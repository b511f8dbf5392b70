// How a job ended, for the front ends to act on. Decisions are taken on
// these fields, never on the text of a log line; the log lines themselves
// are the fixed texts the user reads.
#pragma once

#include <cstdint>
#include <string>

namespace zentrova {

enum class JobEnd {
  kDone,     // ran to its end: limit reached, list empty, input exhausted
  kStopped,  // ended by a stop request, after its final save
  kFailed,   // a failure was posted (bad input, a write error, an inconsistency)
};

struct JobOutcome {
  JobEnd end = JobEnd::kDone;
  std::string failure;  // the first failure's log line

  // The benchmark's figures: the loop's time and the candidates it sieved.
  int64_t benchTicks = 0;
  int64_t benchTicksPerSecond = 0;
  int64_t benchPSieved = 0;
  // Seconds an OpenCL device spent on the job's launches (0 on the CPU).
  double deviceBusySeconds = 0;
  // The device's checks of its own results in the run, and those that failed.
  int64_t deviceChecks = 0;
  int64_t deviceMismatches = 0;
  // The sieve loop's seconds, and those its own thread spent applying
  // batches: the serial part, which bounds what more threads can give.
  double loopSeconds = 0;
  double applySeconds = 0;
  // The share of the loop's time the worker threads spent working, on
  // average: what waiting for each other at the end of a batch leaves.
  double workersBusy = 0;
};

}  // namespace zentrova
