#include "sieve/kernels/KernelIsa.h"

#include <iterator>

#include "math/CpuFeatures.h"
#include "math/FactorCandidates.h"
#include "sieve/kernels/Dispatch.h"
#include "sieve/kernels/Kernels128.h"
#include "sieve/kernels/NormalVector.h"
#include "sieve/kernels/WideVector128.h"

namespace zentrova {

namespace {

// --- The kernels of each level ---------------------------------------------

// Portable C++ (scalar.cpp, scalar128.cpp, WideKernel*.cpp): every build.
constexpr KernelSet kScalarKernels = {
    .normal = &NormalSieveArray,
    .normal128 = &NormalSieveArray128,
    .wide = &kernels::WidePortableSse,
    .wide128 = &kernels::WidePortableSse128,
    .fermat = &FermatBatchScalar,
    .fermat128 = &FermatBatchScalar128,
};

// AVX2 + FMA, 4 lanes (avx2.cpp, avx2_128.cpp; NormalVector.h, WideVector128.h and Dispatch*.cpp
// wrap them): x86-64 builds.
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
// The two-word AVX2 walk's Montgomery form reaches p below 2^94, every p the
// sieve takes.
static_assert(kAvx2TwoWordLimit == static_cast<unsigned __int128>(1) << 94 &&
              kAvx2TwoWordLimit >= kMaxModulus128);
constexpr KernelSet kAvx2Kernels = {
    .normal = &NormalVector<uint64_t, &kernels::avx2::NormalSieveRaw, &NormalSieveArray, 0, 4>,
    .normal128 = &NormalVector<unsigned __int128, &kernels::avx2_128::NormalSieveRaw,
                               &NormalSieveArray128, 16, 4>,
    .wide = &kernels::WideAvx2,
    .wide128 =
        &WideVector128<&kernels::avx2_128::WideSieveRaw, kernels::avx2_128::kWideSegments, 96, 94>,
    .fermat = &FermatBatchScalar,
    .fermat128 = &FermatBatchScalar128,
};
#else
constexpr KernelSet kAvx2Kernels = {};
#endif

// AVX-512 IFMA, 8 lanes of 52 bits (avx512ifma.cpp, avx512ifma128.cpp;
// NormalVector.h, WideVector128.h and Dispatch*.cpp wrap them): x86-64 builds.
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
constexpr KernelSet kAvx512Kernels = {
    .normal =
        &NormalVector<uint64_t, &kernels::avx512ifma::NormalSieveRaw, &NormalSieveArray, 8, 8>,
    .normal128 = &NormalVector<unsigned __int128, &kernels::avx512ifma128::NormalSieveRaw,
                               &NormalSieveArray128, 16, 8>,
    .wide = &kernels::WideAvx512,
    .wide128 = &WideVector128<&kernels::avx512ifma128::WideSieveRaw,
                              kernels::avx512ifma128::kWideSegments, 104, 102>,
    .fermat = &kernels::avx512ifma::FermatBatch,
    .fermat128 = &kernels::FermatAvx512_128,
};
#else
constexpr KernelSet kAvx512Kernels = {};
#endif

// --- The table ---------------------------------------------------------------
//
// The one list of levels, from the portable one up (`auto` takes the last one
// available). Every build names every level: one without a level's kernels
// refuses `--isa avx2` as missing rather than unknown, and its help texts are
// those of any other build.
//
// Adding a level (say arm64 NEON) is one file of kernels and one entry here:
// the file defines the kernels with the common signatures of KernelIsa.h
// (declared beside the others in Dispatch.h and Kernels128.h) and is compiled
// under its own macro (src/CMakeLists.txt); the entry is its kernel set above,
// under that macro, and its row below, with a new number in Isa.
constexpr IsaLevel kLevels[] = {
    {.isa = Isa::kScalar,
     .name = "scalar",
     .description = "portable",
     .runsOn = nullptr,
     .kernels = kScalarKernels},
    {.isa = Isa::kAvx2,
     .name = "avx2",
     .description = "AVX2 + FMA",
     .runsOn = [](const CpuFeatures& cpu) { return cpu.avx2 && cpu.fma; },
     .kernels = kAvx2Kernels},
    {.isa = Isa::kAvx512,
     .name = "avx512",
     .description = "AVX-512 IFMA",
     .runsOn = [](const CpuFeatures& cpu) { return cpu.avx512ifma; },
     .kernels = kAvx512Kernels},
};
static_assert(kLevels[0].isa == Isa::kScalar && kLevels[0].runsOn == nullptr,
              "the first level is the portable one, which every processor runs");

constexpr const char* kAutoName = "auto";

}  // namespace

bool IsaLevel::Available() const {
  return CompiledIn() && (runsOn == nullptr || runsOn(GetCpuFeatures()));
}

std::span<const IsaLevel> IsaLevels() {
  return kLevels;
}

const IsaLevel* FindIsaLevel(Isa isa) {
  for (const IsaLevel& level : kLevels) {
    if (level.isa == isa) return &level;
  }
  return nullptr;
}

const IsaLevel& RunningIsaLevel(Isa isa) {
  const IsaLevel* level = FindIsaLevel(isa == Isa::kAuto ? BestIsa() : isa);
  return level != nullptr && level->Available() ? *level : kLevels[0];
}

std::string IsaChoices() {
  std::string text = kAutoName;
  for (const IsaLevel& level : kLevels) text += std::string(", ") + level.name;
  return text;
}

const std::vector<Isa>& KernelIsas() {
  static const std::vector<Isa> levels = [] {
    std::vector<Isa> out;
    for (const IsaLevel& level : kLevels) out.push_back(level.isa);
    return out;
  }();
  return levels;
}

const char* IsaName(Isa isa) {
  if (isa == Isa::kAuto) return kAutoName;
  const IsaLevel* level = FindIsaLevel(isa);
  return level != nullptr ? level->name : "?";
}

bool ParseIsa(const std::string& text, Isa& isa) {
  if (text == kAutoName) {
    isa = Isa::kAuto;
    return true;
  }
  for (const IsaLevel& level : kLevels) {
    if (text == level.name) {
      isa = level.isa;
      return true;
    }
  }
  return false;
}

bool IsaAvailable(Isa isa) {
  if (isa == Isa::kAuto) return true;
  const IsaLevel* level = FindIsaLevel(isa);
  return level != nullptr && level->Available();
}

Isa BestIsa() {
  for (size_t i = std::size(kLevels); i-- > 0;) {
    if (kLevels[i].Available()) return kLevels[i].isa;
  }
  return Isa::kScalar;
}

}  // namespace zentrova
