// The templates of sieve/kernels/WideWalk.h, shared by the one-word and the
// two-word wide paths, on tables: the a0 search gives one outcome in one
// word and in two, and both follow the rule as GMP computes it (found,
// composite; invalid when the exact guard disagrees, forced by an
// arithmetic whose guard always says no); the walks store, in either word,
// exactly the bases b <= bMax with b^N == -1 (mod p) that a brute-force
// search finds, in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "TestGmp.h"
#include "sieve/kernels/Kernels128.h"
#include "sieve/kernels/WideWalk.h"

using namespace zentrova;
using test::Decimal;
using test::u128;

namespace {

constexpr u128 kOne = 1;

// Two-word decimal literals do not exist: hi * 2^64 + lo.
constexpr u128 Join(uint64_t hi, uint64_t lo) { return (static_cast<u128>(hi) << 64) | lo; }

// The arithmetic of a word with an exact guard that always says no: every
// search that the Montgomery arithmetic finds is then invalid.
template <typename Word>
struct GuardSaysNo : WordArith<Word> {
  static bool IsMinusOneChain(Word, int, Word) { return false; }
};

// The search's rule in GMP: the first g = 2, 3, 5, 7, ... whose a = g^k has
// a^N != 1 decides: found (a0 = a) when a^N == -1, else composite.
A0Search GmpRule(u128 p, uint64_t k, int ln, u128& a0) {
  for (int tries = 0; tries < config::kWideMaxGTries; ++tries) {
    const u128 g = tries == 0 ? 2 : static_cast<u128>(2 * tries + 1);
    const u128 a = test::GmpPowMod(g, k, p);
    const u128 s = test::GmpPowMod(a, kOne << ln, p);
    if (s == 1) continue;
    if (s != p - 1) return A0Search::kComposite;
    a0 = a;
    return A0Search::kFound;
  }
  return A0Search::kComposite;
}

const char* Name(A0Search s) {
  static_assert(static_cast<int>(A0Search::kFound) == 0 &&
                static_cast<int>(A0Search::kInvalid) == 2);
  static constexpr const char* kNames[] = {"found", "composite", "invalid"};
  return kNames[static_cast<int>(s)];
}

struct A0Case {
  const char* what;
  u128 p;
  uint64_t k;  // p = k * 2^(ln + 1) + 1
  int ln;
  A0Search want;
};

// Primes and composites of the form k*2N + 1 on both sides of the seams of
// the two words (2^61, 2^62 = kA0OneWordLimit, 2^63, 2^64) and up to 2^94.
const A0Case kA0Cases[] = {
    {"prime, decided by g = 2", 1013, 253, 1, A0Search::kFound},
    {"prime, N = 2", 1009, 252, 1, A0Search::kFound},
    {"composite", 1001, 250, 1, A0Search::kComposite},
    {"composite, g = 2 passes (Euler pseudoprime)", 3277, 819, 1, A0Search::kFound},
    {"composite, g = 3 passes", 5173601, 161675, 4, A0Search::kFound},
    {"Carmichael 1729, g = 2, 3, 5 give 1", 1729, 108, 3, A0Search::kComposite},
    {"Carmichael 2465, g = 2, 3 give 1", 2465, 77, 4, A0Search::kComposite},
    {"prime 2^16 + 1, k = 1", 65537, 1, 15, A0Search::kFound},
    {"prime", 1000033, 62502, 3, A0Search::kFound},
    {"composite 10^6 + 1", 1000001, 62500, 3, A0Search::kComposite},
    {"prime near 2^40", 1099511628161, 17179869190, 5, A0Search::kFound},
    {"composite 2^40 + 1", 1099511627777, 17179869184, 5, A0Search::kComposite},
    {"prime factor of F6", 67280421310721, 525628291490, 6, A0Search::kFound},
    {"prime factor of F7", 59649589127497217, 233006207529286, 7, A0Search::kFound},
    {"prime near 2^61", 2305843009213704193, 4503599627370516, 8, A0Search::kFound},
    {"composite 2^61 + 1", 2305843009213693953, 4503599627370496, 8, A0Search::kComposite},
    {"prime below 2^62", 4610560118520938497, 35175782154243, 16, A0Search::kFound},
    {"composite below 2^62", 4610560118520545281, 35175782154240, 16, A0Search::kComposite},
    {"prime above 2^62", 4611687117959987201, 2199023779850, 20, A0Search::kFound},
    {"composite above 2^62", 4611687117939015681, 2199023779840, 20, A0Search::kComposite},
    {"prime above 2^63", 9223372167851278337u, 4294967357, 30, A0Search::kFound},
    {"composite 2^63 + 1", 9223372036854775809u, 4294967296, 30, A0Search::kComposite},
    {"prime above 2^64", Join(1, 57345), 2251799813685255, 12, A0Search::kFound},
    {"composite 2^64 + 8193", Join(1, 8193), 2251799813685249, 12, A0Search::kComposite},
    {"prime above 2^80", Join(65536, 402653185), 36028797018963980, 24, A0Search::kFound},
    {"composite 2^80 + 1", Join(65536, 1), 36028797018963968, 24, A0Search::kComposite},
    {"prime near 2^93", Join(536870912, 21474836481), 4611686018427387914, 30, A0Search::kFound},
    {"composite 2^93 + 1", Join(536870912, 1), 4611686018427387904, 30, A0Search::kComposite},
};

// b <= bMax with b^N == -1 (mod p), by trying every b, in increasing order.
std::vector<uint32_t> BruteForceRoots(u128 p, int ln, uint32_t bMax) {
  std::vector<uint32_t> roots;
  for (uint32_t b = 0; b <= bMax; ++b) {
    if (test::GmpIsRoot(b, ln, p)) roots.push_back(b);
  }
  return roots;
}

struct WalkCase {
  const char* what;
  u128 p;
  int ln;
  u128 a0;  // a primitive 2N-th root of unity mod p; 0: FindA0_128's
  uint32_t bMax;
};

const WalkCase kWalkCases[] = {
    {"N = 2, every root", 1009, 1, 0, 1008},
    {"N = 8, every root below 10^5", 1000033, 3, 0, 100000},
    {"N = 2048, every root", 12289, 11, 0, 12288},
    {"N = 2^15, every root", 65537, 15, 0, 65536},
    {"F6 factor, N = 64: 2, 8, 32, ...", 67280421310721, 6, 0, 200000},
    {"F7 factor, N = 128, one word", 59649589127497217, 7, 0, 200000},
    // (p - 1) / 256 is above 2^64 here: a0 = 2, whose 128th power is -1.
    {"F7 factor, N = 128, two words", Join(309, 4645281908877605377), 7, 2, 100000},
    // A prime factor of 13^32 + 1 near 2^86: a0 = 13, of order 64.
    {"13^32 + 1, N = 32, two words", Join(3722885, 13645287697414630529u), 5, 13, 100000},
};

}  // namespace

