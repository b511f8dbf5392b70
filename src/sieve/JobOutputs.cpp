#include "sieve/JobOutputs.h"

#include "files/StrFormat.h"
#include "files/OutputLock.h"

namespace zentrova {

JobFiles JobOutputs(const SieveJob& job, bool wide) {
  JobFiles files;
  switch (job.m_nCommand) {
    case kCmdNewSieve:
    case kCmdResumeSieve:
    case kCmdBuildFromFactors:
      if (!(wide && job.m_nCommand == kCmdBuildFromFactors)) {
        files.outputs.push_back({"factor output", job.m_strFactorOut, 'f'});
      }
      files.outputs.push_back({"sieve output", job.m_strSieveOut, 's'});
      files.inputs.push_back({"factor input", job.m_strFactorIn, 'f'});
      files.inputs.push_back({"sieve input", job.m_strSieveIn, 's'});
      break;
    case kCmdReport:
      files.outputs.push_back({"report", job.m_strReport, 'r'});
      files.inputs.push_back({"factor input", job.m_strFactorIn, 'f'});
      files.inputs.push_back({"proth log", job.m_strProthLog, 'l'});
      break;
    case kCmdToBeFactored:
      // Its output lists what its input lacks: never the input's own kind,
      // so that no name of the input may be its output.
      files.outputs.push_back({"sieve output", job.m_strSieveOut, 's'});
      files.inputs.push_back({"sieve input", job.m_strSieveIn, 'i'});
      break;
    default:
      break;
  }
  return files;
}

std::string JobFilesClash(const JobFiles& files) {
  const auto clash = [](const JobFile& a, const JobFile& b) {
    return StrFormat("The %s file and the %s file are the same file %s.  Nothing was run.", a.role,
                     b.role, a.name.c_str());
  };
  const std::vector<JobFile>& outputs = files.outputs;
  for (size_t i = 0; i < outputs.size(); ++i) {
    for (size_t j = i + 1; j < outputs.size(); ++j) {
      if (SameFile(outputs[i].name, outputs[j].name)) return clash(outputs[i], outputs[j]);
    }
    for (const JobFile& in : files.inputs) {
      if (in.kind != outputs[i].kind && SameFile(in.name, outputs[i].name)) {
        return clash(in, outputs[i]);
      }
    }
  }
  return {};
}

}  // namespace zentrova
