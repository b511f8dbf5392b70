#include "cli/Commands.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>

#include "app/rules/StartChecks.h"
#include "files/CandidateFiles.h"
#include "cli/RunJob.h"
#include "files/Format.h"
#include "files/NumberParse.h"
#include "files/PackedKSequence.h"
#include "files/TextFile.h"
#include "math/CpuFeatures.h"
#include "math/ModArith.h"
#include "sieve/GfnThread.h"
#include "sieve/WorkerPool.h"

namespace zentrova::cli {

namespace {

bool CommonOptions(const SieveOptions& o, SieveJob& job) {
  job.m_nSaveSeconds = o.saveMinutes * 60;
  job.m_bNoSSE2 = o.noSimd ? 1 : 0;
  job.m_nThreads = o.threads > 0 ? o.threads : HardwareThreads();
  if (!ParseIsa(o.isa, job.m_isa) || o.isa == "list") {
    Usage(StrFormat("--isa: unknown instruction set '%s' (auto, scalar, avx2, avx512).", o.isa.c_str()));
    return false;
  }
  if (job.m_isa != Isa::kAuto && !IsaAvailable(job.m_isa)) {
    Usage(StrFormat("--isa %s: this processor or build has no %s kernel.", o.isa.c_str(),
                    o.isa.c_str()));
    return false;
  }
  if (job.m_isa == Isa::kScalar) job.m_bNoSSE2 = 1;
  job.m_strPackedKDir = o.packedDir;
  if (!o.packedDir.empty() && !CTextFile::FileExists(o.packedDir)) {
    Usage(StrFormat("--packed-dir: folder %s does not exist.", o.packedDir.c_str()));
    return false;
  }
  if (!o.pMax.empty() && !ParsePValue(o.pMax, job.m_pMax)) {
    Usage(StrFormat("--p-max: '%s' is not a whole number from 1 to 2^61.", o.pMax.c_str()));
    return false;
  }
  if (!o.pMin.empty() && !ParsePValue(o.pMin, job.m_pMin)) {
    Usage(StrFormat("--p-min: '%s' is not a whole number from 1 to 2^61.", o.pMin.c_str()));
    return false;
  }
  return true;
}

// The benchmark job once per available kernel and for 1 .. all threads, with
// p per second and the ratio to the portable kernel on one thread.
int RunBenchComparison(const SieveJob& base) {
  // No job here answers a stop request: Ctrl-C ends the comparison at once.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  const CpuFeatures& cpu = GetCpuFeatures();
  std::printf("zentrova bench: N = 65536, 500 bases, p up to %" PRIu64 "; %s\n", base.m_pMax,
              cpu.brand.empty() ? "unknown processor" : cpu.brand.c_str());
  std::printf("%-8s %7s %12s %10s %12s %10s\n", "kernel", "threads", "p sieved", "seconds",
              "p/s", "vs scalar");
  double reference = 0;
  for (Isa isa : {Isa::kScalar, Isa::kAvx2, Isa::kAvx512}) {
    if (!IsaAvailable(isa)) continue;
    for (int threads = 1; threads <= HardwareThreads(); threads *= 2) {
      SieveJob job = base;
      job.m_isa = isa;
      job.m_bNoSSE2 = isa == Isa::kScalar ? 1 : 0;
      job.m_nThreads = threads;
      RecordingSink sink;
      CGfnThread thread(job, sink);
      thread.Run();
      const JobOutcome outcome = thread.Outcome();
      if (outcome.end == JobEnd::kFailed || outcome.benchTicks <= 0) {
        std::fprintf(stderr, "zentrova: the %s run failed\n", IsaName(isa));
        return kExitJobFailed;
      }
      const double seconds = static_cast<double>(outcome.benchTicks) /
                             static_cast<double>(outcome.benchTicksPerSecond);
      const double rate = static_cast<double>(outcome.benchPSieved) / seconds;
      if (reference == 0) reference = rate;
      std::printf("%-8s %7d %12" PRId64 " %10.3f %12.0f %9.2fx\n", IsaName(isa), threads,
                  outcome.benchPSieved, seconds, rate, rate / reference);
      std::fflush(stdout);
    }
  }
  return kExitOk;
}

}  // namespace

bool ParsePValue(const std::string& text, uint64_t& value) {
  if (text.empty()) return false;
  const size_t e = text.find_first_of("eE");
  const std::string mantissa = text.substr(0, e);
  int64_t exponent = 0;
  if (e != std::string::npos) {
    const std::string expText = text.substr(e + 1);
    if (expText.empty() || expText.size() > 3) return false;
    for (char c : expText) {
      if (c < '0' || c > '9') return false;
    }
    exponent = std::stoi(expText);
  }
  unsigned __int128 v = 0;
  int fraction = -1;  // digits after the point, -1 while none seen
  int digits = 0;
  for (char c : mantissa) {
    if (c == '.' && fraction < 0 && e != std::string::npos) {
      fraction = 0;
      continue;
    }
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    ++digits;
    if (fraction >= 0) ++fraction;
    if (v > (static_cast<unsigned __int128>(1) << 70)) return false;
  }
  if (digits == 0) return false;
  exponent -= std::max(fraction, 0);
  for (; exponent > 0; --exponent) {
    v *= 10;
    if (v > (static_cast<unsigned __int128>(1) << 70)) return false;
  }
  for (; exponent < 0; ++exponent) {
    if (v % 10 != 0) return false;
    v /= 10;
  }
  if (v == 0 || v > kMaxModulus) return false;
  value = static_cast<uint64_t>(v);
  return true;
}

int RunNew(const SieveOptions& o) {
  FormParams form = FormFor(kChoiceNewSieve, o);
  form.saveMinutes = o.saveMinutes;
  form.packedKDir = o.packedDir;
  form.packedKExponent = o.exponent;  // the sequence of this exponent is used
  SieveJob job;
  if (!CommonOptions(o, job)) return kExitUsage;
  if (job.m_pMax != 0 && job.m_pMin > job.m_pMax) {
    Usage("--p-min must not be above --p-max.");
    return kExitUsage;
  }
  CliHost host(o.force);
  if (!RunStartChecks(form, host)) return kExitUsage;
  HandOver(form, job);
  return RunJob(job, form.wideMath);
}

int RunResume(const SieveOptions& o) {
  FormParams form = FormFor(kChoiceResumeSieve, o);
  form.saveMinutes = o.saveMinutes;
  form.packedKDir = o.packedDir;
  form.packedKExponent = o.exponent;
  if (!o.pMin.empty()) {
    Usage("--p-min applies to a new sieve only; a resumed sieve continues from its files.");
    return kExitUsage;
  }
  SieveJob job;
  if (!CommonOptions(o, job)) return kExitUsage;
  CliHost host(o.force);
  if (!RunStartChecks(form, host)) return kExitUsage;
  HandOver(form, job);
  return RunJob(job, form.wideMath);
}

int RunPack(const SieveOptions& o) {
  SieveJob job;
  job.m_nCommand = kCmdCreatePackedK;
  job.m_nExponent = o.exponent;
  job.m_nLn = ExponentLog2(o.exponent);
  if (job.m_nLn == 0) {
    Usage(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", o.exponent));
    return kExitUsage;
  }
  if (o.packedDir.empty()) {
    Usage("--dir: a folder for the packed K files is required.");
    return kExitUsage;
  }
  if (!CommonOptions(o, job)) return kExitUsage;
  if (!o.fileBytes.empty()) {
    // A header and one data word are the least a file can be.
    constexpr uint64_t kLeast = CPackedKDB::kHeaderBytes + 4;
    if (!ParseWholeUInt64(o.fileBytes, job.m_packedKFileBytes) ||
        job.m_packedKFileBytes < kLeast) {
      Usage(StrFormat("--file-bytes: '%s' is not a whole number of at least %" PRIu64 " bytes.",
                      o.fileBytes.c_str(), kLeast));
      return kExitUsage;
    }
  }
  return RunJob(job);
}

int RunBench(const SieveOptions& o) {
  if (o.isa == "list") {
    const CpuFeatures& cpu = GetCpuFeatures();
    std::printf("processor: %s (%s)\n", cpu.brand.empty() ? "unknown" : cpu.brand.c_str(),
                cpu.vendor.c_str());
    std::printf("features:  sse2 %s, avx2 %s, avx512f %s, avx512ifma %s\n", cpu.sse2 ? "yes" : "no",
                cpu.avx2 ? "yes" : "no", cpu.avx512f ? "yes" : "no", cpu.avx512ifma ? "yes" : "no");
    for (Isa isa : {Isa::kScalar, Isa::kAvx2, Isa::kAvx512}) {
      std::printf("kernel %-7s %s\n", IsaName(isa), IsaAvailable(isa) ? "available" : "not available");
    }
    std::printf("auto selects: %s\n", IsaName(BestIsa()));
    return kExitOk;
  }
  SieveJob job;
  job.m_nCommand = kCmdBench;
  SieveOptions options = o;
  if (options.pMax.empty()) options.pMax = kBenchDefaultPMax;
  if (!CommonOptions(options, job)) return kExitUsage;
  if (o.compare) return RunBenchComparison(job);
  return RunJob(job);
}

}  // namespace zentrova::cli
