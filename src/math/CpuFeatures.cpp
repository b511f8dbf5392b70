#include "math/CpuFeatures.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define ZENTROVA_X86_CPUID 1
#endif

namespace zentrova {

namespace {

#ifdef ZENTROVA_X86_CPUID
uint64_t ReadXcr0() {
  uint32_t eax = 0;
  uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}
#endif

CpuFeatures Detect() {
  CpuFeatures f;
#ifdef ZENTROVA_X86_CPUID
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d)) {
    char v[13] = {};
    std::memcpy(v, &b, 4);
    std::memcpy(v + 4, &d, 4);
    std::memcpy(v + 8, &c, 4);
    f.vendor = v;
  }
  const unsigned maxLeaf = a;
  f.maxLeaf = maxLeaf;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  f.signature = a;
  f.cmov = (d >> 15) & 1;
  f.sse2 = (d >> 26) & 1;
  const bool osxsave = (c >> 27) & 1;
  const bool fma = (c >> 12) & 1;
  const uint64_t xcr0 = osxsave ? ReadXcr0() : 0;
  const bool ymmState = (xcr0 & 0x6) == 0x6;
  const bool zmmState = (xcr0 & 0xe6) == 0xe6;
  if (maxLeaf >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 = ymmState && ((b >> 5) & 1);
    f.fma = ymmState && fma;
    f.avx512f = zmmState && ((b >> 16) & 1);
    const bool vl = (b >> 31) & 1;
    const bool ifma = (b >> 21) & 1;
    const bool dq = (b >> 17) & 1;
    f.avx512ifma = f.avx512f && vl && ifma && dq;
  }
  unsigned ext = 0;
  if (__get_cpuid(0x80000000, &ext, &b, &c, &d) && ext >= 0x80000004) {
    char brand[49] = {};
    for (unsigned i = 0; i < 3; ++i) {
      __get_cpuid(0x80000002 + i, &a, &b, &c, &d);
      std::memcpy(brand + 16 * i, &a, 4);
      std::memcpy(brand + 16 * i + 4, &b, 4);
      std::memcpy(brand + 16 * i + 8, &c, 4);
      std::memcpy(brand + 16 * i + 12, &d, 4);
    }
    f.brand = brand;
    const auto first = f.brand.find_first_not_of(' ');
    const auto last = f.brand.find_last_not_of(' ');
    f.brand = first == std::string::npos ? std::string() : f.brand.substr(first, last - first + 1);
  }
#else
  // The start-up checks' x86 features stand for the baseline of any 64-bit
  // processor; the vendor field names the architecture instead.
  f.cmov = true;
  f.sse2 = true;
#if defined(__aarch64__)
  f.vendor = "aarch64";
#else
  f.vendor = "non-x86";
#endif
#endif
  return f;
}

}  // namespace

const CpuFeatures& GetCpuFeatures() {
  static const CpuFeatures features = Detect();
  return features;
}

}  // namespace zentrova
