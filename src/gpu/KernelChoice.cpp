#include "gpu/KernelChoice.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "files/AtomicTextFile.h"
#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "platform/Files.h"

namespace zentrova {

namespace {

double RateOf(const std::vector<KernelRate>& rates, const std::string& name) {
  for (const KernelRate& r : rates) {
    if (r.name == name) return r.stepsPerSecond;
  }
  return 0;
}

std::string CleanKey(std::string key) {
  std::replace_if(key.begin(), key.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; },
                  ' ');
  return key;
}

// A rate a calibration could have measured: 0 (the arithmetic cannot run)
// or a finite number of steps per second within the plausible range.
bool PlausibleRate(double rate) {
  return rate == 0 || (std::isfinite(rate) && rate >= config::kMinPlausibleStepsPerSecond &&
                       rate <= config::kMaxPlausibleStepsPerSecond);
}

// Rates worth keeping: each plausible, and some arithmetic running or
// known to fail (a device all of whose arithmetics failed stays so).
bool PlausibleRates(const std::vector<KernelRate>& rates) {
  return std::all_of(rates.begin(), rates.end(),
                     [](const KernelRate& r) { return PlausibleRate(r.stepsPerSecond); }) &&
         std::any_of(rates.begin(), rates.end(),
                     [](const KernelRate& r) { return r.stepsPerSecond > 0 || r.failed; });
}

// The word of a cache line for an arithmetic that gave a wrong answer.
constexpr const char* kFailedWord = "failed";

// The fields of a cache line after its key: name=rate or name=failed.
std::string RatesText(const std::vector<KernelRate>& rates) {
  std::string text;
  for (const KernelRate& r : rates) {
    text += (text.empty() ? "" : " ") + r.name + "=";
    text += r.failed ? std::string(kFailedWord) : StrFormat("%.6g", r.stepsPerSecond);
  }
  return text;
}

// The cache with the line of `clean` (a key) replaced by `line`; a line
// saying why when it cannot be written, else empty.
std::string WriteCacheLine(const std::string& cacheFile, const std::vector<std::string>& lines,
                           const std::string& clean, const std::string& line) {
  const auto unwritable = [&](int error) {
    return StrFormat("The GPU kernel cache %s cannot be written (%s): the next run on "
                     "this device calibrates again.",
                     cacheFile.c_str(), std::strerror(error != 0 ? error : EIO));
  };
  std::error_code ec;
  std::filesystem::create_directories(platform::FsPath(cacheFile).parent_path(), ec);
  AtomicTextFile out(cacheFile);
  if (!out.Open()) return unwritable(ec ? ec.value() : errno);
  for (const std::string& old : lines) {
    if (old.compare(0, clean.size() + 1, clean + "\t") != 0) {
      std::fprintf(out.GetStream(), "%s\n", old.c_str());
    }
  }
  std::fprintf(out.GetStream(), "%s\n", line.c_str());
  if (!out.Commit()) return unwritable(errno);
  return {};
}

// The rates of the cache line of `clean` (a key), when it names every
// arithmetic, each with a plausible rate or as failed; else nothing.
std::optional<std::vector<KernelRate>> CachedRates(const std::vector<GpuArithmetic>& arithmetics,
                                                   const std::vector<std::string>& lines,
                                                   const std::string& clean) {
  for (const std::string& line : lines) {
    if (line.size() <= clean.size() || line.compare(0, clean.size(), clean) != 0 ||
        line[clean.size()] != '\t') {
      continue;
    }
    // key \t name=rate name=failed ...; every arithmetic of the device
    // named. A field that does not read as either spoils the line: measured
    // again. (A line of rates only, as older runs wrote, reads as it did.)
    std::vector<KernelRate> rates;
    bool readable = true;
    std::istringstream fields(line.substr(clean.size() + 1));
    for (std::string field; fields >> field;) {
      const size_t eq = field.find('=');
      if (eq == std::string::npos) continue;
      if (field.compare(eq + 1, std::string::npos, kFailedWord) == 0) {
        rates.push_back({field.substr(0, eq), 0, true});
        continue;
      }
      char* end = nullptr;
      const double rate = std::strtod(field.c_str() + eq + 1, &end);
      if (end == field.c_str() + eq + 1 || *end != '\0') readable = false;
      rates.push_back({field.substr(0, eq), rate});
    }
    const bool complete = readable && PlausibleRates(rates) &&
                          std::all_of(arithmetics.begin(), arithmetics.end(),
                                      [&](const GpuArithmetic& a) {
                                        return std::any_of(rates.begin(), rates.end(),
                                                           [&](const KernelRate& r) {
                                                             return r.name == a.name;
                                                           });
                                      });
    if (complete) return rates;
  }
  return std::nullopt;
}

std::vector<std::string> ReadLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(platform::FsPath(file));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

int KernelPlan::For(UInt128 p) const {
  for (const Range& r : ranges) {
    if (p >= r.from && p < r.to) return r.arithmetic;
  }
  return -1;
}

std::optional<KernelPlan> PlanKernels(const std::vector<GpuArithmetic>& arithmetics,
                                      const std::vector<KernelRate>& rates,
                                      const std::string& forced, UInt128 pMin,
                                      std::string& error) {
  KernelPlan plan;
  if (!forced.empty()) {
    std::string names;
    for (size_t i = 0; i < arithmetics.size(); ++i) {
      names += (i ? ", " : "") + arithmetics[i].name;
      if (arithmetics[i].name != forced) continue;
      if (arithmetics[i].bound <= pMin) {
        error = StrFormat("The GPU kernel %s takes p below %s only; this job starts at p = %s.",
                          forced.c_str(), PBoundText(arithmetics[i].bound).c_str(),
                          PToString(pMin).c_str());
        return std::nullopt;
      }
      plan.ranges.push_back({0, arithmetics[i].bound, static_cast<int>(i)});
      return plan;
    }
    error = StrFormat("There is no GPU kernel '%s' on this device (it has %s).", forced.c_str(),
                      names.c_str());
    return std::nullopt;
  }
  std::set<UInt128> bounds;
  for (const GpuArithmetic& a : arithmetics) {
    if (RateOf(rates, a.name) > 0) bounds.insert(a.bound);
  }
  UInt128 from = 0;
  for (const UInt128 to : bounds) {
    int best = -1;
    for (size_t i = 0; i < arithmetics.size(); ++i) {
      const double rate = RateOf(rates, arithmetics[i].name);
      if (arithmetics[i].bound < to || rate <= 0) continue;
      if (best < 0 || rate > RateOf(rates, arithmetics[static_cast<size_t>(best)].name)) {
        best = static_cast<int>(i);
      }
    }
    if (!plan.ranges.empty() && plan.ranges.back().arithmetic == best) {
      plan.ranges.back().to = to;
    } else {
      plan.ranges.push_back({from, to, best});
    }
    from = to;
  }
  if (plan.ranges.empty()) {
    error = "No GPU kernel runs on this device.";
    return std::nullopt;
  }
  return plan;
}

std::vector<KernelRate> CalibratedRates(const std::vector<GpuArithmetic>& arithmetics,
                                        const std::string& cacheFile, const std::string& key,
                                        const std::function<double(int)>& measure,
                                        bool& fromCache, std::string* cacheProblem,
                                        const std::function<bool(int)>& check) {
  if (cacheProblem != nullptr) cacheProblem->clear();
  const std::string clean = CleanKey(key);
  std::vector<std::string> lines = cacheFile.empty() ? std::vector<std::string>{}
                                                     : ReadLines(cacheFile);
  if (std::optional<std::vector<KernelRate>> cached = CachedRates(arithmetics, lines, clean)) {
    fromCache = true;
    return *cached;
  }
  fromCache = false;
  std::vector<KernelRate> rates;
  for (size_t i = 0; i < arithmetics.size(); ++i) {
    const int index = static_cast<int>(i);
    if (check && !check(index)) {
      rates.push_back({arithmetics[i].name, 0, true});
    } else {
      rates.push_back({arithmetics[i].name, std::max(0.0, measure(index))});
    }
  }
  // A measurement that is no rate (a timer's fault) is used this once and
  // not kept.
  if (cacheFile.empty() || !PlausibleRates(rates)) return rates;
  std::string problem = WriteCacheLine(cacheFile, lines, clean, clean + "\t" + RatesText(rates));
  if (cacheProblem != nullptr) *cacheProblem = std::move(problem);
  return rates;
}

std::optional<KernelPlan> PlanCheckedKernels(const std::vector<GpuArithmetic>& arithmetics,
                                             std::vector<KernelRate>& rates, UInt128 pMin,
                                             const std::function<bool(int)>& check,
                                             std::string& error) {
  std::vector<bool> checked(arithmetics.size(), false);
  for (;;) {
    std::optional<KernelPlan> plan = PlanKernels(arithmetics, rates, "", pMin, error);
    if (!plan) return plan;
    bool right = true;
    for (const KernelPlan::Range& r : plan->ranges) {
      const auto i = static_cast<size_t>(r.arithmetic);
      if (checked[i]) continue;
      checked[i] = true;
      if (check(r.arithmetic)) continue;
      right = false;
      for (KernelRate& rate : rates) {
        if (rate.name == arithmetics[i].name) rate = {rate.name, 0, true};
      }
    }
    if (right) return plan;
  }
}

std::string RememberFailedKernel(const std::string& cacheFile, const std::string& key,
                                 const std::string& name) {
  if (cacheFile.empty()) return {};
  const std::string clean = CleanKey(key);
  const std::vector<std::string> lines = ReadLines(cacheFile);
  for (const std::string& line : lines) {
    if (line.compare(0, clean.size() + 1, clean + "\t") != 0) continue;
    // The other fields stay as they were written.
    std::string text = clean + "\t";
    std::istringstream fields(line.substr(clean.size() + 1));
    for (std::string field; fields >> field;) {
      if (text.back() != '\t') text += ' ';
      const bool named = field.size() > name.size() && field.compare(0, name.size(), name) == 0 &&
                         field[name.size()] == '=';
      text += named ? name + "=" + kFailedWord : field;
    }
    return WriteCacheLine(cacheFile, lines, clean, text);
  }
  return {};
}

std::string GpuKernelCacheFile() {
#ifdef _WIN32
  // (The one system whose cache folder is named otherwise.)
  if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
    return std::string(local) + "\\zentrova\\gpu-kernels";
  }
#endif
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg == '/') {
    return std::string(xdg) + "/zentrova/gpu-kernels";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return std::string(home) + "/.cache/zentrova/gpu-kernels";
  }
  return {};
}

std::string DescribePlan(const std::vector<GpuArithmetic>& arithmetics,
                         const std::vector<KernelRate>& rates, const KernelPlan& plan,
                         bool fromCache) {
  std::string text = "GPU kernels:";
  for (size_t i = 0; i < plan.ranges.size(); ++i) {
    const KernelPlan::Range& r = plan.ranges[i];
    const GpuArithmetic& a = arithmetics[static_cast<size_t>(r.arithmetic)];
    const double rate = RateOf(rates, a.name);
    text += StrFormat("%s %s for p below %s", i ? ";" : "", a.name.c_str(),
                      PBoundText(r.to).c_str());
    if (rate > 0) text += StrFormat(" (%.3g steps/s)", rate);
  }
  if (rates.empty()) return text + ", as forced.";
  return text + (fromCache ? ", as calibrated before on this device and driver."
                           : ", as calibrated now.");
}

}  // namespace zentrova
