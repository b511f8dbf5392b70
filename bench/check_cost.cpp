// What the GPU kernels' checks of their own results cost: the wide walk and
// the normal chains of mont64 on OpenCL device 0 (PoCL's CPU device where
// there is no card), against the same kernels built without their checks
// (ZK_UNCHECKED), on the same p; the best of five launches of each, the two
// taken in turn, for N = 2^13, 2^16 and 2^18. Wall time, and the process's
// CPU time: on PoCL the kernels run on the process's own threads, and its
// CPU time holds on a machine shared with other work, where the wall time
// does not. Then what the host's own check of the wide mode costs: its a0
// search, per p passed over as composite, in one word and in two.
//
//   build/bench/zentrova_check_cost
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "gpu/OpenClBackend.h"
#include "math/ModArith.h"
#include "sieve/Config.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {
namespace {

// `count` p = k*2N + 1 from about 10^15 on that pass a base-2 Fermat test.
std::vector<UInt128> Primes(int ln, size_t count, std::vector<uint64_t>& k) {
  std::vector<UInt128> p;
  const uint64_t twoN = uint64_t{2} << ln;
  for (uint64_t kk = 1000000000000000ULL / twoN; p.size() < count; ++kk) {
    const uint64_t q = kk * twoN + 1;
    if (PowModExact(2, q - 1, q) != 1) continue;
    p.push_back(q);
    k.push_back(kk);
  }
  return p;
}

struct Times {
  double wall = 1e30, cpu = 1e30;  // seconds, the best of the launches
};

// The best times of launch(checked) and launch(unchecked), in turn.
template <typename Launch>
std::pair<Times, Times> Best(Launch launch, OpenClBackend& checked, OpenClBackend& unchecked) {
  std::pair<Times, Times> best;
  auto time = [&](OpenClBackend& gpu, Times& to) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    launch(gpu);
    const double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    to.cpu = std::min(to.cpu, cpu);
    to.wall = std::min(
        to.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  };
  for (int i = 0; i < 5; ++i) {
    time(checked, best.first);
    time(unchecked, best.second);
  }
  return best;
}

// The host's a0 search (the one-word or two-word one, as the wide loop
// picks) over 20000 odd p = k*2^17 + 1 from `from` on that it finds
// composite: microseconds per p, the best of three passes.
double A0SearchMicroseconds(UInt128 from) {
  const int ln = 16;
  double best = 1e30;
  for (int pass = 0; pass < 3; ++pass) {
    int searched = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto k = static_cast<uint64_t>(from >> (ln + 1)); searched < 20000; ++k) {
      const UInt128 p = (static_cast<UInt128>(k) << (ln + 1)) + 1;
      UInt128 a0 = 0;
      uint64_t a64 = 0;
      const A0Search s = p < kA0OneWordLimit ? FindA0(static_cast<uint64_t>(p), k, ln, a64)
                                             : FindA0_128(p, k, ln, a0);
      searched += s == A0Search::kComposite;
    }
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best / 20000 * 1e6;
}

void Row(int ln, const char* mode, const std::pair<Times, Times>& t) {
  std::printf("2^%-3d %-7s %9.4f %9.4f %7.4f   %9.4f %9.4f %7.4f\n", ln, mode, t.first.wall,
              t.second.wall, t.first.wall / t.second.wall, t.first.cpu, t.second.cpu,
              t.first.cpu / t.second.cpu);
}

int Run() {
  if (ListOpenClDevices().empty()) {
    std::printf("No OpenCL device.\n");
    return 1;
  }
  const ScopedExtraArithmetic unchecked({"unchecked", UInt128{1} << 62, "mont64 without checks"},
                                        "#define ZK_UNCHECKED 1\n" + GpuArithmeticSource("mont64"),
                                        64, false, /*checked=*/false);
  OpenClBackend checkedGpu(0, DeviceOptions{"mont64", 0});
  OpenClBackend uncheckedGpu(0, DeviceOptions{"unchecked", 0});
  std::printf("device: %s (%s)\n", checkedGpu.Info().name.c_str(),
              checkedGpu.Info().platform.c_str());
  std::printf("%-5s %-7s %9s %9s %7s   %9s %9s %7s\n", "N", "mode", "wall chk", "wall unc", "ratio",
              "cpu chk", "cpu unc", "ratio");
  for (const int ln : {13, 16, 18}) {
    const int64_t n = int64_t{1} << ln;
    // About 2^27 steps of the walk, 2^27 squarings of the chains.
    std::vector<uint64_t> k;
    const std::vector<UInt128> wideP = Primes(ln, static_cast<size_t>((int64_t{1} << 28) / n), k);
    std::vector<uint8_t> kind;
    std::vector<UInt128> a0;
    std::vector<WideHit> wideHits;
    const auto wide = Best(
        [&](OpenClBackend& gpu) { gpu.Wide(wideP, k, ln, n, 1000000, 300, kind, a0, wideHits); },
        checkedGpu, uncheckedGpu);
    std::vector<int32_t> cand;
    for (int32_t b = 2; b < 4002; b += 2) cand.push_back(b);
    const std::vector<UInt128> normalP(
        wideP.begin(), wideP.begin() + std::min<ptrdiff_t>(static_cast<ptrdiff_t>(wideP.size()),
                                                           (int64_t{1} << 27) / ln / 2000));
    std::vector<NormalHit> normalHits;
    const auto normal = Best([&](OpenClBackend& gpu) { gpu.Normal(normalP, cand, ln, normalHits); },
                             checkedGpu, uncheckedGpu);
    Row(ln, "wide", wide);
    Row(ln, "normal", normal);
  }
  std::printf("host a0 search of a p passed over (at least %d a launch, one in %d):\n",
              static_cast<int>(config::kDeviceA0MinSample),
              static_cast<int>(config::kDeviceCheckShare));
  std::printf("  one word, p near 10^15:  %.2f us\n", A0SearchMicroseconds(UInt128{1} << 50));
  std::printf("  two words, p near 2^70:  %.2f us\n", A0SearchMicroseconds(UInt128{1} << 70));
  return 0;
}

}  // namespace
}  // namespace zentrova

int main() {
  return zentrova::Run();
}
