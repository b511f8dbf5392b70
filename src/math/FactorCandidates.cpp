#include "math/FactorCandidates.h"

#include <algorithm>

#include "math/Fermat128.h"
#include "math/ModArith.h"

namespace zentrova {

FactorCandidateGenerator::FactorCandidateGenerator(const WheelTables& tables, FermatBatchFn fermat,
                                                   int batchWidth, FermatBatch128Fn fermat128)
    : m_tables(tables),
      m_fermat(fermat != nullptr ? fermat : &FermatBatchScalar),
      m_fermat128(fermat128 != nullptr ? fermat128 : &FermatBatchScalar128),
      m_width(std::clamp(batchWidth, 4, kMaxBatchWidth)) {
  Reset(0, 0);
}

void FactorCandidateGenerator::BuildKWheel() {
  for (int t = 0; t < WheelTables::kTables; ++t) {
    const WheelTable& table = m_tables.Table(t);
    const uint64_t modulus = table.modulus;
    const uint64_t step = static_cast<uint64_t>(m_M) % modulus;
    std::vector<uint32_t>& bits = m_kWheel[t];
    bits.assign(modulus / 32 + 1, 0);
    uint64_t r = 1 % modulus;  // p mod L for k = 0
    for (uint64_t j = 0; j < modulus; ++j) {
      if ((table.bits[r >> 5] >> (r & 31)) & 1) bits[j >> 5] |= uint32_t{1} << (j & 31);
      r += step;
      if (r >= modulus) r -= modulus;
    }
  }
  // Each k-space table unrolled past its period, so that the 64 bits from
  // any offset below L_t can be read without wrapping.
  for (int t = 0; t < WheelTables::kTables; ++t) {
    const uint32_t modulus = WheelTables::kModuli[t];
    std::vector<uint64_t>& window = m_kWindow[t];
    window.assign((modulus + 128) / 64 + 1, 0);
    for (uint32_t i = 0; i < 64 * window.size(); ++i) {
      const uint32_t j = i % modulus;
      if ((m_kWheel[t][j >> 5] >> (j & 31)) & 1) window[i >> 6] |= uint64_t{1} << (i & 63);
    }
  }
  m_kWheelMultiplier = m_M;
}

// Fills the batch from entry j on, walking only the k that pass the first
// table. It keeps the groups of four k of the plain search: it ends after
// the group in which the batch became full (extra survivors of that group go
// to the carry-over entries) and leaves m_kLast at that group's end. Returns
// false, with whole groups done, when it nears kKLimit; the plain search then
// goes on.
bool FactorCandidateGenerator::SearchFast(int& filled) {
  const int w = m_width;
  // Locals, so that the stores into the batch cannot be taken to change them.
  int j = filled;
  int64_t* __restrict batchK = m_batchK.data();
  UInt128* __restrict batchP = m_batchP.data();
  const auto m = static_cast<uint64_t>(m_M);
  const auto kHigh = static_cast<uint64_t>(kKLimit - 1);
  const uint64_t base = static_cast<uint64_t>(m_kLast);
  if (m_kWindow[0].empty() || base + 1 <= 60 / m) return false;

  // k mod L_t of the first k of the current window of 64.
  constexpr int kT = WheelTables::kTables;
  uint32_t offset[kT];
  uint64_t k0 = base + 1;
  for (int t = 0; t < kT; ++t) offset[t] = static_cast<uint32_t>(k0 % WheelTables::kModuli[t]);
  // The first group that holds a k above kHigh.
  const uint64_t groupLimit = base + 4 > kHigh ? 0 : (kHigh - base) / 4;
  uint64_t group = UINT64_MAX;
  for (;;) {
    // The 64 k from k0 on that pass all five tables, one bit each.
    uint64_t bits = ~uint64_t{0};
    for (int t = 0; t < kT; ++t) {
      const uint64_t* pattern = m_kWindow[t].data();
      const uint32_t o = offset[t];
      const uint32_t sh = o & 63;
      const uint64_t lo = pattern[o >> 6] >> sh;
      const uint64_t hi = sh == 0 ? 0 : pattern[(o >> 6) + 1] << (64 - sh);
      bits &= lo | hi;
      uint32_t next = o + 64;
      if (next >= WheelTables::kModuli[t]) next -= WheelTables::kModuli[t];
      offset[t] = next;
    }
    while (bits != 0) {
      const uint64_t k = k0 + static_cast<uint64_t>(__builtin_ctzll(bits));
      bits &= bits - 1;
      const uint64_t g = (k - base - 1) / 4;
      if (g != group) {
        if (j >= w) {
          m_kLast = static_cast<int64_t>(base + 4 * (group + 1));
          filled = j;
          return true;
        }
        if (g >= groupLimit) {
          // Hand the groups from the first one reaching past kHigh to the
          // plain search, which passes every k there.
          m_kLast = static_cast<int64_t>(base + 4 * groupLimit);
          filled = j;
          return false;
        }
        group = g;
      }
      batchK[j] = static_cast<int64_t>(k);
      batchP[j] = static_cast<UInt128>(k) * m + 1;
      ++j;
    }
    k0 += 64;
    // Without a survivor in a window the current group may already be the
    // one that filled the batch; the next survivor's group decides.
  }
}

void FactorCandidateGenerator::Reset(int64_t multiplier, int64_t kLast) {
  m_M = multiplier;
  if (m_M > 0 && m_M != m_kWheelMultiplier) BuildKWheel();
  m_kLast = kLast;
  m_batchK.assign(m_width + 4, 0);
  m_batchP.assign(m_width + 4, 0);
  m_primeK.assign(m_width, 0);
  m_primeP.assign(m_width, 0);
  m_next = 0;
}

bool FactorCandidateGenerator::PassesWheel(uint64_t p) const {
  return m_tables.Passes(p);
}

void FactorCandidateGenerator::NextCandidateBatch() {
  const int w = m_width;
  int j = 0;
  for (int i = w; i < w + 4 && m_batchK[i] != 0; ++i) {
    m_batchK[j] = m_batchK[i];
    m_batchP[j] = m_batchP[i];
    m_kLast = m_batchK[i];
    m_batchK[i] = 0;
    ++j;
  }
  if (j == w) return;
  if (SearchFast(j)) return;
  // Residues of k modulo each wheel modulus, advanced one k at a time; most k
  // fail the first table with a single bit test.
  constexpr int kT = WheelTables::kTables;
  uint32_t r[kT];
  uint32_t mod[kT];
  const uint64_t firstK = static_cast<uint64_t>(m_kLast) + 1;
  for (int t = 0; t < kT; ++t) {
    mod[t] = WheelTables::kModuli[t];
    r[t] = static_cast<uint32_t>(firstK % mod[t]);
  }
  // k above this bound is handed out untested (the callers stop there); k up
  // to kSmall gives p <= 61 (a wheel prime itself, decided by the tables on p).
  const auto kHigh = static_cast<uint64_t>(kKLimit - 1);
  const uint64_t kSmall = 60 / static_cast<uint64_t>(m_M);
  auto test = [&](int t) { return (m_kWheel[t][r[t] >> 5] >> (r[t] & 31)) & 1; };
  while (j < w) {
    for (int64_t d = 1; d <= 4; ++d) {
      const int64_t k = m_kLast + d;
      const auto uk = static_cast<uint64_t>(k);
      const auto m = static_cast<uint64_t>(m_M);
      const UInt128 p = static_cast<UInt128>(uk) * m + 1;
      const bool pass = uk > kHigh    ? true
                        : uk <= kSmall ? PassesWheel(static_cast<uint64_t>(p))
                                       : test(0) && test(1) && test(2) && test(3) && test(4);
      if (pass) {
        m_batchK[j] = k;
        m_batchP[j] = p;
        ++j;
      }
      for (int t = 0; t < kT; ++t) {
        if (++r[t] == mod[t]) r[t] = 0;
      }
    }
    m_kLast += 4;
  }
}

void FactorCandidateGenerator::FermatFilter4() {
  const int w = m_width;
  const int64_t* __restrict batchK = m_batchK.data();
  const UInt128* __restrict batchP = m_batchP.data();
  int64_t* __restrict primeK = m_primeK.data();
  UInt128* __restrict primeP = m_primeP.data();
  uint64_t* __restrict p = m_fermatP;
  bool* __restrict pass = m_fermatPass;
  // Lanes at or above 2^62 take the two-word test, lanes at kKLimit none;
  // their one-word lanes test 3, whose answer is overridden.
  constexpr UInt128 kOneWord = kFermatOneWordLimit;
  int wide = 0;
  for (int i = 0; i < w; ++i) {
    const UInt128 pi = batchP[i];
    const bool oneWord = pi < kOneWord;
    p[i] = oneWord ? static_cast<uint64_t>(pi) : 3;
    if (!oneWord && batchK[i] < kKLimit) {
      m_fermatWideP[wide] = pi;
      m_fermatWideLane[wide++] = i;
    }
  }
  m_fermat(p, w, pass);
  if (wide > 0 || batchP[w - 1] >= kOneWord) {
    m_fermat128(m_fermatWideP, wide, m_fermatWidePass);
    for (int i = 0; i < w; ++i) {
      if (batchP[i] >= kOneWord) pass[i] = true;  // forced, unless tested below
    }
    for (int t = 0; t < wide; ++t) pass[m_fermatWideLane[t]] = m_fermatWidePass[t];
  }
  // Survivors packed from entry 0 without a branch per lane; the entry
  // behind the last survivor is written over, never read.
  int next = 0;
  for (int i = 0; i < w; ++i) {
    primeK[next] = batchK[i];
    primeP[next] = batchP[i];
    next += pass[i] ? 1 : 0;
  }
  if (next < w) {
    primeK[next] = 0;
    primeP[next] = 0;
  }
}

FactorCandidate FactorCandidateGenerator::NextFactorCandidate() {
  // Entries are handed out in order 0, 1, 2, ... of one test round; m_next is
  // the entry after the last one handed out.
  if (m_next > 0 && m_next < m_width && m_primeP[m_next] != 0) {
    FactorCandidate c{m_primeK[m_next], m_primeP[m_next]};
    m_primeP[m_next] = 0;
    ++m_next;
    return c;
  }
  do {
    NextCandidateBatch();
    FermatFilter4();
  } while (m_primeP[0] == 0);
  FactorCandidate c{m_primeK[0], m_primeP[0]};
  m_primeP[0] = 0;
  m_next = 1;
  return c;
}

}  // namespace zentrova
