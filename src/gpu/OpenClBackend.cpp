#define CL_HPP_TARGET_OPENCL_VERSION 120
#define CL_HPP_MINIMUM_OPENCL_VERSION 120
#define CL_HPP_ENABLE_EXCEPTIONS
#include "gpu/OpenClBackend.h"

#include <CL/opencl.hpp>
#include <algorithm>
#include <functional>
#include <string>

#include "files/StrFormat.h"
#include "gpu/ChainCheck.h"
#include "gpu/Devices.h"
#include "gpu/KnownAnswers.h"
#include "math/Montgomery64.h"

namespace zentrova {

// The kernels' sources, embedded at build time (gpu/kernels/*.cl).
extern const char* const kWalksKernelSource;
extern const char* const kWalkDefaultsSource;
extern const char* const kArithMont64Source;
extern const char* const kArithMont32x2Source;
extern const char* const kArithMont32x3Source;
extern const char* const kArithFp64Source;

namespace {

struct ArithmeticSource {
  std::string source;
  int rBits = 0;  // Montgomery's R = 2^rBits; 0: plain residues
  bool needsFp64 = false;
  bool checked = true;  // its kernels check their results (see ScopedExtraArithmetic)
};

constexpr UInt128 Pow2(int e) {
  return static_cast<UInt128>(1) << e;
}

// The arithmetics in the order of the kernel files, then any a test added.
std::vector<GpuArithmetic>& Arithmetics() {
  static std::vector<GpuArithmetic> all = {
      {"mont64", Pow2(62), "Montgomery on 64-bit words (mul_hi on ulong)"},
      {"mont32x2", Pow2(64), "Montgomery in two 32-bit limbs"},
      {"mont32x3", Pow2(96), "Montgomery in three 32-bit limbs"},
      {"fp64", Pow2(50), "entirely in double precision (data-centre cards)"},
  };
  return all;
}

// In the order of Arithmetics().
std::vector<ArithmeticSource>& Sources() {
  static std::vector<ArithmeticSource> all = {
      {kArithMont64Source, 64, false},
      {kArithMont32x2Source, 64, false},
      {kArithMont32x3Source, 96, false},
      {kArithFp64Source, 0, true},
  };
  return all;
}

const ArithmeticSource& SourceOf(int arithmetic) {
  return Sources()[static_cast<size_t>(arithmetic)];
}

}  // namespace

const std::vector<GpuArithmetic>& GpuArithmetics() {
  return Arithmetics();
}

std::string GpuArithmeticSource(const std::string& name) {
  for (size_t i = 0; i < Arithmetics().size(); ++i) {
    if (Arithmetics()[i].name == name) return Sources()[i].source;
  }
  return {};
}

ScopedExtraArithmetic::ScopedExtraArithmetic(GpuArithmetic arithmetic, std::string source,
                                             int rBits, bool needsFp64, bool checked) {
  Arithmetics().push_back(std::move(arithmetic));
  Sources().push_back({std::move(source), rBits, needsFp64, checked});
}

ScopedExtraArithmetic::~ScopedExtraArithmetic() {
  Arithmetics().pop_back();
  Sources().pop_back();
}

namespace {

// Hits of one launch beyond this count are counted but not stored; the
// launch is then repeated with room for all of them.
constexpr uint32_t kFirstHitCapacity = 1 << 16;
// The wide walk's chunks that failed their check, stored by p index beyond
// the count (the batch is computed again whatever the count).
constexpr uint32_t kFailedCapacity = 64;

std::vector<std::pair<cl::Platform, cl::Device>> AllDevices() {
  std::vector<std::pair<cl::Platform, cl::Device>> out;
  std::vector<cl::Platform> platforms;
  try {
    cl::Platform::get(&platforms);
  } catch (const cl::Error&) {
    return out;  // no driver: no platform
  }
  for (const cl::Platform& platform : platforms) {
    std::vector<cl::Device> devices;
    try {
      platform.getDevices(CL_DEVICE_TYPE_ALL, &devices);
    } catch (const cl::Error&) {
      continue;
    }
    for (const cl::Device& d : devices) out.emplace_back(platform, d);
  }
  return out;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
  return s;
}

DeviceInfo Describe(int index, const cl::Platform& platform, const cl::Device& device) {
  DeviceInfo info;
  info.backend = kOpenClBackend;
  info.backendTitle = "OpenCL";
  info.index = index;
  info.platform = Trim(platform.getInfo<CL_PLATFORM_NAME>());
  info.name = Trim(device.getInfo<CL_DEVICE_NAME>());
  info.gpu = (device.getInfo<CL_DEVICE_TYPE>() & CL_DEVICE_TYPE_GPU) != 0;
  return info;
}

std::string ErrorText(const cl::Error& e) {
  return StrFormat("%s failed with OpenCL error %d", e.what(), e.err());
}

}  // namespace

std::vector<DeviceInfo> ListOpenClDevices() {
  std::vector<DeviceInfo> out;
  int index = 0;
  for (const auto& [platform, device] : AllDevices()) {
    out.push_back(Describe(index++, platform, device));
  }
  return out;
}

// The kernels of one arithmetic, built on first use.
struct Program {
  bool built = false;
  cl::Program program;
  cl::Kernel wideA0, wideWalk, wideCheck, normalChain;
};

struct OpenClBackend::Impl {
  cl::Context context;
  cl::Device device;
  cl::CommandQueue queue;
  std::vector<Program> programs;
  std::vector<bool> runs;  // the arithmetic can run on this device
  std::string deviceName;
  uint64_t wantedItems = 1 << 16;  // work items that fill the device

