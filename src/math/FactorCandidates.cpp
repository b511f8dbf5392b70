#include "math/FactorCandidates.h"

#include <algorithm>

#include "math/ModArith.h"
#include "math/Montgomery64.h"

namespace zentrova {

void FermatBatchScalar(const uint64_t* p, int n, bool* pass) {
  // Left-to-right binary powering of 2, all lanes driven by the longest
  // exponent: a lane whose exponent is shorter sees leading zero bits, which
  // square its Montgomery one into itself. Doubling is a shift and a lazy
  // subtraction, so each bit costs one Montgomery square per lane.
  constexpr int kLanes = 4;
  for (int base = 0; base < n; base += kLanes) {
    const int lanes = std::min(kLanes, n - base);
    Montgomery64 mont[kLanes] = {Montgomery64(3), Montgomery64(3), Montgomery64(3),
                                 Montgomery64(3)};
    uint64_t x[kLanes] = {};
    uint64_t e[kLanes] = {};
    uint64_t one[kLanes] = {};
    int topBit = 0;
    for (int i = 0; i < lanes; ++i) {
      mont[i] = Montgomery64(p[base + i]);
      one[i] = mont[i].One();
      x[i] = one[i];
      e[i] = p[base + i] - 1;
      topBit = std::max(topBit, 63 - __builtin_clzll(e[i]));
    }
    for (int bit = topBit; bit >= 0; --bit) {
      for (int i = 0; i < lanes; ++i) {
        uint64_t y = mont[i].Square(x[i]);
        const uint64_t twoP = 2 * mont[i].p;
        const uint64_t d = y << 1;  // y < 2p < 2^62
        const uint64_t dRed = d >= twoP ? d - twoP : d;
        x[i] = ((e[i] >> bit) & 1) ? dRed : y;
      }
    }
    for (int i = 0; i < lanes; ++i) {
      pass[base + i] = mont[i].Normalize(x[i]) == one[i];
    }
  }
}

FactorCandidateGenerator::FactorCandidateGenerator(const WheelTables& tables, FermatBatchFn fermat,
                                                   int batchWidth)
    : m_tables(tables),
      m_fermat(fermat != nullptr ? fermat : &FermatBatchScalar),
      m_width(std::clamp(batchWidth, 4, kMaxBatchWidth)) {
  Reset(0, 0);
}

void FactorCandidateGenerator::Reset(int64_t multiplier, int64_t kLast) {
  m_M = multiplier;
  m_kLast = kLast;
  m_batchK.assign(m_width + 4, 0);
  m_batchP.assign(m_width + 4, 0);
  m_primeK.assign(m_width, 0);
  m_primeP.assign(m_width, 0);
  m_next = 0;
}

bool FactorCandidateGenerator::PassesWheel(uint64_t p) const {
  return p >= kMaxModulus || m_tables.Passes(p);
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
  while (j < w) {
    for (int64_t d = 1; d <= 4; ++d) {
      const int64_t k = m_kLast + d;
      const uint64_t p = static_cast<uint64_t>(k) * static_cast<uint64_t>(m_M) + 1;
      if (PassesWheel(p)) {
        m_batchK[j] = k;
        m_batchP[j] = static_cast<int64_t>(p);
        ++j;
      }
    }
    m_kLast += 4;
  }
}

void FactorCandidateGenerator::FermatFilter4() {
  const int w = m_width;
  uint64_t p[kMaxBatchWidth] = {};
  bool pass[kMaxBatchWidth] = {};
  bool forced[kMaxBatchWidth] = {};
  for (int i = 0; i < w; ++i) {
    const uint64_t pi = static_cast<uint64_t>(m_batchP[i]);
    forced[i] = pi >= kMaxModulus;
    p[i] = forced[i] ? 3 : pi;  // a forced lane's answer is overridden
  }
  m_fermat(p, w, pass);
  int next = 0;
  for (int i = 0; i < w; ++i) {
    if (pass[i] || forced[i]) {
      m_primeK[next] = m_batchK[i];
      m_primeP[next] = m_batchP[i];
      ++next;
    }
  }
}

FactorCandidate FactorCandidateGenerator::NextFactorCandidate() {
  // Entries are handed out in order 0, 1, 2, ... of one test round; m_next is
  // the entry after the last one handed out.
  if (m_next > 0 && m_next < m_width && m_primeP[m_next] != 0) {
    FactorCandidate c{m_primeK[m_next], static_cast<uint64_t>(m_primeP[m_next])};
    m_primeP[m_next] = 0;
    ++m_next;
    return c;
  }
  do {
    NextCandidateBatch();
    FermatFilter4();
  } while (m_primeP[0] == 0);
  FactorCandidate c{m_primeK[0], static_cast<uint64_t>(m_primeP[0])};
  m_primeP[0] = 0;
  m_next = 1;
  return c;
}

}  // namespace zentrova
