// The job record: everything a job needs, copied in before its thread starts.
// Only the worker changes it afterwards (resume jobs take range and exponent
// from their input files and report them with an "&" message).
#pragma once

#include <cstdint>
#include <string>

#include "files/PackedKSequence.h"
#include "math/ModArith.h"
#include "sieve/Device.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {

class BatchCluster;

// Command codes.
enum : int32_t {
  kCmdNewSieve = 0,
  kCmdResumeSieve = 1,
  kCmdReport = 2,
  kCmdBuildFromFactors = 3,
  kCmdResumeWide = 4,
  kCmdBench = 30,
  kCmdCreatePackedK = 31,
  kCmdToBeFactored = 32,
};

struct SieveJob {
  std::string m_strFactorIn;
  std::string m_strFactorOut;
  std::string m_strSieveIn;
  std::string m_strSieveOut;
  std::string m_strProthLog;
  std::string m_strReport;
  std::string m_strPackedKDir;  // empty: no packed K files

  int32_t m_nCommand = kCmdNewSieve;
  int32_t m_nBMin = 0;
  int32_t m_nBMax = 0;
  int32_t m_nExponent = 0;
  int32_t m_nLn = 0;  // N = 2^ln
  int32_t m_nSaveSeconds = 3600;
  int32_t m_bNoSSE2 = 0;   // 1: portable kernels only
  int64_t m_tLastSave = 0;  // seconds since 1970, set when the thread object is made
  int32_t m_nTickSeen = 0;

  // Command-line extras.
  UInt128 m_pMin = 0;    // a new sieve starts at the first candidate p >= m_pMin
  UInt128 m_pMax = 0;    // 0: no limit; else stop before the first p above it
  int32_t m_threads = 1;
  Isa m_isa = Isa::kAuto;
  uint64_t m_packedKFileBytes = kPackedKFileBytes;  // size of each file the create job writes
  // Where the loops' kernels run, and the devices to choose from (not owned;
  // null: the CPU only).
  DeviceChoice m_device;
  DeviceProvider* m_devices = nullptr;
  int64_t m_deviceBatch = 0;  // most p per device launch; 0: the default
  std::string m_gpuKernel;    // a device arithmetic forced by name; empty: calibrated
  // The other processes of a run spread over several (not owned); null or
  // a cluster of one: the job runs alone.
  BatchCluster* m_cluster = nullptr;
  // The front end's job runner stops a sieve once a factor has taken longer
  // than this many seconds on average (front/JobRunner.h); 0: never.
  double m_stopRateSeconds = 0;
  // A resume takes the bases of the range that neither input file holds as
  // struck elsewhere (a candidate file sieved by another program) instead of
  // refusing the pair; it says how many.
  bool m_missingStruck = false;
};

}  // namespace zentrova