  Program& Built(int arithmetic);
};

namespace {

std::string ErrorLine(const DeviceInfo& info, const cl::Error& e) {
  return "OpenCL device " + info.name + ": " + ErrorText(e) + ".";
}

// R mod p and R^2 mod p for each p, the Montgomery constants the kernels
// cannot form without a wide division (zero for plain residues).
std::vector<cl_ulong2> MontgomeryR2(const std::vector<UInt128>& p, size_t from, size_t to,
                                    int rBits) {
  std::vector<cl_ulong2> r2(to - from);
  for (size_t i = from; i < to; ++i) {
    cl_ulong2& out = r2[i - from];
    out.s[0] = out.s[1] = 0;
    if (rBits == 0) continue;
    const UInt128 r = Pow2(rBits) % p[i];
    const UInt128 rr = MulModExact128(r, r, p[i]);
    out.s[0] = static_cast<cl_ulong>(rr);
    out.s[1] = static_cast<cl_ulong>(rr >> 64);
  }
  return r2;
}

std::vector<cl_ulong2> Words(const std::vector<UInt128>& v, size_t from, size_t to) {
  std::vector<cl_ulong2> out(to - from);
  for (size_t i = from; i < to; ++i) {
    out[i - from].s[0] = static_cast<cl_ulong>(v[i]);
    out[i - from].s[1] = static_cast<cl_ulong>(v[i] >> 64);
  }
  return out;
}

// The identity of the device and driver the calibration was made on, and
// of the kernels' source: a change of any of them calls for a new one.
std::string CalibrationKey(const cl::Platform& platform, const cl::Device& device) {
  std::string sources = std::string(kWalksKernelSource) + kWalkDefaultsSource;
  for (const ArithmeticSource& a : Sources()) sources += a.source;
  return StrFormat(
      "%s | %s | %s | %s | kernels %016zx", Trim(device.getInfo<CL_DEVICE_NAME>()).c_str(),
      Trim(platform.getInfo<CL_PLATFORM_NAME>()).c_str(),
      Trim(device.getInfo<CL_DRIVER_VERSION>()).c_str(),
      Trim(device.getInfo<CL_DEVICE_VERSION>()).c_str(), std::hash<std::string>{}(sources));
}

}  // namespace

Program& OpenClBackend::Impl::Built(int arithmetic) {
  Program& prog = programs[static_cast<size_t>(arithmetic)];
  if (prog.built) return prog;
  const ArithmeticSource& a = SourceOf(arithmetic);
  std::string source = a.needsFp64 ? "#pragma OPENCL EXTENSION cl_khr_fp64 : enable\n" : "";
  source += "#define ZK_FN inline\n";
  source += a.source;
  source += kWalkDefaultsSource;
  source += kWalksKernelSource;
  prog.program = cl::Program(context, source);
  try {
    prog.program.build({device}, "-cl-std=CL1.2");
  } catch (const cl::BuildError& e) {
    std::string log;
    for (const auto& entry : e.getBuildLog()) log += entry.second;
    throw DeviceError("The GPU kernel " + GpuArithmetics()[static_cast<size_t>(arithmetic)].name +
                      " did not build for " + deviceName + ": " + log.substr(0, 2000));
  }
  prog.wideA0 = cl::Kernel(prog.program, "wide_a0");
  prog.wideWalk = cl::Kernel(prog.program, "wide_walk");
  prog.wideCheck = cl::Kernel(prog.program, "wide_check");
  prog.normalChain = cl::Kernel(prog.program, "normal_chain");
  prog.built = true;
  return prog;
}

OpenClBackend::OpenClBackend(int index, const DeviceOptions& options)
    : m_impl(std::make_unique<Impl>()) {
  const auto all = AllDevices();
  if (index < 0 || index >= static_cast<int>(all.size())) {
    throw DeviceError(StrFormat("There is no OpenCL device %d (%d found; see bench --device list).",
                                index, static_cast<int>(all.size())));
  }
  const auto& [platform, device] = all[static_cast<size_t>(index)];
  m_info = Describe(index, platform, device);
  Impl& d = *m_impl;
  const std::vector<GpuArithmetic>& arithmetics = GpuArithmetics();
  std::string key;
  try {
    d.device = device;
    d.deviceName = m_info.name;
    d.context = cl::Context(d.device);
    d.queue = cl::CommandQueue(d.context, d.device);
    d.programs.resize(arithmetics.size());
    const bool fp64 = d.device.getInfo<CL_DEVICE_DOUBLE_FP_CONFIG>() != 0;
    for (const ArithmeticSource& a : Sources()) d.runs.push_back(fp64 || !a.needsFp64);
    // Enough work items for every compute unit to keep several groups of
    // threads resident (a data-centre card holds about 2048 threads per unit).
    d.wantedItems = std::max<uint64_t>(
        d.wantedItems, uint64_t{4096} * d.device.getInfo<CL_DEVICE_MAX_COMPUTE_UNITS>());
    key = CalibrationKey(platform, device);
  } catch (const cl::Error& e) {
    throw DeviceError(ErrorLine(m_info, e));
  }
  // The arithmetics that run on this device.
  std::vector<GpuArithmetic> usable;
  std::vector<int> usableIndex;
  for (size_t i = 0; i < arithmetics.size(); ++i) {
    if (!d.runs[i] && arithmetics[i].name == options.kernel) {
      throw DeviceError("The GPU kernel " + options.kernel + " needs double precision, which " +
                        m_info.name + " lacks.");
    }
    if (d.runs[i]) {
      usable.push_back(arithmetics[i]);
      usableIndex.push_back(static_cast<int>(i));
    }
  }
  // Each arithmetic passes its known-answer test on the device before it
  // is timed or used (once each); one that fails is left out, said in the
  // log, and remembered in the cache for this device and driver.
  std::vector<std::string> failures;
  std::vector<std::optional<bool>> right(usable.size());
  const auto check = [&](int i) {
    std::optional<bool>& r = right[static_cast<size_t>(i)];
    if (!r) {
      const std::string wrong = KnownAnswerFailure(usableIndex[static_cast<size_t>(i)]);
      r = wrong.empty();
      if (!wrong.empty()) {
        failures.push_back(StrFormat(
            "The GPU kernel %s failed its known-answer test on %s: %s; it is not used.",
            usable[static_cast<size_t>(i)].name.c_str(), m_info.name.c_str(), wrong.c_str()));
      }
    }
    return *r;
  };
  std::vector<KernelRate> rates;
  bool fromCache = false;
  std::string cacheProblem, error;
  std::optional<KernelPlan> plan;
  if (options.kernel.empty()) {
    // Every arithmetic is timed, whatever the job's p, so that the cache
    // serves any later job on this device.
    const std::string cacheFile = GpuKernelCacheFile();
    rates = CalibratedRates(
        usable, cacheFile, key,
        [&](int i) { return MeasureWalk(usableIndex[static_cast<size_t>(i)], 0.03); }, fromCache,
        &cacheProblem, check);
    for (const KernelRate& r : rates) {
      if (r.failed && fromCache) {
        failures.push_back(
            StrFormat("The GPU kernel %s failed its known-answer test on %s "
                      "with this driver before: it is not used.",
                      r.name.c_str(), m_info.name.c_str()));
      }
    }
    const std::vector<KernelRate> before = rates;
    plan = PlanCheckedKernels(usable, rates, options.pMin, check, error);
    for (size_t i = 0; i < rates.size(); ++i) {
      if (rates[i].failed && !before[i].failed) {
        if (std::string problem = RememberFailedKernel(cacheFile, key, rates[i].name);
            !problem.empty()) {
          cacheProblem = problem;
        }
      }
    }
  } else {
    plan = PlanKernels(usable, rates, options.kernel, options.pMin, error);
    if (plan && !check(plan->ranges.front().arithmetic)) throw KnownAnswerError(failures.back());
  }
  if (!plan) {
    for (auto it = failures.rbegin(); it != failures.rend(); ++it) error = *it + "  " + error;
    throw DeviceError(error);
  }
  m_plan = *plan;
  m_notes = failures;
  m_notes.push_back(DescribePlan(usable, rates, m_plan, fromCache));
  if (!cacheProblem.empty()) m_notes.push_back(cacheProblem);
  // The plan's indices into the device's full list.
  for (KernelPlan::Range& r : m_plan.ranges)
    r.arithmetic = usableIndex[static_cast<size_t>(r.arithmetic)];
  try {
    for (const KernelPlan::Range& r : m_plan.ranges) d.Built(r.arithmetic);
  } catch (const cl::Error& e) {
    throw DeviceError(ErrorLine(m_info, e));
  }
}

OpenClBackend::~OpenClBackend() = default;

std::string OpenClBackend::KnownAnswerFailure(int arithmetic) {
  // Through the device's own launches, with this arithmetic alone.
  const KernelPlan plan = m_plan;
  const auto busy = m_busy;
  const UInt128 bound = GpuArithmetics()[static_cast<size_t>(arithmetic)].bound;
  m_plan.ranges = {{0, bound, arithmetic}};
  std::string wrong;
  try {
    wrong = FirstWrongKnownAnswer(*this, bound);
  } catch (const DeviceError& e) {
    wrong = e.what();
  }
  m_plan = plan;
  m_busy = busy;
  return wrong;
}

namespace {

template <typename T>
cl::Buffer Input(cl::Context& context, const std::vector<T>& v) {
  return cl::Buffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                    std::max<size_t>(1, v.size()) * sizeof(T), const_cast<T*>(v.data()));
}

// Runs the kernel over `items` work items with its hit list at argument
// hitArg, the hit counter and the list's capacity after it; a launch whose
// hits overflowed the list is repeated with room for all of them. The
// kernel's checks (check.size() words, zero to start) are at argument
// checkArg, read back into check; `then` enqueues what must follow each
// launch on its checks, and `meanwhile` runs on the host while the first
// launch computes.
template <typename Hit>
std::vector<Hit> LaunchWithHits(cl::Context& context, cl::CommandQueue& queue, cl::Kernel& kernel,
                                cl_uint hitArg, size_t items, cl_uint checkArg,
                                std::vector<cl_uint>& check,
                                const std::function<void(const cl::Buffer&)>& then,
                                const std::function<void()>& meanwhile) {
  cl_uint capacity = kFirstHitCapacity;
  for (bool first = true;; first = false) {
    std::fill(check.begin(), check.end(), 0);
    cl::Buffer checkBuf(context, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR,
                        check.size() * sizeof(cl_uint), check.data());
    kernel.setArg(checkArg, checkBuf);
    cl::Buffer hitBuf(context, CL_MEM_READ_WRITE, capacity * sizeof(Hit));
    const cl_uint zero = 0;
    cl::Buffer countBuf(context, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, sizeof(cl_uint),
                        const_cast<cl_uint*>(&zero));
    kernel.setArg(hitArg, hitBuf);
    kernel.setArg(hitArg + 1, countBuf);
    kernel.setArg(hitArg + 2, capacity);
    queue.enqueueNDRangeKernel(kernel, cl::NullRange, cl::NDRange(items));
    if (then) then(checkBuf);
    queue.flush();
    if (first && meanwhile) meanwhile();
    cl_uint found = 0;
    queue.enqueueReadBuffer(countBuf, CL_TRUE, 0, sizeof found, &found);
    if (found > capacity) {
      capacity = found;
      continue;
    }
    std::vector<Hit> hits(found);
    if (found > 0) queue.enqueueReadBuffer(hitBuf, CL_TRUE, 0, found * sizeof(Hit), hits.data());
    queue.enqueueReadBuffer(checkBuf, CL_TRUE, 0, check.size() * sizeof(cl_uint), check.data());
    return hits;
  }
}

// Sets the kernel's arguments from the first on, in order.
template <typename... Args>
void SetArgs(cl::Kernel& kernel, const Args&... args) {
  cl_uint index = 0;
  (kernel.setArg(index++, args), ...);
}

// The wide walk's arguments but its hit list (9, 10, 11) and its list of
// failed checks (13, of 1 + kFailedCapacity words): the batch's buffers,
// the walk's end and its cut into chunks of `steps`, b Max, the chunks'
// first and last values (2 * count * chunks).
void SetWalkArgs(cl::Kernel& w, const cl::Buffer& p, const cl::Buffer& a0, const cl::Buffer& r2,
                 const cl::Buffer& kind, uint64_t walkEnd, uint64_t steps, uint64_t chunks,
                 cl_uint bMax, bool pairs, uint32_t count, const cl::Buffer& links) {
  SetArgs(w, p, a0, r2, kind, static_cast<cl_ulong>(walkEnd), static_cast<cl_ulong>(steps),
          static_cast<cl_uint>(chunks), bMax, pairs ? 1 : 0);
  w.setArg(12, static_cast<cl_uint>(count));
  w.setArg(14, kFailedCapacity);
  w.setArg(15, links);
}

// Splits the batch [0, p.size()) into runs of one arithmetic each, as the
// plan assigns them (p ascending): calls run(arithmetic, from, to).
template <typename Run>
void ForEachRun(const KernelPlan& plan, const std::vector<UInt128>& p, Run run) {
  size_t from = 0;
  while (from < p.size()) {
    const int arithmetic = plan.For(p[from]);
    if (arithmetic < 0) throw DeviceError("A p above the device's kernels reached the device.");
    size_t to = from + 1;
    while (to < p.size() && plan.For(p[to]) == arithmetic) ++to;
    run(arithmetic, from, to);
    from = to;
  }
}

void NoteMismatch(DeviceChecks& checks, int arithmetic, uint32_t index) {
  for (const DeviceChecks::Mismatch& m : checks.mismatches) {
    if (m.index == index) return;
  }
  checks.mismatches.push_back({index, GpuArithmetics()[static_cast<size_t>(arithmetic)].name});
}

// The failed walks of a run from p index `from` (the count, then p's index
// of each, as far as the list holds them).
void NoteWalkChecks(DeviceChecks& checks, int arithmetic, size_t from,
                    const std::vector<cl_uint>& failed) {
  const size_t stored = std::min<size_t>(failed[0], failed.size() - 1);
  for (size_t s = 0; s < stored; ++s) {
    NoteMismatch(checks, arithmetic, static_cast<uint32_t>(from + failed[1 + s]));
  }
}

// The chains' check values of a run from p index `from` against the host's
// for the cells of the sample.
void NoteChainChecks(DeviceChecks& checks, int arithmetic, size_t from, uint32_t groups,
                     const std::vector<uint64_t>& sample, const std::vector<uint32_t>& want,
                     const std::vector<cl_uint>& got) {
  checks.checks += static_cast<int64_t>(sample.size());
  for (size_t s = 0; s < sample.size(); ++s) {
    if (got[sample[s]] != want[s]) {
      NoteMismatch(checks, arithmetic, static_cast<uint32_t>(from + sample[s] / groups));
    }
  }
}

}  // namespace

