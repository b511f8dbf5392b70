// How many bases of a range a sieve should have left at a depth P, for the
// status line to set beside the real count.
//
// Every prime factor of b^N+1 is a prime q = 1 (mod 2N), and such a q
// divides b^N+1 for exactly N residues b mod q (the roots of x^N = -1, all
// distinct as 2N divides q - 1). Over a range much longer than one q those
// residues are as often hit as the others, and by the Chinese remainder
// theorem the events for different q are independent, so a base survives
// every q up to P with probability
//
//   F(P) = prod over primes q = 1 (mod 2N), q <= P, of (1 - N/q).
//
// The sieve's bases have one parity; as every q is odd, b mod 2 and b mod q
// are independent too, and the parity changes nothing. F is computed
// exactly up to a bound B (a sieve over the progression q = 1 + 2N*k, once
// per estimate; see config below). Beyond B the primes q = 1 (mod 2N) have Dirichlet density
// 1/phi(2N) = 1/N among all primes, so by Mertens' theorem for progressions
// sum N/q grows like ln ln P and F(P) ~ F(B) * ln B / ln P.
//
// Not modelled: a base whose b^N+1 is itself a prime up to P (no factor of
// itself, so it survives), which matters only for small N and small bases.
#pragma once

#include <cstdint>
#include <vector>

#include "math/ModArith.h"

namespace zentrova {

namespace config {
// F is exact up to a bound B and follows ln B / ln P beyond it. B is at
// least 2^24 and at least this many terms of the progression q = 1 + 2N*k:
// the tail treats the primes beyond B as smooth, which holds only where each
// weighs little (N/B; at 2^20 terms, below 2^-21). Building the table sieves
// that many numbers by the primes up to sqrt(B), some ms; more terms move
// the approximation further out at that cost.
constexpr uint64_t kSurvivorExactTerms = uint64_t{1} << 20;
constexpr uint64_t kSurvivorExactLeast = uint64_t{1} << 24;
}  // namespace config

class SurvivorEstimate {
 public:
  // For b^N+1 with N = exponent (a power of two), sieved with every prime
  // from pStart on (0: from the first).
  explicit SurvivorEstimate(int64_t exponent, UInt128 pStart = 0);

  // The bound B up to which the product is exact.
  uint64_t ExactBound() const { return m_bound; }

  // The share of bases that no prime q = 1 (mod 2N) with pStart <= q <= depth
  // divides.
  double Fraction(UInt128 depth) const;
  // The bases of `bases` expected to be left at depth.
  double Expected(int64_t bases, UInt128 depth) const {
    return static_cast<double>(bases) * Fraction(depth);
  }

 private:
  // ln F(x): exact up to the bound, the tail beyond it.
  double LogProduct(UInt128 x) const;

  uint64_t m_n;
  uint64_t m_bound;
  double m_logStart = 0;            // ln F(pStart - 1)
  std::vector<uint64_t> m_primes;   // the q = 1 (mod 2N) up to the bound, increasing
  std::vector<double> m_logPrefix;  // m_logPrefix[i]: ln F(m_primes[i])
};

}  // namespace zentrova
