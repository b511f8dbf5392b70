#include "front/EngineSettings.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "files/NumberParse.h"
#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "gpu/Devices.h"
#include "math/ModArith.h"
#include "sieve/WorkerPool.h"

namespace zentrova {

namespace {

bool ThreadsValid(int64_t threads) {
  return threads >= 0 && threads <= config::kMaxThreads;
}

bool StopRateValid(double seconds) {
  return seconds == 0 ||
         (seconds >= config::kMinStopRateSeconds && seconds <= config::kMaxStopRateSeconds);
}

// A device this build can be asked for: the CPU, "auto", "gpu" or a device
// of one of its backends by number ("opencl:0").
bool ReadDevice(const std::string& text, DeviceChoice& choice) {
  const std::optional<DeviceChoice> parsed = DeviceChoice::Parse(text);
  if (!parsed ||
      (parsed->kind == DeviceChoice::Kind::kNumbered && !IsBackendName(parsed->backend))) {
    return false;
  }
  choice = *parsed;
  return true;
}

// A finite number, the whole text (blanks around it allowed).
bool ReadSeconds(const std::string& text, double& seconds) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (end == begin || errno == ERANGE || !std::isfinite(v)) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  seconds = v;
  return true;
}

bool GpuKernelValid(const std::string& name) {
  return name.size() <= 16 && std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
         });
}

}  // namespace

bool ReadPLimit(const std::string& text, UInt128& pMax) {
  if (text.empty()) {
    pMax = 0;
    return true;
  }
  UInt128 p = 0;
  if (!ParsePArgument(text, p) || p >= kMaxModulus128) return false;
  pMax = p;
  return true;
}

EngineField ApplyEngineSettings(const EngineSettings& s, DeviceProvider* devices, SieveJob& job) {
  if (!ThreadsValid(s.threads)) return EngineField::kThreads;
  job.m_threads = s.threads > 0 ? s.threads : HardwareThreads();
  if (!ReadPLimit(s.pMax, job.m_pMax)) return EngineField::kPMax;
  if (!ReadDevice(s.device, job.m_device)) return EngineField::kDevice;
  job.m_devices = devices;
  if (!StopRateValid(s.stopRateSeconds)) return EngineField::kStopRate;
  job.m_stopRateSeconds = s.stopRateSeconds;
  if (!GpuKernelValid(s.gpuKernel)) return EngineField::kGpuKernel;
  job.m_gpuKernel = s.gpuKernel;
  return EngineField::kNone;
}

std::string EngineRefusal(EngineField field) {
  switch (field) {
    case EngineField::kNone:
      break;
    case EngineField::kThreads:
      return StrFormat("Threads must be from 1 to %d, or 0 for all hardware threads.",
                       config::kMaxThreads);
    case EngineField::kPMax:
      return "The p limit must be a whole number from 1 to below 2^94 (such as 1e15), or empty "
             "for no limit.";
    case EngineField::kDevice:
      return "The device must be cpu, auto, gpu or opencl:N.";
    case EngineField::kStopRate:
      return StrFormat("The stop rate must be from %g to %g seconds, or 0 for none.",
                       config::kMinStopRateSeconds, config::kMaxStopRateSeconds);
    case EngineField::kGpuKernel:
      return "The GPU kernel must be the name of one (lower-case letters and digits), or empty "
             "for the fastest.";
  }
  return std::string();
}

std::vector<std::pair<std::string, std::string>> EngineEntries(const EngineSettings& s) {
  return {
      {"Threads", StrFormat("%d", s.threads)},
      {"Device", s.device},
      {"PMax", s.pMax},
      // Enough digits to read back the same double.
      {"StopRate", StrFormat("%.17g", s.stopRateSeconds)},
      {"GpuKernel", s.gpuKernel},
  };
}

bool ApplyEngineEntry(EngineSettings& s, const std::string& key, const std::string& text) {
  if (key == "Threads") {
    int64_t threads = 0;
    if (!ParseWholeInt64(text, threads) || !ThreadsValid(threads)) return false;
    s.threads = static_cast<int32_t>(threads);
    return true;
  }
  if (key == "Device") {
    DeviceChoice choice;
    if (!ReadDevice(text, choice)) return false;
    s.device = choice.ToString();
    return true;
  }
  if (key == "PMax") {
    UInt128 p = 0;
    if (!ReadPLimit(text, p)) return false;
    s.pMax = text;
    return true;
  }
  if (key == "StopRate") {
    double seconds = 0;
    if (!ReadSeconds(text, seconds) || !StopRateValid(seconds)) return false;
    s.stopRateSeconds = seconds;
    return true;
  }
  if (key == "GpuKernel") {
    if (!GpuKernelValid(text)) return false;
    s.gpuKernel = text;
    return true;
  }
  return false;
}

}  // namespace zentrova
