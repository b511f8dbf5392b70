#define CL_HPP_TARGET_OPENCL_VERSION 120
#define CL_HPP_MINIMUM_OPENCL_VERSION 120
#define CL_HPP_ENABLE_EXCEPTIONS
#include "gpu/OpenClBackend.h"

#include <CL/opencl.hpp>
#include <algorithm>
#include <string>

#include "files/StrFormat.h"
#include "math/Montgomery64.h"

namespace zentrova {

// The kernels' source, embedded at build time (gpu/kernels/*.cl).
extern const char* const kSieveKernelSource;

namespace {

// Hits of one launch beyond this count are counted but not stored; the
// launch is then repeated with room for all of them.
constexpr uint32_t kFirstHitCapacity = 1 << 16;

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
  info.backend = "opencl";
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

struct OpenClBackend::Impl {
  cl::Context context;
  cl::Device device;
  cl::CommandQueue queue;
  cl::Program program;
  cl::Kernel wideA0, wideWalk, normalChain;
};

OpenClBackend::OpenClBackend(int index) : m_impl(std::make_unique<Impl>()) {
  const auto all = AllDevices();
  if (index < 0 || index >= static_cast<int>(all.size())) {
    throw DeviceError(StrFormat("There is no OpenCL device %d (%d found; see bench --device list).",
                                index, static_cast<int>(all.size())));
  }
  const int chosen = index;
  m_info = Describe(chosen, all[static_cast<size_t>(chosen)].first,
                    all[static_cast<size_t>(chosen)].second);
  Impl& d = *m_impl;
  try {
    d.device = all[static_cast<size_t>(chosen)].second;
    d.context = cl::Context(d.device);
    d.queue = cl::CommandQueue(d.context, d.device);
    d.program = cl::Program(d.context, std::string(kSieveKernelSource));
    try {
      d.program.build({d.device}, "-cl-std=CL1.2");
    } catch (const cl::BuildError& e) {
      std::string log;
      for (const auto& entry : e.getBuildLog()) log += entry.second;
      throw DeviceError("The kernels did not build for " + m_info.name + ": " + log.substr(0, 2000));
    }
    d.wideA0 = cl::Kernel(d.program, "wide_a0");
    d.wideWalk = cl::Kernel(d.program, "wide_walk");
    d.normalChain = cl::Kernel(d.program, "normal_chain");
  } catch (const cl::Error& e) {
    throw DeviceError("OpenCL device " + m_info.name + ": " + ErrorText(e) + ".");
  }
}

OpenClBackend::~OpenClBackend() = default;

namespace {

// R^2 mod p for each p, the Montgomery constant the kernels cannot form
// without 128-bit division.
std::vector<uint64_t> MontgomeryR2(const std::vector<uint64_t>& p) {
  std::vector<uint64_t> r2(p.size());
  for (size_t i = 0; i < p.size(); ++i) {
    const unsigned __int128 r = (static_cast<unsigned __int128>(1) << 64) % p[i];
    r2[i] = static_cast<uint64_t>((r * r) % p[i]);
  }
  return r2;
}

template <typename T>
cl::Buffer Input(cl::Context& context, const std::vector<T>& v) {
  return cl::Buffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                    std::max<size_t>(1, v.size()) * sizeof(T), const_cast<T*>(v.data()));
}

// Runs the kernel over `items` work items with its hit list at argument
// hitArg, the hit counter and the list's capacity after it; a launch whose
// hits overflowed the list is repeated with room for all of them.
template <typename Hit>
std::vector<Hit> LaunchWithHits(cl::Context& context, cl::CommandQueue& queue, cl::Kernel& kernel,
                                cl_uint hitArg, size_t items) {
  cl_uint capacity = kFirstHitCapacity;
  for (;;) {
    cl::Buffer hitBuf(context, CL_MEM_READ_WRITE, capacity * sizeof(Hit));
    const cl_uint zero = 0;
    cl::Buffer countBuf(context, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, sizeof(cl_uint),
                        const_cast<cl_uint*>(&zero));
    kernel.setArg(hitArg, hitBuf);
    kernel.setArg(hitArg + 1, countBuf);
    kernel.setArg(hitArg + 2, capacity);
    queue.enqueueNDRangeKernel(kernel, cl::NullRange, cl::NDRange(items));
    cl_uint found = 0;
    queue.enqueueReadBuffer(countBuf, CL_TRUE, 0, sizeof found, &found);
    if (found > capacity) {
      capacity = found;
      continue;
    }
    std::vector<Hit> hits(found);
    if (found > 0) queue.enqueueReadBuffer(hitBuf, CL_TRUE, 0, found * sizeof(Hit), hits.data());
    return hits;
  }
}

}  // namespace

void OpenClBackend::Wide(const std::vector<uint64_t>& p, const std::vector<uint64_t>& k, int ln,
                         int64_t n, int32_t bMax, int tries, std::vector<uint8_t>& kind,
                         std::vector<uint64_t>& a0, std::vector<WideHit>& hits) {
  hits.clear();
  const auto count = static_cast<uint32_t>(p.size());
  kind.assign(count, 0);
  a0.assign(count, 0);
  if (count == 0) return;
  Impl& d = *m_impl;
  const auto start = std::chrono::steady_clock::now();
  try {
    const std::vector<uint64_t> r2 = MontgomeryR2(p);
    cl::Buffer pBuf = Input(d.context, p), kBuf = Input(d.context, k), r2Buf = Input(d.context, r2);
    cl::Buffer a0Buf(d.context, CL_MEM_READ_WRITE, count * sizeof(uint64_t));
    cl::Buffer kindBuf(d.context, CL_MEM_READ_WRITE, count);
    d.wideA0.setArg(0, pBuf);
    d.wideA0.setArg(1, kBuf);
    d.wideA0.setArg(2, r2Buf);
    d.wideA0.setArg(3, ln);
    d.wideA0.setArg(4, tries);
    d.wideA0.setArg(5, a0Buf);
    d.wideA0.setArg(6, kindBuf);
    d.wideA0.setArg(7, count);
    d.queue.enqueueNDRangeKernel(d.wideA0, cl::NullRange, cl::NDRange(count));

    // The walk in chunks, so that a batch of few p still fills the device.
    const bool pairs = n >= 32;
    const uint64_t walkEnd = pairs ? static_cast<uint64_t>(n) : 2 * static_cast<uint64_t>(n);
    const uint64_t values = walkEnd / 2;
    const uint64_t wantedItems = 1 << 16;
    const uint64_t chunks = std::clamp<uint64_t>(wantedItems / count, 1, values);
    const uint64_t steps = (values + chunks - 1) / chunks;
    cl::Kernel& w = d.wideWalk;
    w.setArg(0, pBuf);
    w.setArg(1, a0Buf);
    w.setArg(2, r2Buf);
    w.setArg(3, kindBuf);
    w.setArg(4, static_cast<cl_ulong>(walkEnd));
    w.setArg(5, static_cast<cl_ulong>(steps));
    w.setArg(6, static_cast<cl_uint>(chunks));
    w.setArg(7, static_cast<cl_ulong>(std::max(bMax, 0)));
    w.setArg(8, pairs ? 1 : 0);
    w.setArg(12, count);
    const auto raw = LaunchWithHits<cl_uint4>(d.context, d.queue, w, 9, count * chunks);
    hits.reserve(raw.size());
    for (const cl_uint4& h : raw) {
      hits.push_back(WideHit{h.s[0], h.s[1] >> 1, (h.s[1] & 1) != 0, h.s[2]});
    }
    d.queue.enqueueReadBuffer(kindBuf, CL_TRUE, 0, count, kind.data());
    d.queue.enqueueReadBuffer(a0Buf, CL_TRUE, 0, count * sizeof(uint64_t), a0.data());
  } catch (const cl::Error& e) {
    throw DeviceError("OpenCL device " + m_info.name + ": " + ErrorText(e) + ".");
  }
  m_busy += std::chrono::steady_clock::now() - start;
}

void OpenClBackend::Normal(const std::vector<uint64_t>& p, const std::vector<int32_t>& cand, int ln,
                           std::vector<NormalHit>& hits) {
  hits.clear();
  const auto count = static_cast<uint32_t>(p.size());
  const auto nCand = static_cast<uint32_t>(cand.size());
  if (count == 0 || nCand == 0) return;
  Impl& d = *m_impl;
  const auto start = std::chrono::steady_clock::now();
  try {
    std::vector<uint64_t> target(count);
    for (uint32_t i = 0; i < count; ++i) target[i] = Montgomery64(p[i]).MinusOneTarget(ln);
    cl::Buffer pBuf = Input(d.context, p), tBuf = Input(d.context, target),
               cBuf = Input(d.context, cand);
    cl::Kernel& kn = d.normalChain;
    kn.setArg(0, pBuf);
    kn.setArg(1, tBuf);
    kn.setArg(2, cBuf);
    kn.setArg(3, nCand);
    kn.setArg(4, ln);
    kn.setArg(8, count);
    const auto raw = LaunchWithHits<cl_uint2>(d.context, d.queue, kn, 5,
                                              static_cast<size_t>(count) * nCand);
    hits.reserve(raw.size());
    for (const cl_uint2& h : raw) hits.push_back(NormalHit{h.s[0], h.s[1]});
  } catch (const cl::Error& e) {
    throw DeviceError("OpenCL device " + m_info.name + ": " + ErrorText(e) + ".");
  }
  m_busy += std::chrono::steady_clock::now() - start;
}

}  // namespace zentrova
