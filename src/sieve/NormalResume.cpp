// The input of a normal resume: the factor file and the candidate file of an
// earlier run, read into the loop's state and the job record.
//
// Input files are checked before anything is sieved: every base must lie in
// the range, have b Min's parity and appear once over both files. A file that
// breaks this is refused with a line naming the file, the line and the base,
// and nothing is written.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstring>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "math/ModArith.h"
#include "sieve/JobInputs.h"
#include "sieve/Jobs.h"

namespace zentrova {

namespace {

struct LoadedBase {
  int32_t b;
  int line;
  const std::string* file;
  int32_t exponent;  // the N its line names; 0 when it names none
};

// What a resume read from its two files.
struct ResumeInputs {
  const std::string* factorIn = nullptr;  // empty name: no factor file
  const std::string* sieveIn = nullptr;
  std::vector<FactorRecord> factors;
  std::vector<LoadedBase> factorBases;  // one per factor, same order
  std::vector<LoadedBase> candBases;
  bool hasCandDepth = false;
  UInt128 candDepth = 0;  // the candidate file's depth, with a factor file
  int32_t bMin = 0, bMax = 0, exponent = 0, ln = 0;
  UInt128 pReached = 0;
  bool missingStruck = false;  // bases in neither file were struck elsewhere
};

// The bases of both files against the range, each once.
class BaseCheck {
 public:
  BaseCheck(const ResumeInputs& in, bool deeperFactors, const LogFn& fail)
      : m_in(in),
        m_fail(fail),
        m_seen(static_cast<size_t>((static_cast<int64_t>(in.bMax) - in.bMin) / 2 + 1), 0),
        m_factorOf(deeperFactors ? m_seen.size() : 0, 0) {}

  // 0: not seen; 1: a factor; 2: a candidate; 3: a candidate factored later.
  std::vector<uint8_t>& Seen() { return m_seen; }

  // The slot of the base, after its line's exponent, range and parity are
  // checked; nullptr after the message when one fails.
  uint8_t* Slot(const LoadedBase& base) {
    if (base.exponent != 0 && base.exponent != m_in.exponent) {
      m_fail(
          StrFormat("%s line %d: exponent %d does not match the exponent %d of the files.  "
                    "Nothing was sieved.",
                    base.file->c_str(), base.line, base.exponent, m_in.exponent));
      return nullptr;
    }
    if (base.b < m_in.bMin || base.b > m_in.bMax) {
      m_fail(StrFormat("%s line %d: base %d is outside the range %d to %d.  Nothing was sieved.",
                       base.file->c_str(), base.line, base.b, m_in.bMin, m_in.bMax));
      return nullptr;
    }
    if (((base.b - m_in.bMin) & 1) != 0) {
      m_fail(
          StrFormat("%s line %d: base %d does not have the parity of b Min %d.  Nothing was "
                    "sieved.",
                    base.file->c_str(), base.line, base.b, m_in.bMin));
      return nullptr;
    }
    return &m_seen[static_cast<size_t>((static_cast<int64_t>(base.b) - m_in.bMin) / 2)];
  }

  bool Duplicate(const LoadedBase& base) {
    m_fail(StrFormat("%s line %d: base %d appears more than once.  Nothing was sieved.",
                     base.file->c_str(), base.line, base.b));
    return false;
  }

  // Every factor divides its b^N+1 and is not that number itself.
  bool Factors() {
    for (size_t i = 0; i < m_in.factorBases.size(); ++i) {
      const LoadedBase& base = m_in.factorBases[i];
      uint8_t* slot = Slot(base);
      if (slot == nullptr) return false;
      if (*slot != 0) return Duplicate(base);
      const UInt128 p = m_in.factors[i].p;
      if (PBeyondLimit(p)) {
        m_fail(StrFormat("%s line %d: %s.  Nothing was sieved.", base.file->c_str(), base.line,
                         PBeyondText(p).c_str()));
        return false;
      }
      if (!VerifyFactor(m_in.ln, static_cast<uint64_t>(base.b), p)) {
        m_fail(StrFormat("%s line %d: %s does not divide %d^%d+1.  Nothing was sieved.",
                         base.file->c_str(), base.line, PToString(p).c_str(), base.b, m_in.exponent));
        return false;
      }
      if (!IsProperFactor(m_in.ln, static_cast<uint64_t>(base.b), p)) {
        m_fail(StrFormat("%s line %d: %s is %d^%d+1 itself, not a proper factor.  "
                         "Nothing was sieved.",
                         base.file->c_str(), base.line, PToString(p).c_str(), base.b, m_in.exponent));
        return false;
      }
      *slot = 1;
      if (!m_factorOf.empty()) m_factorOf[static_cast<size_t>(slot - m_seen.data())] = p;
    }
    return true;
  }

