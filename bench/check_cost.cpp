// What the GPU kernels' checks of their own results cost: the wide walk and
// the normal chains of mont64 on OpenCL device 0 (PoCL's CPU device where
// there is no card), against the same kernels built without their checks
// (ZK_UNCHECKED), on the same p; the best of three launches of each, for
// N = 2^13, 2^16 and 2^18.
//
//   build/bench/zentrova_check_cost
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "gpu/OpenClBackend.h"
#include "math/ModArith.h"

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

template <typename Launch>
double Best(Launch launch) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    launch();
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

int Run() {
  if (ListOpenClDevices().empty()) {
    std::printf("No OpenCL device.\n");
    return 1;
  }
  const ScopedExtraArithmetic unchecked({"unchecked", UInt128{1} << 62, "mont64 without checks"},
                                        "#define ZK_UNCHECKED 1\n" + GpuArithmeticSource("mont64"),
                                        64);
  OpenClBackend checkedGpu(0, DeviceOptions{"mont64", 0});
  OpenClBackend uncheckedGpu(0, DeviceOptions{"unchecked", 0});
  std::printf("device: %s (%s)\n", checkedGpu.Info().name.c_str(),
              checkedGpu.Info().platform.c_str());
  std::printf("%-8s %-7s %12s %12s %8s\n", "N", "mode", "checked s", "unchecked s", "ratio");
  for (const int ln : {13, 16, 18}) {
    const int64_t n = int64_t{1} << ln;
    // About 2^27 steps of the walk, 2^27 squarings of the chains.
    std::vector<uint64_t> k;
    const std::vector<UInt128> wideP = Primes(ln, static_cast<size_t>((int64_t{1} << 28) / n), k);
    std::vector<uint8_t> kind;
    std::vector<UInt128> a0;
    std::vector<WideHit> wideHits;
    auto wide = [&](OpenClBackend& gpu) {
      return Best([&] { gpu.Wide(wideP, k, ln, n, 1000000, 300, kind, a0, wideHits); });
    };
    const double wideChecked = wide(checkedGpu), wideUnchecked = wide(uncheckedGpu);
    std::vector<int32_t> cand;
    for (int32_t b = 2; b < 4002; b += 2) cand.push_back(b);
    const std::vector<UInt128> normalP(
        wideP.begin(),
        wideP.begin() + std::min<ptrdiff_t>(static_cast<ptrdiff_t>(wideP.size()),
                                            (int64_t{1} << 27) / ln / 2000));
    std::vector<NormalHit> normalHits;
    auto normal = [&](OpenClBackend& gpu) {
      return Best([&] { gpu.Normal(normalP, cand, ln, normalHits); });
    };
    const double normalChecked = normal(checkedGpu), normalUnchecked = normal(uncheckedGpu);
    std::printf("2^%-6d %-7s %12.4f %12.4f %8.4f\n", ln, "wide", wideChecked, wideUnchecked,
                wideChecked / wideUnchecked);
    std::printf("2^%-6d %-7s %12.4f %12.4f %8.4f\n", ln, "normal", normalChecked, normalUnchecked,
                normalChecked / normalUnchecked);
  }
  return 0;
}

}  // namespace
}  // namespace zentrova

int main() {
  return zentrova::Run();
}