void OpenClBackend::Wide(const std::vector<UInt128>& p, const std::vector<uint64_t>& k, int ln,
                         int64_t n, int32_t bMax, int tries, std::vector<uint8_t>& kind,
                         std::vector<UInt128>& a0, std::vector<WideHit>& hits) {
  hits.clear();
  kind.assign(p.size(), 0);
  a0.assign(p.size(), 0);
  m_checks = {};
  if (p.empty()) return;
  Impl& d = *m_impl;
  const auto start = std::chrono::steady_clock::now();
  try {
    ForEachRun(m_plan, p, [&](int arithmetic, size_t from, size_t to) {
      Program& prog = d.Built(arithmetic);
      const auto count = static_cast<uint32_t>(to - from);
      const std::vector<cl_ulong2> r2 = MontgomeryR2(p, from, to, SourceOf(arithmetic).rBits);
      const std::vector<cl_ulong> kRun(k.begin() + static_cast<std::ptrdiff_t>(from),
                                       k.begin() + static_cast<std::ptrdiff_t>(to));
      cl::Buffer pBuf = Input(d.context, Words(p, from, to)), kBuf = Input(d.context, kRun),
                 r2Buf = Input(d.context, r2);
      cl::Buffer a0Buf(d.context, CL_MEM_READ_WRITE, count * sizeof(cl_ulong2));
      cl::Buffer kindBuf(d.context, CL_MEM_READ_WRITE, count);
      cl::Kernel& a = prog.wideA0;
      SetArgs(a, pBuf, kBuf, r2Buf, ln, tries, a0Buf, kindBuf, count);
      d.queue.enqueueNDRangeKernel(a, cl::NullRange, cl::NDRange(count));

      // The walk in chunks, so that a batch of few p still fills the device.
      const bool pairs = n >= 32;
      const uint64_t walkEnd = pairs ? static_cast<uint64_t>(n) : 2 * static_cast<uint64_t>(n);
      const uint64_t values = walkEnd / 2;
      const uint64_t chunks = std::clamp<uint64_t>(d.wantedItems / count, 1, values);
      const uint64_t steps = (values + chunks - 1) / chunks;
      cl::Kernel& w = prog.wideWalk;
      cl::Buffer links(d.context, CL_MEM_READ_WRITE, 2 * count * chunks * sizeof(cl_ulong2));
      SetWalkArgs(w, pBuf, a0Buf, r2Buf, kindBuf, walkEnd, steps, chunks,
                  static_cast<cl_uint>(std::max(bMax, 0)), pairs, count, links);
      // Each chunk's end against the next one's start.
      cl::Kernel& wc = prog.wideCheck;
      auto check = [&](const cl::Buffer& failedBuf) {
        SetArgs(wc, kindBuf, static_cast<cl_ulong>(walkEnd), static_cast<cl_ulong>(steps),
                static_cast<cl_uint>(chunks), count, failedBuf, kFailedCapacity, links);
        d.queue.enqueueNDRangeKernel(wc, cl::NullRange, cl::NDRange(count * chunks));
      };
      std::vector<cl_uint> failed(1 + kFailedCapacity);
      const bool checked = SourceOf(arithmetic).checked;
      const auto raw = LaunchWithHits<cl_uint4>(
          d.context, d.queue, w, 9, count * chunks, 13, failed,
          checked ? std::function<void(const cl::Buffer&)>(check) : nullptr, nullptr);
      if (checked) NoteWalkChecks(m_checks, arithmetic, from, failed);
      for (const cl_uint4& h : raw) {
        hits.push_back(
            WideHit{static_cast<uint32_t>(h.s[0] + from), h.s[1] >> 1, (h.s[1] & 1) != 0, h.s[2]});
      }
      std::vector<cl_ulong2> a0Words(count);
      d.queue.enqueueReadBuffer(kindBuf, CL_TRUE, 0, count, kind.data() + from);
      d.queue.enqueueReadBuffer(a0Buf, CL_TRUE, 0, count * sizeof(cl_ulong2), a0Words.data());
      // Each chunk that starts below the walk's end walks and checks it.
      const auto walked = static_cast<int64_t>((values + steps - 1) / steps);
      for (uint32_t i = 0; i < count; ++i) {
        a0[from + i] = static_cast<UInt128>(a0Words[i].s[1]) << 64 | a0Words[i].s[0];
        if (checked && kind[from + i] == 2) m_checks.checks += walked;
      }
    });
  } catch (const cl::Error& e) {
    throw DeviceError(ErrorLine(m_info, e));
  }
  m_busy += std::chrono::steady_clock::now() - start;
}

