// The normal sieve loop: for each factor candidate p in increasing order,
// square every remaining base ln times modulo p and strike those that reach -1.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "files/CandidateFiles.h"
#include "math/FactorCandidates.h"
#include "sieve/BatchCluster.h"
#include "sieve/CandidateSource.h"
#include "sieve/Device.h"
#include "sieve/JobContext.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {

// The sieve state of the normal loop.
struct NormalSieveState {
  std::vector<int32_t> m_cand;          // remaining bases (their count: size())
  std::vector<FactorRecord> m_factors;  // in the order found; sorted at saves
  int64_t m_N = 0;
  int64_t m_kCur = 0;
  UInt128 m_pCur = 0;  // the last p sieved: the depth written to the files
};

class NormalSieveLoop {
 public:
  explicit NormalSieveLoop(JobContext& ctx) : m_ctx(ctx) {}

  NormalSieveState& State() { return m_state; }
  // Empties the state and makes room for the bases of the job's range.
  void Allocate();
  // Runs until the list is empty, the feed ends or a stop is requested, with
  // periodic saves and a final one (not for the benchmark). k come from the
  // reader when one is given, else from the generator after m_kCur.
  void Run(CandidateSource* reader);
  // Writes the pair of files at the current depth.
  void Save();
  // On a process other than 0 of a run spread over several: computes the
  // batches process 0 sends until the job ends.
  void Serve(BatchCluster& link);

 private:
  struct Result {
    FactorCandidate c;
    std::vector<uint32_t> hits;  // bases b with b^N == -1 (mod p)
    void Pack(ByteWriter& out) const { out.Put(c).PutVector(hits); }
    void Unpack(ByteReader& in) {
      c = in.Get<FactorCandidate>();
      in.GetVector(hits);
    }
  };
  // The kernel, or nothing with a device (which does a batch at once).
  using ListCompute = std::function<void(Result&, int thread)>;
  ListCompute ComputeAgainst(const std::vector<int32_t>& cand, std::vector<KernelScratch>& scratch);
  // Applies the hits of a batch in increasing p; within one p from the
  // highest position down. Returns the number of p applied.
  size_t ApplyBatch(const std::vector<Result>& batch);
  // The hits of a whole batch against the list cand from the OpenCL device,
  // in the CPU kernels' order; throws DeviceError.
  void ComputeOnDevice(std::vector<Result>& batch, const std::vector<int32_t>& cand);
  bool m_aboveDeviceTold = false;

  JobContext& m_ctx;
  NormalSieveState m_state;
  std::vector<uint8_t> m_struck;
  std::unique_ptr<SieveDevice> m_gpu;
};

}  // namespace zentrova
