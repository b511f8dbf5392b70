// The engine's settings that both front ends offer beside a job's files and
// range: worker threads, the device the kernels run on, the p limit and the
// stop rate, and the GPU kernel. The command line takes them as --threads,
// --device, --p-max, --stop-rate and --gpu-kernel; the desktop program in its Engine dialog, kept in the "Engine"
// section of its parameter file. One reading and one hand-over to the job
// record serve both, so a setting means the same wherever it is given.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sieve/Device.h"
#include "sieve/SieveJob.h"

namespace zentrova {

namespace config {
// The range of each setting, the command line's as well.
constexpr int32_t kMaxThreads = 1024;
constexpr double kMinStopRateSeconds = 1e-6;
constexpr double kMaxStopRateSeconds = 1e9;
}  // namespace config

struct EngineSettings {
  int32_t threads = 0;         // 0: all hardware threads
  std::string device = "cpu";  // cpu, auto, gpu or opencl:N (DeviceChoice::Parse)
  std::string pMax;            // as typed ("1e15"); empty: no limit
  double stopRateSeconds = 0;  // 0: never stop by the rate
  std::string gpuKernel{};     // a GPU arithmetic by name; empty: the fastest, calibrated
  bool operator==(const EngineSettings&) const = default;
};

// The setting that could not be read, in the order they are read.
enum class EngineField { kNone, kThreads, kPMax, kDevice, kStopRate, kGpuKernel };

// Hands the settings to the job record: m_threads (all hardware threads for
// 0), m_pMax, m_device with the devices to open it from, m_stopRateSeconds,
// m_gpuKernel (a name of lower-case letters and digits: the device tells
// whether it has such a kernel when the job opens it).
// Returns the first setting that is not a value its field takes (threads
// outside 0..kMaxThreads, a p limit that is not a whole number from 1 to
// below 2^94, a device other than cpu, auto, gpu or opencl:N, a stop rate
// other than 0 or a number of seconds within the config range); the job
// keeps whatever that setting and those after it would have set.
EngineField ApplyEngineSettings(const EngineSettings& settings, DeviceProvider* devices,
                                SieveJob& job);

// A p bound as the job takes it: plain digits or scientific notation with a
// whole value from 1 to below 2^94 ("2000000000", "2e9", "1.5e15"); an
// empty text is 0, no limit. False, changing nothing, on anything else.
bool ReadPLimit(const std::string& text, UInt128& p);

// The desktop program's refusal of a setting that cannot be read (the
// dialog's OK check); empty for kNone.
std::string EngineRefusal(EngineField field);

// The parameter file's section of the settings, and its keys with their
// values in the order written: Threads, Device, PMax, StopRate, GpuKernel.
inline constexpr const char* kEngineSection = "Engine";
std::vector<std::pair<std::string, std::string>> EngineEntries(const EngineSettings& settings);
// Sets the setting of one key from its text; false, changing nothing, for an
// unknown key or a text that is no value of that setting (a damaged file
// keeps the defaults of what it cannot give).
bool ApplyEngineEntry(EngineSettings& settings, const std::string& key, const std::string& text);

}  // namespace zentrova
