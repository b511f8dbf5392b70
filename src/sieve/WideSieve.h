// The wide-range loop: for each factor candidate p, construct the N roots of
// x^N == -1 (mod p) from a primitive 2N-th root of unity a0 and strike the
// even bases among them (and their multiples r + jp) that are still in the
// candidate bitmap. The cost per p is about N/2 modular multiplications,
// whatever the width of the range.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "files/TextFile.h"
#include "math/FactorCandidates.h"
#include "sieve/BatchCluster.h"
#include "sieve/CandidateSource.h"
#include "sieve/Device.h"
#include "sieve/JobContext.h"
#include "sieve/SieveLoop.h"
#include "sieve/kernels/Dispatch.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {

// The sieve state of the wide loop.
struct WideSieveState {
  std::vector<uint32_t> m_bitmap;  // bit b set: b is still a candidate
  int64_t m_left = 0;              // b's left
  int64_t m_kCur = 0;
  UInt128 m_pCur = 0;
};

class WideSieveLoop : public SieveLoop<WideSieveLoop, WideSieveState> {
 public:
  using SieveLoop::SieveLoop;

  // Every base of the job's range of b Min's parity, from k = 0.
  void SetUpNew();
  // Writes the candidate file at the current depth.
  bool SaveCandidates();

 private:
  friend class SieveLoop<WideSieveLoop, WideSieveState>;  // its hooks

  enum class RootKind { kComposite, kInvalid, kRoots };
  struct Result {
    FactorCandidate c;
    RootKind kind = RootKind::kComposite;
    std::vector<uint32_t> roots;
    bool overflow = false;
    void Pack(ByteWriter& out) const {
      out.Put(c).Put<uint8_t>(static_cast<uint8_t>(kind)).Put<uint8_t>(overflow).PutVector(roots);
    }
    void Unpack(ByteReader& in) {
      c = in.Get<FactorCandidate>();
      kind = static_cast<RootKind>(in.Get<uint8_t>());
      overflow = in.Get<uint8_t>() != 0;
      in.GetVector(roots);
    }
  };
  // The kernel of the job and the CPU kernel's storing order.
  void PrepareKernel();
  // Opens the factor file for appending (a resume) or anew, with its first
  // line; false after the messages.
  bool OpenFactorFile(CTextFile& file);
  // a0 and the roots of one p (on a worker).
  void Compute(Result& r, KernelScratch& scratch) const;
  // Compute on the workers, for the p from deviceLimit on (the device's
  // DeviceLimit() when the batch is made).
  CandidateFeed<Result>::Compute CpuCompute(std::vector<KernelScratch>& scratch,
                                            UInt128 deviceLimit);
  // Verifies and applies the roots of one p; false when a root fails.
  bool ApplyRoots(const Result& r);
  // Clears b's bit and queues its factor line, if b was still a candidate.
  void Strike(int64_t b, UInt128 p);

  // The hooks of SieveLoop. A run goes on until the feed ends, a stop is
  // requested or a root fails its check, appending factor lines batch by
  // batch and saving the candidate file periodically and at the end.
  void RunBody(CandidateSource* reader);
  void ServeBody(BatchCluster& link);
  void GenerateBatch(LoopWorkers<Result>& w, BatchCluster* cluster, ProducedBatch<Result>& next);
  // a0 and the roots of a whole batch on the OpenCL device, roots in the
  // order of the CPU kernel the job would run; throws DeviceError.
  void ComputeOnDevice(std::vector<Result>& batch);
  // The host's check of the p of a device call (p[i], k[i]) that the device
  // passed over as composite: the CPU searches a0 again for a sample of
  // them, a different part each call, and adds a failure for each it finds
  // an a0 for. Returns how many it searched.
  int64_t SearchPassedOver(const std::vector<UInt128>& p, const std::vector<uint64_t>& k,
                           const std::vector<uint32_t>& passedOver,
                           std::vector<HostCheckFailure>& failed);
  // Applies a batch in increasing p, queueing its factor lines; m_go is
  // false after a root that failed its check. Returns the batch's size.
  size_t ApplyBatch(const std::vector<Result>& batch);
  int64_t BasesLeft() const { return m_state.m_left; }
  // Appends the batch's factor lines to the factor file.
  BatchVerdict KeepBatch(int64_t struck);
  void SaveFiles();

  WideKernelFn m_kernel = nullptr;
  WideKernel128Fn m_kernel128 = nullptr;  // p from kA0OneWordLimit on
  const char* m_kernelName = "";
  size_t m_capacity = 0;  // roots one p may store
  uint64_t m_deviceLaunches = 0;  // which part of a launch the host searches again
  // Where each (stage slot, negated) of the CPU kernel's order stores.
  uint8_t m_firstPos[256] = {};
  uint8_t m_laterPos[256] = {};
  // A run's batches: p per worker, the factor file, whether the last batch
  // applied every root, whether factor lines were lost.
  int64_t m_perWorker = 1;
  CTextFile* m_factorFile = nullptr;
  bool m_go = true;
  bool m_factorsLost = false;  // struck bases whose factor lines did not reach the disk
  // The factor lines of a batch, written in one call, which a kill cannot
  // split: after a kill the file ends with a whole line.
  std::string m_lines;
};

}  // namespace zentrova
