#include "gpu/KnownAnswers.h"

#include <algorithm>
#include <climits>
#include <tuple>
#include <vector>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "sieve/Config.h"

namespace zentrova {

namespace {

// A batch of one N: its p given as bases b (p = b^N + 1, b even, so that b
// and every odd power of it are roots) or as k (p = k*2N + 1, a prime).
struct Batch {
  int ln;
  std::vector<uint64_t> b, k;
};

// The wide walks. Their p are primes: b^2 + 1 just below 2^62 and 2^50,
// both sides of 2^32, and small; b^4 + 1 both sides of 2^64 and of 2^32;
// b^8 + 1 below 2^62 and above 2^64; b^16 + 1; then the walk of pairs
// (N >= 32) both sides of 2^32, and at N = 2^13 from below 2^31 (every
// root a hit) to 2^76 (k just below 2^63, no root small enough: the a0
// search at full size).
const Batch kWide[] = {
    {1, {2147483640, 33554424, 65534, 65540, 4, 10}, {}},
    {2, {65530, 65540, 254, 266}, {}},
    {3, {208, 288}, {}},
    {4, {2, 44, 74}, {}},
    {6, {}, {16777212, 33554435}},
    {13,
     {},
     {131064, 68719476735, 281474976710652, 1125899906842617, 1125899906842629,
      4611686018427387883}},
};

// The normal chains: moduli b^N + 1 (prime or not: b^N == -1 holds
// either way) just below 2^62, 2^50, 2^32, 2^64 and 2^96, and 2^64 + 1,
// with their b among the bases; at N = 2^13 two primes, the first with a
// root below 2^31 found here and planted among the bases.
const Batch kNormal[] = {
    {1, {2147483646, 33554424, 65534, 65536, 2, 10}, {}},
    {2, {65534, 65536, 16777214, 4}, {}},
    {13, {}, {131064, 281474976710652}},
};

// Bases of the chains that are no planted root.
const int32_t kOtherBases[] = {3, 7, 65537, 1000003, 123456789, INT32_MAX};

UInt128 P(const Batch& batch, size_t i) {
  const UInt128 n = UInt128{1} << batch.ln;
  if (i >= batch.b.size()) return static_cast<UInt128>(batch.k[i - batch.b.size()]) * 2 * n + 1;
  UInt128 power = 1;  // below 2^96 for every b of the tables
  for (UInt128 e = 0; e < n; ++e) power *= batch.b[i];
  return power + 1;
}

// The batch's p below the bound, ascending.
std::vector<UInt128> PBelow(const Batch& batch, UInt128 bound) {
  std::vector<UInt128> p;
  for (size_t i = 0; i < batch.b.size() + batch.k.size(); ++i) {
    if (P(batch, i) < bound) p.push_back(P(batch, i));
  }
  std::sort(p.begin(), p.end());
  return p;
}

// x^(2^ln) mod p.
UInt128 Squarings(UInt128 x, int ln, UInt128 p) {
  for (int s = 0; s < ln; ++s) x = MulModExact128(x, x, p);
  return x;
}

// What Wide must give for p = k*2N + 1: a0 = g^k for the first g of 2, 3,
// 5, 7, 9, ... with g^(kN) != 1; none (0) when that is not -1 or no g is
// left. The walk's hits follow from a0.
UInt128 ExpectedA0(UInt128 p, uint64_t k, int ln) {
  for (int t = 0; t < config::kWideMaxGTries; ++t) {
    const UInt128 g = t == 0 ? 2 : static_cast<UInt128>(2 * t + 1);
    const UInt128 a = PowModExact128(g % p, k, p);
    const UInt128 s = Squarings(a, ln, p);
    if (s == 1) continue;
    return s == p - 1 ? a : 0;
  }
  return 0;
}

using HitKey = std::tuple<uint32_t, uint32_t, bool, uint32_t>;  // index, j, negated, root

HitKey Key(const WideHit& h) {
  return {h.index, h.j, h.negated, h.root};
}

std::string A0Text(uint8_t kind, UInt128 a0) {
  return kind == 2 ? "a0 = " + PToString(a0) : "no a0";
}

std::string RootText(const HitKey& h) {
  return StrFormat("the root %u at j = %u%s", std::get<3>(h), std::get<1>(h),
                   std::get<2>(h) ? " (as p - x_j)" : "");
}

// The first difference of the wide walks of one batch, or empty.
// The first check the device made of its own results in its last call that
// failed, as a text (empty when none did): a walk or chain may end right by
// chance where its check did not.
std::string FailedCheck(const SieveDevice& device, const std::vector<UInt128>& p, int ln) {
  const DeviceChecks checks = device.LastChecks();
  if (checks.mismatches.empty()) return {};
  return StrFormat("p = %s, N = %lld: expected its own check to hold, got a failed check",
                   PToString(p[checks.mismatches.front().index]).c_str(), 1LL << ln);
}

std::string WrongWide(SieveDevice& device, int ln, const std::vector<UInt128>& p) {
  const int64_t n = int64_t{1} << ln;
  const int32_t bMax = INT32_MAX;
  std::vector<uint64_t> k;
  std::vector<uint8_t> wantKind;
  std::vector<UInt128> wantA0;
  std::vector<HitKey> want;
  for (size_t i = 0; i < p.size(); ++i) {
    k.push_back(static_cast<uint64_t>((p[i] - 1) / (2 * static_cast<UInt128>(n))));
    wantA0.push_back(ExpectedA0(p[i], k.back(), ln));
    wantKind.push_back(wantA0.back() != 0 ? 2 : 0);
    if (wantA0.back() == 0) continue;
    const bool pairs = n >= 32;
    const UInt128 a2 = MulModExact128(wantA0.back(), wantA0.back(), p[i]);
    UInt128 x = wantA0.back();
    for (int64_t j = 1; j < (pairs ? n : 2 * n); j += 2, x = MulModExact128(x, a2, p[i])) {
      const auto index = static_cast<uint32_t>(i), jj = static_cast<uint32_t>(j);
      if (x <= static_cast<UInt128>(bMax))
        want.emplace_back(index, jj, false, static_cast<uint32_t>(x));
      if (pairs && p[i] - x <= static_cast<UInt128>(bMax)) {
        want.emplace_back(index, jj, true, static_cast<uint32_t>(p[i] - x));
      }
    }
  }
  std::vector<uint8_t> kind;
  std::vector<UInt128> a0;
  std::vector<WideHit> hits;
  device.Wide(p, k, ln, n, bMax, config::kWideMaxGTries, kind, a0, hits);
  std::vector<HitKey> got;
  for (const WideHit& h : hits) got.push_back(Key(h));
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  for (size_t i = 0; i < p.size(); ++i) {
    const std::string where =
        StrFormat("p = %s, N = %lld: ", PToString(p[i]).c_str(), static_cast<long long>(n));
    const uint8_t gotKind = i < kind.size() ? kind[i] : 0;
    const UInt128 gotA0 = i < a0.size() ? a0[i] : 0;
    if (gotKind != wantKind[i] || (wantKind[i] == 2 && gotA0 != wantA0[i])) {
      return where + "expected " + A0Text(wantKind[i], wantA0[i]) + ", got " +
             A0Text(gotKind, gotA0);
    }
    const auto of = [i](const std::vector<HitKey>& v) {
      std::vector<HitKey> out;
      for (const HitKey& h : v) {
        if (std::get<0>(h) == i) out.push_back(h);
      }
      return out;
    };
    const std::vector<HitKey> w = of(want), g = of(got);
    const auto [wi, gi] = std::mismatch(w.begin(), w.end(), g.begin(), g.end());
    if (wi != w.end() && (gi == g.end() || *wi < *gi)) {
      return where + "expected " + RootText(*wi) + ", got none there";
    }
    if (gi != g.end())
      return where + "expected no root at j = " + std::to_string(std::get<1>(*gi)) + ", got " +
             RootText(*gi);
  }
  return FailedCheck(device, p, ln);
}

// The first difference of the normal chains of one batch, or empty.
std::string WrongNormal(SieveDevice& device, int ln, const std::vector<UInt128>& p,
                        std::vector<int32_t> bases) {
  // A root below 2^31 of each prime p = k*2N + 1 that has one.
  for (const UInt128 q : p) {
    if (q >= (UInt128{1} << 31)) continue;
    const UInt128 root = ExpectedA0(q, static_cast<uint64_t>((q - 1) >> (ln + 1)), ln);
    if (root != 0) bases.push_back(static_cast<int32_t>(root));
  }
  std::vector<NormalHit> hits;
  device.Normal(p, bases, ln, hits);
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const NormalHit& h : hits) got.emplace_back(h.index, h.position);
  std::sort(got.begin(), got.end());
  for (size_t i = 0; i < p.size(); ++i) {
    for (size_t j = 0; j < bases.size(); ++j) {
      const bool want = VerifyFactor128(ln, static_cast<UInt128>(bases[j]), p[i]);
      const bool found =
          std::binary_search(got.begin(), got.end(),
                             std::make_pair(static_cast<uint32_t>(i), static_cast<uint32_t>(j)));
      if (want == found) continue;
      return StrFormat("p = %s, N = %lld, base %d: expected %s, got %s", PToString(p[i]).c_str(),
                       1LL << ln, bases[j], want ? "b^N == -1" : "no hit",
                       found ? "a hit" : "none");
    }
  }
  return FailedCheck(device, p, ln);
}

}  // namespace

std::string FirstWrongKnownAnswer(SieveDevice& device, UInt128 bound) {
  for (const Batch& batch : kWide) {
    const std::vector<UInt128> p = PBelow(batch, bound);
    if (p.empty()) continue;
    if (std::string wrong = WrongWide(device, batch.ln, p); !wrong.empty()) return wrong;
  }
  for (const Batch& batch : kNormal) {
    const std::vector<UInt128> p = PBelow(batch, bound);
    if (p.empty()) continue;
    std::vector<int32_t> bases(std::begin(kOtherBases), std::end(kOtherBases));
    for (const uint64_t b : batch.b) bases.push_back(static_cast<int32_t>(b));
    if (std::string wrong = WrongNormal(device, batch.ln, p, bases); !wrong.empty()) return wrong;
  }
  return {};
}

}  // namespace zentrova