void OpenClBackend::Normal(const std::vector<UInt128>& p, const std::vector<int32_t>& cand, int ln,
                           std::vector<NormalHit>& hits) {
  hits.clear();
  m_checks = {};
  const auto nCand = static_cast<uint32_t>(cand.size());
  if (p.empty() || nCand == 0) return;
  Impl& d = *m_impl;
  const auto start = std::chrono::steady_clock::now();
  try {
    cl::Buffer cBuf = Input(d.context, cand);
    ForEachRun(m_plan, p, [&](int arithmetic, size_t from, size_t to) {
      Program& prog = d.Built(arithmetic);
      const auto count = static_cast<uint32_t>(to - from);
      cl::Buffer pBuf = Input(d.context, Words(p, from, to)),
                 r2Buf = Input(d.context, MontgomeryR2(p, from, to, SourceOf(arithmetic).rBits));
      cl::Kernel& kn = prog.normalChain;
      SetArgs(kn, pBuf, r2Buf, cBuf, nCand, ln);
      kn.setArg(8, count);
      const uint32_t groups = ChainCheckGroups(nCand);
      std::vector<cl_uint> got(static_cast<size_t>(count) * groups);
      kn.setArg(10, groups);
      // The host's values of a sample of the check values, while the device
      // computes them all.
      const bool checked = SourceOf(arithmetic).checked;
      const std::vector<uint64_t> sample =
          checked ? ChainCheckSample(count, groups, m_checkRound++) : std::vector<uint64_t>{};
      std::vector<uint32_t> want(sample.size());
      const int rBits = SourceOf(arithmetic).rBits;
      const auto raw = LaunchWithHits<cl_uint2>(
          d.context, d.queue, kn, 5, static_cast<size_t>(count) * nCand, 9, got, nullptr, [&] {
            for (size_t s = 0; s < sample.size(); ++s) {
              want[s] = ChainCheckValue(p[from + sample[s] / groups], cand, ln, rBits,
                                        static_cast<uint32_t>(sample[s] % groups), groups);
            }
          });
      if (checked) NoteChainChecks(m_checks, arithmetic, from, groups, sample, want, got);
      for (const cl_uint2& h : raw) {
        hits.push_back(NormalHit{static_cast<uint32_t>(h.s[0] + from), h.s[1]});
      }
    });
  } catch (const cl::Error& e) {
    throw DeviceError(ErrorLine(m_info, e));
  }
  m_busy += std::chrono::steady_clock::now() - start;
}

