#include "front/FormRules.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "files/StrFormat.h"
#include "platform/Files.h"
#include "sieve/WorkerPool.h"

namespace zentrova {

FormLayout LayoutFor(int32_t choice, bool wideMath) {
  FormLayout l;
  switch (choice) {
    case kChoiceResumeSieve:
      l.factorIn = !wideMath;
      l.factorOut = l.sieveIn = l.sieveOut = true;
      l.wideMath = l.saveMinutes = true;
      break;
    case kChoiceReport:
      l.factorIn = l.prothLog = l.report = true;
      l.wideMath = l.saveMinutes = true;
      break;
    case kChoiceBuildFromFactors:
      l.factorIn = l.sieveOut = l.numbers = true;
      l.factorOut = !wideMath;
      l.wideMath = l.saveMinutes = true;
      break;
    case kChoiceResumeWide:
      l.startText = "Resume";
      break;
    default:  // a new sieve, and any other value
      l.factorOut = l.sieveOut = l.numbers = true;
      l.wideMath = l.saveMinutes = true;
      break;
  }
  return l;
}

bool ParseIntegerField(const std::string& text, int32_t& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  value = static_cast<int32_t>(v);
  return true;
}

std::vector<std::pair<std::string, std::string>> ParameterEntries(const FormParams& form) {
  return {
      {"FactorInputFileName", form.factorIn},
      {"FactorOutputFileName", form.factorOut},
      {"SieveInputFileName", form.sieveIn},
      {"SieveOutputFileName", form.sieveOut},
      {"ProthLogFileName", form.prothLog},
      {"ReportFileName", form.report},
      {"BMax", StrFormat("%d", form.bMax)},
      {"BMin", StrFormat("%d", form.bMin)},
      {"Exponent", StrFormat("%d", form.exponent)},
      {"SaveFileMinutes", StrFormat("%d", form.saveMinutes)},
  };
}

void ApplyParameter(FormParams& form, const std::string& key, const std::string& value) {
  auto number = [&] {
    int32_t v = 0;
    return ParseIntegerField(value, v) ? v : 0;
  };
  // A profile reader hands back at most 998 characters of a text.
  const std::string text = value.substr(0, 998);
  if (key == "FactorInputFileName") form.factorIn = text;
  if (key == "FactorOutputFileName") form.factorOut = text;
  if (key == "SieveInputFileName") form.sieveIn = text;
  if (key == "SieveOutputFileName") form.sieveOut = text;
  if (key == "ProthLogFileName") form.prothLog = text;
  if (key == "ReportFileName") form.report = text;
  if (key == "BMax") form.bMax = number();
  if (key == "BMin") form.bMin = number();
  if (key == "Exponent") form.exponent = number();
  if (key == "SaveFileMinutes") form.saveMinutes = number();
}

std::string LogLineWithTime(const std::string& text, std::time_t when) {
  const std::tm local = platform::LocalTime(when);
  char stamp[128];
  if (std::strftime(stamp, sizeof stamp, " %m/%d %H:%M", &local) == 0) {
    return text;
  }
  return text + stamp;
}

MenuState MenusFor(bool jobRunning) {
  return MenuState{!jobRunning, !jobRunning, !jobRunning, !jobRunning, true};
}

std::string ProcessorTitle(const std::string& vendor, unsigned maxLeaf, unsigned signature) {
  std::string title = "Zentrova for Athlon and P4 - CPU=" + vendor;
  if (maxLeaf != 0) {
    title += StrFormat(" Family.Model.Step=%d.%d.%d", static_cast<int>((signature >> 8) & 15),
                       static_cast<int>((signature >> 4) & 15), static_cast<int>(signature & 15));
  }
  return title;
}

std::string DirectoryOfChosenPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string CheckPackedKDialog(const std::string& directory, int32_t exponent, int32_t& ln) {
  if (directory.empty()) return "A packed file directory name is required.";
  int32_t log2 = 1;
  int64_t v = 2;
  while (v != exponent && log2 < 30) {
    v *= 2;
    ++log2;
  }
  ln = log2;
  if (v != exponent) {
    return StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", exponent);
  }
  if (log2 < 13) return "The minimum exponent supported by this sieve is 8192.";
  return std::string();
}

std::string CheckToBeFactoredDialog(const ToBeFactoredInput& in) {
  if (in.outputFile.empty()) return "An output file name is required.";
  if (in.inputFile.empty()) return "An input file name is required.";
  if (in.bMin <= 0) return "A b Min value must be specified.";
  if (in.bMax <= 0) return "A b Max value must be specified.";
  if (in.exponent <= 0) return "A exponent value must be specified.";
  return std::string();
}

int32_t JobForCommand(const FormRun& form, int32_t command, SieveJob& job) {
  const FormParams& p = form.params;
  int32_t wideMath = p.wideMath;
  job.m_strPackedKDir = p.packedKDir;
  job.m_nSaveSeconds = p.saveMinutes * 60;
  job.m_bNoSSE2 = !form.sse2Present || form.disableSse2 ? 1 : 0;
  const EngineField bad = ApplyEngineSettings(form.engine, form.devices, job);
  if (bad == EngineField::kThreads) job.m_threads = HardwareThreads();
  switch (command) {
    case kCmdBench:
      job.m_pMax = 0;
      job.m_device = DeviceChoice::Cpu();
      job.m_stopRateSeconds = 0;
      wideMath = 0;
      job.m_nSaveSeconds = 3600 * 60;
      job.m_bNoSSE2 = 0;
      job.m_nCommand = kCmdBench;
      break;
    case kCmdCreatePackedK:
      job.m_nCommand = kCmdCreatePackedK;
      job.m_nExponent = p.exponent;
      job.m_nLn = p.ln;
      break;
    case kCmdToBeFactored:
      job.m_pMax = 0;
      job.m_stopRateSeconds = 0;
      job.m_nCommand = kCmdToBeFactored;
      job.m_strSieveIn = p.sieveIn;
      job.m_strSieveOut = p.sieveOut;
      HandOverRange(p, job);
      break;
    default:
      HandOver(p, job);
      break;
  }
  return wideMath;
}

}  // namespace zentrova
