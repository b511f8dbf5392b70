// The factor-candidate generator: hands out, in strictly increasing order of k,
// every (k, p = k*M + 1) with M = 2N whose p has no prime factor from 3 to 61
// (five wheel bitmaps) and passes a base-2 Fermat test, 2^(p-1) == 1 (mod p).
//
// The search looks at four k at a time; survivors of the wheel fill a batch of
// W entries (up to three extra survivors of the last group are carried over to
// the next batch), the batch is Fermat-tested in interleaved lanes, and the
// primes found are handed out one by one. W is 4 for the portable test and
// larger for vector tests, which need many independent chains; the sequence
// handed out is the same for every W.
//
// Below 2^62 the Fermat test is the one-word test handed in (a vector one, or
// the portable one); from there on, the two-word test. A k at or above
// kKLimit is handed out untested: callers stop there.
#pragma once

#include <cstdint>
#include <vector>

#include "math/Fermat128.h"
#include "math/ModArith.h"
#include "math/WheelTables.h"

namespace zentrova {

struct FactorCandidate {
  int64_t k = 0;
  UInt128 p = 0;
};

// The first k whose p = k*2N + 1 is at least pMin, minus one: the generator
// continues with the k after the one it is given. 0 for pMin <= 1; at most
// kKLimit.
inline int64_t KBeforePMin(UInt128 pMin, uint64_t twoN) {
  if (pMin <= 1) return 0;
  const UInt128 k = (pMin - 1 + twoN - 1) / twoN;  // ceil((pMin - 1) / 2N)
  if (k > static_cast<UInt128>(kKLimit)) return kKLimit;
  return k == 0 ? 0 : static_cast<int64_t>(k - 1);
}

class FactorCandidateGenerator {
 public:
  // fermat128 tests the p from 2^62 on (default: the portable two-word test).
  explicit FactorCandidateGenerator(const WheelTables& tables, FermatBatchFn fermat = nullptr,
                                    int batchWidth = 4, FermatBatch128Fn fermat128 = nullptr);

  // Sets the multiplier m_M = 2N and the k from which the search continues
  // (the next k examined is kLast + 1), and empties the batches.
  void Reset(int64_t multiplier, int64_t kLast);

  FactorCandidate NextFactorCandidate();

  // The steps, public so that tests can watch the carry-over.
  void NextCandidateBatch();
  void FermatFilter4();

  static constexpr int kMaxBatchWidth = 64;
  int BatchWidth() const { return m_width; }

  int64_t m_M = 0;
  int64_t m_kLast = 0;
  // Entries 0 .. W-1 form the batch, W .. W+3 hold carried-over survivors;
  // k = 0 marks an empty entry.
  std::vector<int64_t> m_batchK;
  std::vector<UInt128> m_batchP;
  // Survivors of the Fermat test, packed from entry 0; p = 0 marks empty.
  std::vector<int64_t> m_primeK;
  std::vector<UInt128> m_primeP;

 private:
  bool PassesWheel(uint64_t p) const;

  void BuildKWheel();
  bool SearchFast(int& j);

  const WheelTables& m_tables;
  FermatBatchFn m_fermat;
  FermatBatch128Fn m_fermat128;
  // For the current multiplier, bit j of m_kWheel[t] tells whether every k
  // with k mod L_t = j passes table t (p mod L_t depends only on k mod L_t).
  std::vector<uint32_t> m_kWheel[WheelTables::kTables];
  int64_t m_kWheelMultiplier = -1;
  // m_kWheel[t] as 64-bit words, repeated past the period L_t.
  std::vector<uint64_t> m_kWindow[WheelTables::kTables];
  int m_width;
  int m_next = 0;
  // The moduli and answers of one Fermat round.
  uint64_t m_fermatP[kMaxBatchWidth] = {};
  bool m_fermatPass[kMaxBatchWidth] = {};
  // The lanes at or above 2^62, for the two-word test.
  UInt128 m_fermatWideP[kMaxBatchWidth] = {};
  bool m_fermatWidePass[kMaxBatchWidth] = {};
  int m_fermatWideLane[kMaxBatchWidth] = {};
};

}  // namespace zentrova
