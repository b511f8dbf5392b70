// Micro benchmarks of the hot paths: the normal kernels (squarings per
// second), the wide root walk (multiplications per second) and the
// candidate generator (candidates per second).
//
//   build/bench/zentrova_bench --benchmark_filter=Kernel
#include <benchmark/benchmark.h>

#include <vector>

#include "math/FactorCandidates.h"
#include "math/WheelTables.h"
#include "sieve/Config.h"
#include "sieve/kernels/Dispatch.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {
namespace {

// 512 bases, ln = 16, a p of about 2^40: the benchmark job's shape.
void RunKernel(benchmark::State& state, NormalKernelFn kernel) {
  std::vector<int32_t> cand;
  for (int32_t b = 1200000; b < 1200000 + 1024; b += 2) cand.push_back(b);
  constexpr int kLn = 16;
  uint64_t p = (uint64_t{1} << 40) / 131072 * 131072 + 1;
  std::vector<uint32_t> hits;
  KernelScratch scratch;
  for (auto _ : state) {
    hits.clear();
    kernel(cand.data(), cand.size(), kLn, p, hits, scratch);
    benchmark::DoNotOptimize(hits.data());
    p += 131072;
  }
  state.counters["squarings/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * cand.size() * kLn, benchmark::Counter::kIsRate);
}

void BM_KernelScalar(benchmark::State& state) { RunKernel(state, &NormalSieveArray); }
BENCHMARK(BM_KernelScalar);

void BM_KernelAvx512(benchmark::State& state) {
  if (!IsaAvailable(Isa::kAvx512)) {
    state.SkipWithError("no AVX-512 IFMA on this processor");
    return;
  }
  RunKernel(state, NormalSieveArray_SSE2(Isa::kAvx512));
}
BENCHMARK(BM_KernelAvx512);

void BM_KernelAvx2(benchmark::State& state) {
  if (!IsaAvailable(Isa::kAvx2)) {
    state.SkipWithError("no AVX2 + FMA on this processor");
    return;
  }
  RunKernel(state, NormalSieveArray_SSE2(Isa::kAvx2));
}
BENCHMARK(BM_KernelAvx2);

// The wide root walk for N = 65536 and p near 1e15 (bMax 2e9, so few roots
// are kept): N/2 modular multiplications per pass.
void RunWide(benchmark::State& state, WideKernelFn kernel, uint64_t p) {
  constexpr int64_t kN = 65536;
  // A primitive 2N-th root of unity needs a prime p; any a0 < p exercises the
  // same arithmetic, which is all that is timed here.
  const uint64_t a0 = p / 3 + 12345;
  std::vector<uint32_t> roots;
  roots.reserve(kN + 4);
  KernelScratch scratch;
  for (auto _ : state) {
    roots.clear();
    kernel(p, a0, kN, 2000000000, roots, kN + 4, scratch);
    benchmark::DoNotOptimize(roots.data());
  }
  state.counters["mulmods/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kN / 2,
                                                   benchmark::Counter::kIsRate);
}

constexpr uint64_t kWideP = 1000000000000000ULL / 131072 * 131072 + 1;

void BM_WidePortable(benchmark::State& state) { RunWide(state, &Athlon8xCondLoopArray, kWideP); }
BENCHMARK(BM_WidePortable);

void BM_WideAvx512(benchmark::State& state) {
  if (!IsaAvailable(Isa::kAvx512)) {
    state.SkipWithError("no AVX-512 IFMA on this processor");
    return;
  }
  RunWide(state, WideSieveArray_SSE(Isa::kAvx512), kWideP);
}
BENCHMARK(BM_WideAvx512);

void BM_WideAvx2(benchmark::State& state) {
  if (!IsaAvailable(Isa::kAvx2)) {
    state.SkipWithError("no AVX2 + FMA on this processor");
    return;
  }
  RunWide(state, WideSieveArray_SSE(Isa::kAvx2), kWideP);
}
BENCHMARK(BM_WideAvx2);

// One-word against two-word squaring chains: the normal kernel's shape
// (512 bases, ln = 16) at p of about 10^15, 10^20 and just above 2^64, in
// nanoseconds per modular squaring. The one-word kernels take p below their
// bounds only.
constexpr unsigned __int128 kP15 = 1000000000000000ULL / 131072 * 131072 + 1;
constexpr unsigned __int128 kP20 =
    static_cast<unsigned __int128>(100000) * 1000000000000000ULL / 131072 * 131072 + 1;
constexpr unsigned __int128 kP64 = (static_cast<unsigned __int128>(1) << 64) + 131072 * 7 + 1;

template <typename Kernel>
void RunSquarings(benchmark::State& state, Kernel kernel, unsigned __int128 p) {
  std::vector<int32_t> cand;
  for (int32_t b = 1200000; b < 1200000 + 1024; b += 2) cand.push_back(b);
  constexpr int kLn = 16;
  std::vector<uint32_t> hits;
  KernelScratch scratch;
  for (auto _ : state) {
    hits.clear();
    kernel(cand.data(), cand.size(), kLn, p, hits, scratch);
    benchmark::DoNotOptimize(hits.data());
    p += 131072;
  }
  state.counters["ns/squaring"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * cand.size() * kLn,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SquareOneWord(benchmark::State& state, Isa isa) {
  if (!IsaAvailable(isa)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  const NormalKernelFn kernel =
      isa == Isa::kScalar ? &NormalSieveArray : NormalSieveArray_SSE2(isa);
  RunSquarings(
      state,
      [kernel](const int32_t* c, size_t n, int ln, unsigned __int128 p, std::vector<uint32_t>& h,
               KernelScratch& s) { kernel(c, n, ln, static_cast<uint64_t>(p), h, s); },
      kP15);
}
BENCHMARK_CAPTURE(BM_SquareOneWord, scalar_1e15, Isa::kScalar);
BENCHMARK_CAPTURE(BM_SquareOneWord, avx512_1e15, Isa::kAvx512);

void BM_SquareTwoWord(benchmark::State& state, Isa isa, unsigned __int128 p) {
  if (!IsaAvailable(isa)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  RunSquarings(state, isa == Isa::kScalar ? &NormalSieveArray128 : NormalSieveArray128_SSE2(isa),
               p);
}
BENCHMARK_CAPTURE(BM_SquareTwoWord, scalar_1e15, Isa::kScalar, kP15);
BENCHMARK_CAPTURE(BM_SquareTwoWord, scalar_1e20, Isa::kScalar, kP20);
BENCHMARK_CAPTURE(BM_SquareTwoWord, scalar_2p64, Isa::kScalar, kP64);
BENCHMARK_CAPTURE(BM_SquareTwoWord, avx512_1e15, Isa::kAvx512, kP15);
BENCHMARK_CAPTURE(BM_SquareTwoWord, avx512_1e20, Isa::kAvx512, kP20);
BENCHMARK_CAPTURE(BM_SquareTwoWord, avx512_2p64, Isa::kAvx512, kP64);
BENCHMARK_CAPTURE(BM_SquareTwoWord, avx2_1e20, Isa::kAvx2, kP20);
BENCHMARK_CAPTURE(BM_SquareTwoWord, avx2_2p64, Isa::kAvx2, kP64);

// The wide walk, one word against two, N = 65536 (see RunWide; the one-word
// figures are BM_WidePortable and BM_WideAvx512 at 1e15; the two-word IFMA
// walk takes p above 2^52 only).
void BM_WideTwoWord(benchmark::State& state, Isa isa, unsigned __int128 p) {
  if (!IsaAvailable(isa)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  const WideKernel128Fn kernel =
      isa == Isa::kScalar ? &Athlon8xCondLoopArray128 : WideSieveArray128_SSE(isa);
  constexpr int64_t kN = 65536;
  const unsigned __int128 a0 = p / 3 + 12345;
  std::vector<uint32_t> roots;
  roots.reserve(kN + 4);
  KernelScratch scratch;
  for (auto _ : state) {
    roots.clear();
    kernel(p, a0, kN, 2000000000, roots, kN + 4, scratch);
    benchmark::DoNotOptimize(roots.data());
  }
  state.counters["ns/mulmod"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kN / 2,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_WideTwoWord, portable_1e15, Isa::kScalar, kP15);
BENCHMARK_CAPTURE(BM_WideTwoWord, portable_1e20, Isa::kScalar, kP20);
BENCHMARK_CAPTURE(BM_WideTwoWord, portable_2p64, Isa::kScalar, kP64);
BENCHMARK_CAPTURE(BM_WideTwoWord, avx512_1e20, Isa::kAvx512, kP20);
BENCHMARK_CAPTURE(BM_WideTwoWord, avx512_2p64, Isa::kAvx512, kP64);
BENCHMARK_CAPTURE(BM_WideTwoWord, avx2_1e20, Isa::kAvx2, kP20);
BENCHMARK_CAPTURE(BM_WideTwoWord, avx2_2p64, Isa::kAvx2, kP64);

// The base-2 Fermat test of 64 odd moduli, one word at 1e15 against two
// words at 1e20, in nanoseconds per modulus.
void BM_FermatOneWord(benchmark::State& state, Isa isa) {
  if (!IsaAvailable(isa)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  const FermatBatchFn fermat = FermatBatchFor(isa);
  uint64_t p[64];
  bool pass[64];
  for (int i = 0; i < 64; ++i) p[i] = static_cast<uint64_t>(kP15) + 131072 * i;
  for (auto _ : state) {
    fermat(p, 64, pass);
    benchmark::DoNotOptimize(pass);
  }
  state.counters["ns/modulus"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 64,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_FermatOneWord, scalar_1e15, Isa::kScalar);
BENCHMARK_CAPTURE(BM_FermatOneWord, avx512_1e15, Isa::kAvx512);

void BM_FermatTwoWord(benchmark::State& state, Isa isa) {
  if (!IsaAvailable(isa)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  const FermatBatch128Fn fermat = FermatBatch128For(isa);
  unsigned __int128 p[64];
  bool pass[64];
  for (int i = 0; i < 64; ++i) p[i] = kP20 + 131072 * i;
  for (auto _ : state) {
    fermat(p, 64, pass);
    benchmark::DoNotOptimize(pass);
  }
  state.counters["ns/modulus"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 64,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_FermatTwoWord, scalar_1e20, Isa::kScalar);
BENCHMARK_CAPTURE(BM_FermatTwoWord, avx512_1e20, Isa::kAvx512);

void RunGenerator(benchmark::State& state, FermatBatchFn fermat, int width) {
  WheelTables tables;
  FactorCandidateGenerator gen(tables, fermat, width);
  gen.Reset(131072, 1 << 20);
  for (auto _ : state) benchmark::DoNotOptimize(gen.NextFactorCandidate());
  state.counters["candidates/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_GeneratorScalar(benchmark::State& state) { RunGenerator(state, &FermatBatchScalar, 4); }
BENCHMARK(BM_GeneratorScalar);

void BM_GeneratorVector(benchmark::State& state) {
  if (!IsaAvailable(Isa::kAvx512)) {
    state.SkipWithError("no AVX-512 IFMA on this processor");
    return;
  }
  RunGenerator(state, FermatBatchFor(Isa::kAvx512), config::kVectorFermatBatch);
}
BENCHMARK(BM_GeneratorVector);

}  // namespace
}  // namespace zentrova

BENCHMARK_MAIN();
