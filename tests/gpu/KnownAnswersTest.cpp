// The known-answer test against a device that computes the walks and the
// chains with GMP (an arithmetic of its own, not the CPU's): it passes at
// every bound, and each fault planted into its answers (a wrong a0, a lost
// or an invented root, a lost chain hit) is caught and named.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "TestGmp.h"
#include "gpu/KnownAnswers.h"

namespace zentrova {
namespace {

using test::u128;

constexpr u128 Pow2(int e) {
  return static_cast<u128>(1) << e;
}

// Device.h's contract computed with GMP, then handed to `fault`.
class GmpDevice : public SieveDevice {
 public:
  using WideFault = std::function<void(const std::vector<UInt128>& p, int ln,
                                       std::vector<UInt128>& a0, std::vector<WideHit>& hits)>;
  using NormalFault =
      std::function<void(const std::vector<UInt128>& p, const std::vector<int32_t>& cand,
                         std::vector<NormalHit>& hits)>;
  WideFault wideFault;
  NormalFault normalFault;
  int launches = 0;

  const DeviceInfo& Info() const override { return m_info; }
  UInt128 PLimit() const override { return Pow2(96); }
  double BusySeconds() const override { return 0; }

  void Wide(const std::vector<UInt128>& p, const std::vector<uint64_t>& k, int ln, int64_t n,
            int32_t bMax, int tries, std::vector<uint8_t>& kind, std::vector<UInt128>& a0,
            std::vector<WideHit>& hits) override {
    ++launches;
    kind.assign(p.size(), 0);
    a0.assign(p.size(), 0);
    hits.clear();
    for (size_t i = 0; i < p.size(); ++i) {
      for (int t = 0; t < tries; ++t) {
        const u128 g = t == 0 ? 2 : static_cast<u128>(2 * t + 1);
        const u128 a = test::GmpPowMod(g % p[i], k[i], p[i]);
        const u128 s = test::GmpPowMod(a, static_cast<u128>(n), p[i]);
        if (s == 1) continue;
        if (s == p[i] - 1) {
          kind[i] = 2;
          a0[i] = a;
        }
        break;
      }
      if (kind[i] != 2) continue;
      const bool pairs = n >= 32;
      for (int64_t j = 1; j < (pairs ? n : 2 * n); j += 2) {
        const u128 x = test::GmpPowMod(a0[i], static_cast<u128>(j), p[i]);
        const auto index = static_cast<uint32_t>(i), jj = static_cast<uint32_t>(j);
        if (x <= static_cast<u128>(bMax))
          hits.push_back({index, jj, false, static_cast<uint32_t>(x)});
        if (pairs && p[i] - x <= static_cast<u128>(bMax)) {
          hits.push_back({index, jj, true, static_cast<uint32_t>(p[i] - x)});
        }
      }
    }
    // The order of the hits is the device's own.
    std::reverse(hits.begin(), hits.end());
    if (wideFault) wideFault(p, ln, a0, hits);
  }

  void Normal(const std::vector<UInt128>& p, const std::vector<int32_t>& cand, int ln,
              std::vector<NormalHit>& hits) override {
    ++launches;
    hits.clear();
    for (size_t i = 0; i < p.size(); ++i) {
      for (size_t j = 0; j < cand.size(); ++j) {
        if (test::GmpIsRoot(static_cast<u128>(cand[j]) % p[i], ln, p[i])) {
          hits.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(j)});
        }
      }
    }
    if (normalFault) normalFault(p, cand, hits);
  }

 private:
  DeviceInfo m_info{"gmp", 0, "test", "GMP", false};
};

size_t IndexOf(const std::vector<UInt128>& p, u128 q) {
  return static_cast<size_t>(std::find(p.begin(), p.end(), q) - p.begin());
}