double OpenClBackend::MeasureWalk(int arithmetic, double seconds) {
  Impl& d = *m_impl;
  if (arithmetic < 0 || arithmetic >= static_cast<int>(d.runs.size()) ||
      !d.runs[static_cast<size_t>(arithmetic)]) {
    return 0;
  }
  try {
    Program& prog = d.Built(arithmetic);
    // 256 odd p near 2^49 (below every arithmetic's bound), each with a
    // root planted as found, walked with b Max 0: no hits, only the steps.
    constexpr uint32_t kCount = 256;
    std::vector<UInt128> p(kCount), a0(kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
      p[i] = (Pow2(49) + 2 * i * 0x9e3779b97f4aULL % Pow2(48)) | 1;
      a0[i] = p[i] / 3;
    }
    const std::vector<uint8_t> kind(kCount, 2);
    cl::Buffer pBuf = Input(d.context, Words(p, 0, kCount)),
               a0Buf = Input(d.context, Words(a0, 0, kCount)),
               r2Buf = Input(d.context, MontgomeryR2(p, 0, kCount, SourceOf(arithmetic).rBits)),
               kindBuf = Input(d.context, kind);
    cl::Kernel& w = prog.wideWalk;
    cl::Buffer hitBuf(d.context, CL_MEM_READ_WRITE, sizeof(cl_uint4));
    cl::Buffer countBuf(d.context, CL_MEM_READ_WRITE, sizeof(cl_uint));
    cl::Buffer failedBuf(d.context, CL_MEM_READ_WRITE, (1 + kFailedCapacity) * sizeof(cl_uint));
    uint64_t chunks = 16, steps = 256;
    auto run = [&]() {
      cl::Buffer links(d.context, CL_MEM_READ_WRITE, 2 * kCount * chunks * sizeof(cl_ulong2));
      SetWalkArgs(w, pBuf, a0Buf, r2Buf, kindBuf, 1 + 2 * steps * chunks, steps, chunks, 0, true,
                  kCount, links);
      w.setArg(9, hitBuf);
      w.setArg(10, countBuf);
      w.setArg(11, cl_uint{0});
      w.setArg(13, failedBuf);
      const auto t0 = std::chrono::steady_clock::now();
      d.queue.enqueueNDRangeKernel(w, cl::NullRange, cl::NDRange(kCount * chunks));
      d.queue.finish();
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    run();  // the first launch may carry the driver's own set-up
    const auto begin = std::chrono::steady_clock::now();
    for (;;) {
      const double t = run();
      const double spent =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      if (t >= seconds || spent >= 8 * seconds) {
        return t > 0 ? static_cast<double>(kCount) * static_cast<double>(chunks * steps) / t : 0;
      }
      if (chunks < 4096) {
        chunks *= 4;
      } else {
        steps *= 4;
      }
    }
  } catch (const cl::Error&) {
    return 0;
  } catch (const DeviceError&) {
    return 0;
  }
}

}  // namespace zentrova
