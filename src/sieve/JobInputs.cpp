#include "sieve/JobInputs.h"

#include <cstring>
#include <string>

#include "files/StrFormat.h"

namespace zentrova {

namespace {

bool CannotOpen(JobContext& ctx, const std::string& name) {
  ctx.Fail(StrFormat("Unable to open input factor file %s.", name.c_str()));
  return false;
}

}  // namespace

bool OpenFactorInput(JobContext& ctx, CTextFile& file) {
  const std::string& name = file.GetFileName();
  if (!file.OpenRead()) return CannotOpen(ctx, name);
  ctx.Post(StrFormat("Loading input factor file %s.", name.c_str()));
  return true;
}

bool LoadFactorInput(JobContext& ctx, FactorFileContents& contents, const char* refusal) {
  SieveJob& job = ctx.Job();
  const std::string& name = job.m_strFactorIn;
  {
    CTextFile probe(name);
    if (!OpenFactorInput(ctx, probe)) return false;
  }
  if (!ReadFactorFile(name, contents)) return CannotOpen(ctx, name);
  if (contents.readError != 0) {
    ctx.Fail(StrFormat("Unable to read input factor file %s: %s.%s", name.c_str(),
                       std::strerror(contents.readError), refusal));
    return false;
  }
  if (contents.badLine != 0) {
    ctx.Fail(StrFormat("%s line %d: %s.%s", name.c_str(), contents.badLine, contents.badProblem,
                       refusal));
    return false;
  }
  const FactorHeader& h = contents.header;
  if (h.hasBMin) job.m_nBMin = h.bMin;
  if (h.hasBMax) job.m_nBMax = h.bMax;
  if (h.hasExponent) job.m_nExponent = h.exponent;
  ctx.Post(StrFormat("%d factors loaded from %s.", static_cast<int>(contents.records.size()),
                     name.c_str()));
  return true;
}

}  // namespace zentrova