TEST(KnownAnswers, ADeviceThatErrsAnywhereTheSetCoversIsNamedByItsFirstWrongAnswer) {
  const u128 gfn62 = 4611685984067649601;  // 2147483640^2 + 1, just below 2^62
  const u128 fermat4 = 65537;              // 2^16 + 1: the root 2 at N = 16
  const u128 big13 = 4611686018427322369;  // 281474976710652*2^14 + 1, no root
  const u128 two64plus1 = Pow2(64) + 1;    // 65536^4 + 1, a chain modulus
  const u128 pair33 = 4294967681;          // 33554435*2^7 + 1, the walk of pairs
  const GmpDevice::WideFault a0OffByOne = [&](const auto& p, int, auto& a0, auto&) {
    if (const size_t i = IndexOf(p, gfn62); i < p.size()) a0[i] ^= 1;
  };
  struct Case {
    std::string what;
    u128 bound;
    GmpDevice::WideFault wide;
    GmpDevice::NormalFault normal;
    std::string wrong;  // the start of the text; empty: every answer right
  } cases[] = {
      {"none, all p", Pow2(96), {}, {}, ""},
      {"none, below 2^50", Pow2(50), {}, {}, ""},
      {"a0 off by one below 2^62",
       Pow2(62),
       a0OffByOne,
       {},
       "p = 4611685984067649601, N = 2: expected a0 = "},
      // The same fault at a p the set leaves out below 2^50 goes unseen.
      {"a0 off by one, bound 2^50", Pow2(50), a0OffByOne, {}, ""},
      {"the planted root 2 lost",
       Pow2(62),
       [&](const auto& p, int, auto&, auto& hits) {
         const size_t i = IndexOf(p, fermat4);
         std::erase_if(hits, [i](const WideHit& h) { return h.index == i && h.root == 2; });
       },
       {},
       "p = 65537, N = 16: expected the root 2 at j = "},
      {"a root invented",
       Pow2(64),
       [&](const auto& p, int, auto&, auto& hits) {
         if (const size_t i = IndexOf(p, big13); i < p.size()) {
           hits.push_back({static_cast<uint32_t>(i), 4095, false, 7});
         }
       },
       {},
       "p = 4611686018427322369, N = 8192: expected no root at j = 4095, got the root 7 at j = "
       "4095"},
      {"p - x_j reported as x_j",
       Pow2(64),
       [&](const auto& p, int, auto&, auto& hits) {
         const size_t i = IndexOf(p, pair33);
         const auto h = std::find_if(hits.begin(), hits.end(),
                                     [i](const WideHit& w) { return w.index == i && w.negated; });
         if (h != hits.end()) h->negated = false;
       },
       {},
       "p = 4294967681, N = 64: expected "},
      {"a chain hit lost at 2^64 + 1",
       Pow2(96),
       {},
       [&](const auto& p, const auto& cand, auto& hits) {
         const size_t i = IndexOf(p, two64plus1);
         std::erase_if(
             hits, [&](const NormalHit& h) { return h.index == i && cand[h.position] == 65536; });
       },
       "p = 18446744073709551617, N = 4, base 65536: expected b^N == -1, got none"},
      {"a chain hit invented",
       Pow2(62),
       {},
       [&](const auto& p, const auto&, auto& hits) {
         hits.push_back({static_cast<uint32_t>(p.size() - 1), 0});
       },
       "p = 4611686009837453317, N = 2, base 3: expected no hit, got a hit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GmpDevice device;
    device.wideFault = c.wide;
    device.normalFault = c.normal;
    const std::string wrong = FirstWrongKnownAnswer(device, c.bound);
    if (c.wrong.empty()) {
      EXPECT_EQ(wrong, "");
    } else {
      EXPECT_EQ(wrong.substr(0, c.wrong.size()), c.wrong) << wrong;
    }
    // A handful of launches: all of them when every answer is right (six
    // walks and three chains below 2^96, the walks at N = 256 left out
    // below 2^50), up to the first wrong one otherwise.
    if (c.wrong.empty()) {
      EXPECT_EQ(device.launches, c.bound == Pow2(96) ? 9 : 8);
    } else {
      EXPECT_GE(device.launches, 1);
    }
  }
}

// The set is worth its name: below each arithmetic's bound it holds p
// within 1% of the bound, walks that must report roots at N below 32 and at
// N >= 32, and chains with hits; a p at or above the bound is never asked.
TEST(KnownAnswers, EachBoundGetsPNearItAndPlantedRoots) {
  for (const int bits : {50, 62, 64, 96}) {
    SCOPED_TRACE("p below 2^" + std::to_string(bits));
    u128 top = 0;
    int wideHits = 0, pairHits = 0, chainHits = 0;
    GmpDevice device;
    device.wideFault = [&](const auto& p, int ln, auto&, auto& hits) {
      for (const UInt128 q : p) top = std::max(top, q);
      (ln >= 5 ? pairHits : wideHits) += static_cast<int>(hits.size());
    };
    device.normalFault = [&](const auto& p, const auto&, auto& hits) {
      for (const UInt128 q : p) top = std::max(top, q);
      chainHits += static_cast<int>(hits.size());
    };
    EXPECT_EQ(FirstWrongKnownAnswer(device, Pow2(bits)), "");
    EXPECT_LT(top, Pow2(bits));
    EXPECT_GT(top, Pow2(bits) - Pow2(bits) / 100);
    EXPECT_GT(wideHits, 10);
    EXPECT_GT(pairHits, 100);
    EXPECT_GT(chainHits, 5);
  }
}

}  // namespace
}  // namespace zentrova
