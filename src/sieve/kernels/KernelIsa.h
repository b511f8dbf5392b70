// The instruction-set levels of the sieve kernels, in one table
// (KernelIsa.cpp): for each level its name, its description, whether this
// build has compiled it in and this processor runs it, and its kernels. The
// dispatch (Dispatch.h, Kernels128.h), the command line's --isa with its help
// texts and refusal, `bench --isa list`, `--version` and the engine line at
// the start of a job's log are all made from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "math/Fermat128.h"

namespace zentrova {

struct CpuFeatures;

// The instruction-set levels of the kernels. The numbers travel in the
// messages of runs spread over processes: a new level takes a new number.
enum class Isa { kAuto, kScalar, kAvx2, kAvx512 };

// Buffers the vector kernels work in. The caller owns them, one per thread
// that runs kernels, so that no kernel keeps state of its own between calls.
struct KernelScratch {
  std::vector<uint64_t> values;
  std::vector<uint32_t> found;
};

// The kernels' common signatures; their contracts are in Dispatch.h (one
// word) and Kernels128.h (two words).
using NormalKernelFn = void (*)(const int32_t* cand, size_t n, int ln, uint64_t p,
                                std::vector<uint32_t>& hits, KernelScratch& scratch);
using NormalKernel128Fn = void (*)(const int32_t* cand, size_t n, int ln, unsigned __int128 p,
                                   std::vector<uint32_t>& hits, KernelScratch& scratch);
using WideKernelFn = bool (*)(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                              std::vector<uint32_t>& roots, size_t capacity,
                              KernelScratch& scratch);
using WideKernel128Fn = bool (*)(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                                 std::vector<uint32_t>& roots, size_t capacity,
                                 KernelScratch& scratch);
using FermatBatchFn = void (*)(const uint64_t* p, int n, bool* pass);
// (FermatBatch128Fn: math/Fermat128.h.)

// The kernels of one level. Each takes every p of its contract: one outside
// the range of a level's instruction set goes to the portable code inside it.
struct KernelSet {
  NormalKernelFn normal;        // one word
  NormalKernel128Fn normal128;  // two words
  WideKernelFn wide;            // the WideSieveArray_SSE storing order, one word
  WideKernel128Fn wide128;      // the same, two words
  FermatBatchFn fermat;         // the candidate generator's Fermat test
  FermatBatch128Fn fermat128;
};

// One level of the table.
struct IsaLevel {
  Isa isa;
  const char* name;         // --isa, bench --isa list, --version, the engine line
  const char* description;  // the engine line: "Kernel avx2 (AVX2 + FMA), ..."
  // Whether a processor runs the level's kernels (the features they need);
  // null for the portable level, which every processor runs.
  bool (*runsOn)(const CpuFeatures& cpu);
  // All null where this build has not compiled the level in (another
  // processor family, or a compiler without the level's flags).
  KernelSet kernels;

  bool CompiledIn() const { return kernels.normal != nullptr; }
  // Compiled in, and this processor runs it.
  bool Available() const;
};

// Every level, from the portable one (first) up, compiled in or not.
std::span<const IsaLevel> IsaLevels();
// The level of `isa`; null for kAuto.
const IsaLevel* FindIsaLevel(Isa isa);
// The level whose kernels the dispatch hands out for `isa`: kAuto is the best
// available level, a level this build or processor lacks the portable one.
const IsaLevel& RunningIsaLevel(Isa isa);
// The --isa choices for help texts and refusals: "auto" and each level's
// name, comma-separated.
std::string IsaChoices();

// The table by number: every level from the portable one up, a level's name
// ("auto" for kAuto), and the level an --isa text names (false for none).
const std::vector<Isa>& KernelIsas();
const char* IsaName(Isa isa);
bool ParseIsa(const std::string& text, Isa& isa);
// Whether this build and processor can run the level (kAuto, kScalar: always).
bool IsaAvailable(Isa isa);
// The level kAuto resolves to here.
Isa BestIsa();

}  // namespace zentrova