  // Every candidate once; with a deeper factor file, a candidate that it
  // factored beyond the candidate file's depth is counted in `late`.
  bool Candidates(int& late) {
    for (const LoadedBase& base : m_in.candBases) {
      uint8_t* slot = Slot(base);
      if (slot == nullptr) return false;
      if (*slot == 1 && !m_factorOf.empty() &&
          m_factorOf[static_cast<size_t>(slot - m_seen.data())] > m_in.candDepth) {
        *slot = 3;
        ++late;
        continue;
      }
      if (*slot != 0) return Duplicate(base);
      *slot = 2;
    }
    return true;
  }

 private:
  const ResumeInputs& m_in;
  const LogFn& m_fail;
  std::vector<uint8_t> m_seen;
  std::vector<UInt128> m_factorOf;  // kept only where a deeper factor file needs it
};

// Everything that can be known about the inputs before a single p is sieved:
// every base once, inside the range, of b Min's parity, on lines of the
// files' exponent; every factor a proper factor of its b^N+1; with a factor
// file, every base of the range in one of the two files. A factor file saved
// deeper than its candidate file (a save cut between its two renames) is
// accepted when the bases in both were struck by a p the candidate file had
// not reached: they leave the candidates, and sieving resumes from the
// candidate file's depth. cand receives the candidates, pReached the depth.
bool CheckResumeInputs(ResumeInputs& in, std::vector<int32_t>& cand, UInt128& pReached,
                       const LogFn& fail, const LogFn& post) {
  const bool withFactors = !in.factorIn->empty();
  // With a factor file its header gives the range, whose every base must be
  // in one of the files: a header over an empty candidate file (a save cut
  // short, a file emptied by hand) holds none of them and is no pair.
  if (!withFactors && in.candBases.empty()) return true;
  if (in.bMin <= 0 || in.bMax < in.bMin) {
    fail(
        StrFormat("The input files give no valid b range (b Min %d, b Max %d).  Nothing was "
                  "sieved.",
                  in.bMin, in.bMax));
    return false;
  }
  const bool deeperFactors = withFactors && in.hasCandDepth && in.candDepth < in.pReached;
  BaseCheck check(in, deeperFactors, fail);
  int late = 0;
  if (!check.Factors() || !check.Candidates(late)) return false;
  const std::vector<uint8_t>& seen = check.Seen();
  // Without a factor file (and without --missing-as-struck) the range is the
  // candidates' own span and nothing can be known missing: the start checks
  // have warned that the new factor file lacks the earlier factors.
  if (withFactors || in.missingStruck) {
    const auto missing = std::find(seen.begin(), seen.end(), uint8_t{0});
    if (missing != seen.end()) {
      const int64_t b = in.bMin + 2 * static_cast<int64_t>(missing - seen.begin());
      if (!in.missingStruck) {
        fail(StrFormat("Base %d is in neither %s nor %s: the files do not make a pair (one may "
                       "be cut short; bases struck by another program's sieve are taken as such "
                       "with --missing-as-struck).  Nothing was sieved.",
                       static_cast<int>(b), in.factorIn->c_str(), in.sieveIn->c_str()));
        return false;
      }
      const auto count = std::count(missing, seen.end(), uint8_t{0});
      const std::string where =
          withFactors ? "are in neither " + *in.factorIn + " nor " + *in.sieveIn
                      : "are not in " + *in.sieveIn + ", and there is no factor file";
      post(StrFormat("%d bases of the range %d to %d (the first %d) %s: taken as struck "
                     "elsewhere, as --missing-as-struck asks.",
                     static_cast<int>(count), in.bMin, in.bMax, static_cast<int>(b),
                     where.c_str()));
    }
  }
  cand.reserve(in.candBases.size());
  for (const LoadedBase& base : in.candBases) {
    if (seen[static_cast<size_t>((static_cast<int64_t>(base.b) - in.bMin) / 2)] == 2) {
      cand.push_back(base.b);
    }
  }
  if (deeperFactors) {
    post(StrFormat("Factor file %s reaches p = %s, sieve file %s only p = %s"
                   ": the last save was cut short.  %d bases factored in between are taken from "
                   "the factor file; sieving continues from p = %s.",
                   in.factorIn->c_str(), PToString(in.pReached).c_str(), in.sieveIn->c_str(),
                   PToString(in.candDepth).c_str(), late, PToString(in.candDepth).c_str()));
    pReached = in.candDepth;
  }
  return true;
}

// The factor file of a resume: its header sets the range, the exponent and
// the depth; its lines the factors.
bool ReadFactorInput(JobContext& ctx, ResumeInputs& in, UInt128& pReached) {
  const std::string& factorIn = ctx.Job().m_strFactorIn;
  FactorFileContents contents;
  if (!LoadFactorInput(ctx, contents, "  Nothing was sieved.")) return false;
  if (contents.header.hasDepth) pReached = contents.header.depth;
  in.factors = std::move(contents.records);
  for (size_t i = 0; i < in.factors.size(); ++i) {
    in.factorBases.push_back(
        LoadedBase{in.factors[i].b, contents.lineNumbers[i], &factorIn, contents.exponents[i]});
  }
  return true;
}

// The candidate file of a resume: its bases, and its depth (the depth of the
// run without a factor file; with one, no deeper than the factor file's).
bool ReadCandidateInput(JobContext& ctx, ResumeInputs& in, UInt128& pReached) {
  SieveJob& job = ctx.Job();
  const std::string& factorIn = job.m_strFactorIn;
  const std::string& sieveIn = job.m_strSieveIn;
  CandidateListContents list;
  if (!ReadCandidateList(sieveIn, list)) {
    ctx.Fail(StrFormat("Unable to open input sieve file %s.", sieveIn.c_str()));
    return false;
  }
  ctx.Post(StrFormat("Loading input sieve file %s.", sieveIn.c_str()));
  if (list.badLine != 0) {
    ctx.Fail(StrFormat("%s line %d: %s.  Nothing was sieved.", sieveIn.c_str(), list.badLine,
                       list.badProblem));
    return false;
  }
  for (const UInt128 depth : list.depths) {
    if (factorIn.empty()) {
      pReached = depth;
    } else if (depth > pReached) {
      // A factor file deeper than its candidate file is what a save cut
      // between its two renames leaves; the pair check decides.
      ctx.Fail(StrFormat("Factor file %s and sieve file %s were terminated at different k values.",
                         factorIn.c_str(), sieveIn.c_str()));
      return false;
    } else {
      in.candDepth = depth;
      in.hasCandDepth = true;
    }
  }
  if (list.tooLargeLine != 0) {
    ctx.Fail(StrFormat("%s line %d: the base does not fit in 32 bits.  Nothing was sieved.",
                       sieveIn.c_str(), list.tooLargeLine));
    return false;
  }
  if (list.readError != 0) {
    ctx.Fail(StrFormat("Unable to read input sieve file %s: %s.  Nothing was sieved.",
                       sieveIn.c_str(), std::strerror(list.readError)));
    return false;
  }
  for (const CandidateEntry& e : list.bases) {
    in.candBases.push_back(LoadedBase{e.b, e.line, &sieveIn, e.exponent});
    if (job.m_nBMin < 0) job.m_nBMin = e.b;
    if (job.m_nBMax < e.b) job.m_nBMax = e.b;
    if (job.m_nExponent == 0) job.m_nExponent = e.exponent;
  }
  ctx.Post(StrFormat("%d b candidates loaded from %s.", static_cast<int>(in.candBases.size()),
                     sieveIn.c_str()));
  if (list.depths.empty() && factorIn.empty() && !in.candBases.empty()) {
    ctx.Post(NoDepthLineText(sieveIn));
  }
  return true;
}

}  // namespace

bool LoadNormalResume(JobContext& ctx, bool packed, NormalSieveLoop& loop, UInt128& pReached) {
  SieveJob& job = ctx.Job();
  job.m_nExponent = 0;
  job.m_nLn = 0;
  job.m_nBMax = 0;
  job.m_nBMin = 0;
  pReached = 0;
  ResumeInputs in;
  in.factorIn = &job.m_strFactorIn;
  in.sieveIn = &job.m_strSieveIn;
  if (!job.m_strFactorIn.empty()) {
    if (!ReadFactorInput(ctx, in, pReached)) return false;
  } else {
    if (packed) ctx.Post(StrFormat("%d factors loaded from %s.", 0, job.m_strFactorIn.c_str()));
    job.m_nBMin = -1;
    job.m_nBMax = -1;
  }
  if (!ReadCandidateInput(ctx, in, pReached)) return false;
  if (PBeyondLimit(pReached)) {
    ctx.Fail(StrFormat("The depth of %s: %s.  Nothing was sieved.",
                       (job.m_strFactorIn.empty() ? job.m_strSieveIn : job.m_strFactorIn).c_str(),
                       PBeyondText(pReached).c_str()));
    return false;
  }

  job.m_nLn = ExponentLog2(job.m_nExponent);
  if (job.m_nLn == 0) {
    ctx.Fail(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", job.m_nExponent));
    return false;
  }
  in.bMin = job.m_nBMin;
  in.bMax = job.m_nBMax;
  in.exponent = job.m_nExponent;
  in.ln = job.m_nLn;
  in.pReached = pReached;
  in.missingStruck = job.m_missingStruck;
  std::vector<int32_t> cand;
  if (!CheckResumeInputs(in, cand, pReached, ctx.FailFn(), ctx.PostFn())) return false;

  ctx.Post(StrFormat("%c %d %d %d", '&', job.m_nBMin, job.m_nBMax, job.m_nExponent));
  loop.Allocate();
  loop.State().m_cand = std::move(cand);
  loop.State().m_factors = std::move(in.factors);
  return true;
}

}  // namespace zentrova
