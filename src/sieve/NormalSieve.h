// The normal sieve loop: for each factor candidate p in increasing order,
// square every remaining base ln times modulo p and strike those that reach -1.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "files/CandidateFiles.h"
#include "math/FactorCandidates.h"
#include "sieve/BatchCluster.h"
#include "sieve/CandidateSource.h"
#include "sieve/Device.h"
#include "sieve/JobContext.h"
#include "sieve/SieveLoop.h"
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

class NormalSieveLoop : public SieveLoop<NormalSieveLoop, NormalSieveState> {
 public:
  using SieveLoop::SieveLoop;

  // Empties the state and makes room for the bases of the job's range.
  void Allocate();
  // Writes the pair of files at the current depth.
  void Save();

 private:
  friend class SieveLoop<NormalSieveLoop, NormalSieveState>;  // its hooks

  struct Result {
    FactorCandidate c;
    std::vector<uint32_t> hits;  // bases b with b^N == -1 (mod p)
    void Pack(ByteWriter& out) const { out.Put(c).PutVector(hits); }
    void Unpack(ByteReader& in) {
      c = in.Get<FactorCandidate>();
      in.GetVector(hits);
    }
  };
  // The list as it stood after the last batch applied: the next batch is
  // computed against it on a thread of its own while the loop applies the
  // batch before. A base struck meanwhile is skipped when hits are applied,
  // as the list only shrinks; so the result is that of one p at a time.
  class SharedList {
   public:
    // A new version of the list.
    void Publish(const std::vector<int32_t>& cand) {
      auto list = std::make_shared<const std::vector<int32_t>>(cand);
      std::lock_guard<std::mutex> lock(m_mutex);
      m_list = std::move(list);
      ++m_version;
    }
    std::shared_ptr<const std::vector<int32_t>> Snapshot(uint64_t& version) const {
      std::lock_guard<std::mutex> lock(m_mutex);
      version = m_version;
      return m_list;
    }

   private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const std::vector<int32_t>> m_list;
    uint64_t m_version = 0;
  };

  // The outputs are written except by the benchmark.
  bool Saves() const { return m_ctx.Job().m_nCommand < kCmdBench; }
  // The kernel for the p from deviceLimit on; nothing below it (the
  // device does those a batch at once).
  using ListCompute = std::function<void(Result&, int thread)>;
  ListCompute ComputeAgainst(const std::vector<int32_t>& cand, std::vector<KernelScratch>& scratch,
                             UInt128 deviceLimit);
  // The hits of a whole batch against the list cand from the OpenCL device,
  // in the CPU kernels' order; throws DeviceError.
  void ComputeOnDevice(std::vector<Result>& batch, const std::vector<int32_t>& cand);

  // The hooks of SieveLoop. A run goes on until the list is empty, the feed
  // ends or a stop is requested; the benchmark saves nothing.
  void RunBody(CandidateSource* reader);
  void ServeBody(BatchCluster& link);
  void GenerateBatch(LoopWorkers<Result>& w, BatchCluster* cluster, ProducedBatch<Result>& next);
  void ComputeOnDevice(std::vector<Result>& batch);  // against the list published
  // Applies the hits of a batch in increasing p; within one p from the
  // highest position down. Returns the number of p applied.
  size_t ApplyBatch(const std::vector<Result>& batch);
  int64_t BasesLeft() const { return static_cast<int64_t>(m_state.m_cand.size()); }
  BatchVerdict KeepBatch(int64_t struck);
  void SaveFiles() {
    if (Saves()) Save();
  }

  std::vector<uint8_t> m_struck;
  SharedList m_list;
  uint64_t m_listSent = 0;  // the version of the list the other processes have
};

}  // namespace zentrova
