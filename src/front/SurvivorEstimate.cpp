#include "front/SurvivorEstimate.h"

#include <algorithm>
#include <cmath>

namespace zentrova {

namespace {

// The odd primes up to limit.
std::vector<uint64_t> OddPrimesUpTo(uint64_t limit) {
  std::vector<bool> composite(limit + 1, false);
  std::vector<uint64_t> primes;
  for (uint64_t r = 3; r <= limit; r += 2) {
    if (composite[r]) continue;
    primes.push_back(r);
    for (uint64_t m = r * r; m <= limit; m += 2 * r) composite[m] = true;
  }
  return primes;
}

// x^-1 mod r for x not divisible by r (extended Euclid).
uint64_t InverseMod(uint64_t x, uint64_t r) {
  int64_t a = static_cast<int64_t>(x % r), m = static_cast<int64_t>(r);
  int64_t u = 1, v = 0;
  while (m != 0) {
    const int64_t t = a / m;
    a -= t * m;
    std::swap(a, m);
    u -= t * v;
    std::swap(u, v);
  }
  u %= static_cast<int64_t>(r);
  return static_cast<uint64_t>(u < 0 ? u + static_cast<int64_t>(r) : u);
}

}  // namespace

SurvivorEstimate::SurvivorEstimate(int64_t exponent, UInt128 pStart)
    : m_n(static_cast<uint64_t>(std::max<int64_t>(exponent, 1))),
      m_bound(std::max(config::kSurvivorExactLeast, 2 * m_n * config::kSurvivorExactTerms + 1)) {
  // The progression q = 1 + 2N*k, k = 1 .. kMax, sieved by the odd primes up
  // to sqrt(bound): a composite q has such a factor r, at the k with
  // 2N*k = -1 (mod r), and r itself is kept where it lies on the progression.
  const uint64_t step = 2 * m_n;
  const uint64_t kMax = (m_bound - 1) / step;
  std::vector<bool> composite(kMax + 1, false);
  uint64_t root = static_cast<uint64_t>(std::sqrt(static_cast<double>(m_bound)));
  while (root * root > m_bound) --root;
  while ((root + 1) * (root + 1) <= m_bound) ++root;
  for (const uint64_t r : OddPrimesUpTo(root)) {
    const uint64_t first = (r - InverseMod(step, r)) % r;  // 2N*first = -1 (mod r)
    for (uint64_t k = first == 0 ? r : first; k <= kMax; k += r) {
      if (1 + step * k != r) composite[k] = true;
    }
  }
  double log = 0;
  for (uint64_t k = 1; k <= kMax; ++k) {
    if (composite[k]) continue;
    const uint64_t q = 1 + step * k;
    log += std::log1p(-static_cast<double>(m_n) / static_cast<double>(q));
    m_primes.push_back(q);
    m_logPrefix.push_back(log);
  }
  m_logStart = pStart > 1 ? LogProduct(pStart - 1) : 0;
}

double SurvivorEstimate::LogProduct(UInt128 x) const {
  if (x > m_bound) {
    const double exact = m_logPrefix.empty() ? 0 : m_logPrefix.back();
    return exact + std::log(std::log(static_cast<double>(m_bound)) /
                            std::log(static_cast<double>(x)));
  }
  const auto it = std::upper_bound(m_primes.begin(), m_primes.end(), static_cast<uint64_t>(x));
  if (it == m_primes.begin()) return 0;
  return m_logPrefix[static_cast<size_t>(it - m_primes.begin()) - 1];
}

double SurvivorEstimate::Fraction(UInt128 depth) const {
  return std::min(1.0, std::exp(LogProduct(depth) - m_logStart));
}

}  // namespace zentrova
