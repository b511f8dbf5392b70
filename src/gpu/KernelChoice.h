// The choice among a device's arithmetics: each covers the p below its
// bound, and the fastest one that covers a p sieves it. Speeds come from a
// short calibration on the device, kept per device and driver in the user's
// cache folder so that later runs start at once; a user may force one
// arithmetic by name. Toolkit-free: the OpenCL backend hands in the timing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "math/ModArith.h"

namespace zentrova {

namespace config {
// The walk steps per second that a calibration can truly measure, with room
// on both sides: PoCL on two cores gives about 1e8, a data-centre card about
// 1e12. A cached rate outside the range (inf, nan, 1e+300), or a line whose
// every rate is 0 (no kernel runs), is taken as damage and measured again.
constexpr double kMinPlausibleStepsPerSecond = 1e3;
constexpr double kMaxPlausibleStepsPerSecond = 1e15;
}  // namespace config

struct GpuArithmetic {
  std::string name;   // as --gpu-kernel takes it
  UInt128 bound = 0;  // exact for every odd p below it
  std::string what;   // one line for the log and --help
};

// Steps of the wide walk per second, by arithmetic name.
struct KernelRate {
  std::string name;
  double stepsPerSecond = 0;
  // It gave a wrong known answer on the device (its rate is then 0): the
  // cache line says "name=failed", and the arithmetic is not used there.
  bool failed = false;
};

// Which arithmetic sieves which p: consecutive ranges [from, to) in
// increasing order, covering [0, the last bound).
struct KernelPlan {
  struct Range {
    UInt128 from = 0, to = 0;
    int arithmetic = 0;  // index into the device's list
  };
  std::vector<Range> ranges;
  // The range's arithmetic for p, or -1 above every range.
  int For(UInt128 p) const;
  // The end of the ranges: the device takes every p below it.
  UInt128 Limit() const { return ranges.empty() ? 0 : ranges.back().to; }
};

// The plan for p in [pMin, pMax]: each arithmetic's reach split where a
// bound lies, each piece given to the fastest arithmetic (by rates) that
// covers it. With `forced`, that arithmetic alone from 0 to its bound.
// Fills `error` and returns nothing when the forced name is unknown, or its
// bound is not above pMin.
std::optional<KernelPlan> PlanKernels(const std::vector<GpuArithmetic>& arithmetics,
                                      const std::vector<KernelRate>& rates,
                                      const std::string& forced, UInt128 pMin,
                                      std::string& error);

// The rates of the arithmetics for a device: from the cache file when it
// holds a line for `key` (device, driver and kernel source) that names every
// arithmetic with a plausible rate (0 for one that cannot run there, not all
// of them 0) or as failed, else measured by measure(i) for each arithmetic i
// (0 when it cannot run there) and written to the cache. `fromCache` tells
// which. With `check`, each arithmetic is first checked (check(i): its known
// answers are right) and one that fails is marked failed and not timed. An
// unwritable cache only costs the next run a calibration; cacheProblem, when
// given, receives a line saying so (empty when the cache was read or written).
std::vector<KernelRate> CalibratedRates(const std::vector<GpuArithmetic>& arithmetics,
                                        const std::string& cacheFile, const std::string& key,
                                        const std::function<double(int)>& measure,
                                        bool& fromCache, std::string* cacheProblem = nullptr,
                                        const std::function<bool(int)>& check = {});

// The plan of PlanKernels (not forced) with each arithmetic it uses checked
// first (check(i), once each): one that fails is marked failed in `rates`
// and the plan made again without it. Nothing, with `error`, when no
// arithmetic is left.
std::optional<KernelPlan> PlanCheckedKernels(const std::vector<GpuArithmetic>& arithmetics,
                                             std::vector<KernelRate>& rates, UInt128 pMin,
                                             const std::function<bool(int)>& check,
                                             std::string& error);

// Marks `name` failed in the cache line of `key`, so that later runs on the
// device leave it out without checking it again (nothing when there is no
// such line). Returns a line saying so when the cache cannot be written.
std::string RememberFailedKernel(const std::string& cacheFile, const std::string& key,
                                 const std::string& name);

// $XDG_CACHE_HOME/zentrova/gpu-kernels, or ~/.cache/zentrova/gpu-kernels;
// empty when neither is known.
std::string GpuKernelCacheFile();

// The log line of a plan: each range's arithmetic with its measured rate.
std::string DescribePlan(const std::vector<GpuArithmetic>& arithmetics,
                         const std::vector<KernelRate>& rates, const KernelPlan& plan,
                         bool fromCache);

}  // namespace zentrova