TEST(WideWalkTest, A0SearchHasOneOutcomeInBothWordsAndFollowsGmp) {
  for (const A0Case& c : kA0Cases) {
    SCOPED_TRACE(::testing::Message() << c.what << ", p " << Decimal(c.p) << " ln " << c.ln);
    ASSERT_EQ(c.p, static_cast<u128>(c.k) * (kOne << (c.ln + 1)) + 1) << "the table's p";
    u128 gmpA0 = 0;
    ASSERT_STREQ(Name(GmpRule(c.p, c.k, c.ln, gmpA0)), Name(c.want)) << "the table's outcome";
    // Each word finds GMP's a0; an exact guard that disagrees makes every
    // found a0 invalid, and changes nothing else.
    const auto check = [&](const char* words, auto p, auto findA0) {
      SCOPED_TRACE(words);
      decltype(p) a0 = 0, ignored = 0;
      const A0Search found = findA0(p, c.k, c.ln, a0);
      EXPECT_STREQ(Name(found), Name(c.want));
      if (found == A0Search::kFound) {
        EXPECT_EQ(Decimal(a0), Decimal(gmpA0));
        EXPECT_TRUE(test::GmpIsRoot(a0, c.ln, c.p));
      }
      EXPECT_STREQ(Name(wide::SearchA0<GuardSaysNo<decltype(p)>>(p, c.k, c.ln, ignored)),
                   Name(c.want == A0Search::kFound ? A0Search::kInvalid : c.want))
          << "guard says no";
    };
    check("two words", c.p, FindA0_128);
    if (c.p < kA0OneWordLimit) check("one word", static_cast<uint64_t>(c.p), FindA0);
  }
}

TEST(WideWalkTest, WalksStoreTheBruteForceRootsInBothWords) {
  for (const WalkCase& c : kWalkCases) {
    const int64_t n = int64_t{1} << c.ln;
    u128 a0 = c.a0;
    if (a0 == 0) {
      const auto k = static_cast<uint64_t>((c.p - 1) >> (c.ln + 1));
      ASSERT_EQ(FindA0_128(c.p, k, c.ln, a0), A0Search::kFound) << c.what;
    }
    const auto bMax = static_cast<int32_t>(c.bMax);
    std::vector<uint32_t> want = BruteForceRoots(c.p, c.ln, c.bMax);
    for (const WideOrder order : {WideOrder::kAthlon, WideOrder::kSse}) {
      if (n < 32 && order == WideOrder::kSse) continue;
      SCOPED_TRACE(::testing::Message() << c.what << ", p " << Decimal(c.p) << " N " << n << " a0 "
                                        << Decimal(a0) << " order " << static_cast<int>(order));
      const size_t capacity = static_cast<size_t>(n) + 1;
      std::vector<uint32_t> twoWord;
      const bool fits = n < 32 ? WideRootsSmallN128(c.p, a0, n, bMax, twoWord, capacity)
                               : WideRootsPortable128(c.p, a0, n, bMax, order, twoWord, capacity);
      EXPECT_TRUE(fits);
      std::vector<uint32_t> sorted = twoWord;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(sorted, want) << "two words against brute force";
      if (c.ln == 6) {
        EXPECT_TRUE(std::binary_search(want.begin(), want.end(), 2u)) << "2^64 == -1 mod p";
      }
      // With room for all but the last root the walk stops there, and says so.
      if (!want.empty()) {
        std::vector<uint32_t> cut;
        const bool cutFits =
            n < 32 ? WideRootsSmallN128(c.p, a0, n, bMax, cut, want.size())
                   : WideRootsPortable128(c.p, a0, n, bMax, order, cut, want.size());
        EXPECT_FALSE(cutFits);
        EXPECT_EQ(cut, twoWord) << "room for exactly the roots";
      }
      if (c.p >= kWideOneWordLimit) continue;
      const auto p64 = static_cast<uint64_t>(c.p);
      const auto a64 = static_cast<uint64_t>(a0);
      std::vector<uint32_t> oneWord;
      EXPECT_TRUE(n < 32 ? WideRootsSmallN(p64, a64, n, bMax, oneWord, capacity)
                         : WideRootsPortable(p64, a64, n, bMax, order, oneWord, capacity));
      EXPECT_EQ(oneWord, twoWord) << "one word against two, in the same order";
    }
  }
}
