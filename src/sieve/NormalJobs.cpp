// The new and resume jobs of the normal mode: they build the list of bases
// (from the range, or from the files an earlier run saved) and run the loop.
//
// Input files are checked before anything is sieved: every base must lie in
// the range, have b Min's parity and appear once over both files. A file that
// breaks this is refused with a line naming the file, the line and the base,
// and nothing is written.
#include <cinttypes>
#include <cstring>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "files/Format.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"
#include "files/PackedKSequence.h"
#include "math/ModArith.h"
#include "sieve/GfnThread.h"
#include "sieve/PackedKSource.h"

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
  int unreadLines = 0;                  // candidate lines that hold no base
  int64_t candDepth = -1;               // the candidate file's depth, with a factor file
  int32_t bMin = 0, bMax = 0, exponent = 0, ln = 0;
  int64_t pReached = 0;
};

// Everything that can be known about the inputs before a single p is sieved:
// every base once, inside the range, of b Min's parity, on lines of the
// files' exponent; every factor a proper factor of its b^N+1; with a factor
// file, every base of the range in one of the two files. A factor file saved
// deeper than its candidate file (a save cut between its two renames) is
// accepted when the bases in both were struck by a p the candidate file had
// not reached: they leave the candidates, and sieving resumes from the
// candidate file's depth. cand receives the candidates, pReached the depth.
bool CheckResumeInputs(ResumeInputs& in, std::vector<int32_t>& cand, int64_t& pReached,
                       const LogFn& fail, const LogFn& post) {
  const bool withFactors = !in.factorIn->empty();
  if (in.candBases.empty() && in.factorBases.empty()) return true;
  const int32_t bMin = in.bMin;
  const int32_t bMax = in.bMax;
  if (bMin <= 0 || bMax < bMin) {
    fail(StrFormat("The input files give no valid b range (b Min %d, b Max %d).  Nothing was "
                   "sieved.",
                   bMin, bMax));
    return false;
  }
  // 0: not seen; 1: a factor; 2: a candidate; 3: a candidate factored later.
  std::vector<uint8_t> seen(static_cast<size_t>((static_cast<int64_t>(bMax) - bMin) / 2 + 1), 0);
  auto check = [&](const LoadedBase& base) -> uint8_t* {
    if (base.exponent != 0 && base.exponent != in.exponent) {
      fail(StrFormat("%s line %d: exponent %d does not match the exponent %d of the files.  "
                     "Nothing was sieved.",
                     base.file->c_str(), base.line, base.exponent, in.exponent));
      return nullptr;
    }
    if (base.b < bMin || base.b > bMax) {
      fail(StrFormat("%s line %d: base %d is outside the range %d to %d.  Nothing was sieved.",
                     base.file->c_str(), base.line, base.b, bMin, bMax));
      return nullptr;
    }
    if (((base.b - bMin) & 1) != 0) {
      fail(StrFormat("%s line %d: base %d does not have the parity of b Min %d.  Nothing was "
                     "sieved.",
                     base.file->c_str(), base.line, base.b, bMin));
      return nullptr;
    }
    return &seen[static_cast<size_t>((static_cast<int64_t>(base.b) - bMin) / 2)];
  };
  auto duplicate = [&](const LoadedBase& base) {
    fail(StrFormat("%s line %d: base %d appears more than once.  Nothing was sieved.",
                   base.file->c_str(), base.line, base.b));
    return false;
  };
  // The factor of each base is kept only where a deeper factor file needs it.
  const bool deeperFactors = withFactors && in.candDepth >= 0 && in.candDepth < in.pReached;
  std::vector<uint64_t> factorOf(deeperFactors ? seen.size() : 0, 0);
  for (size_t i = 0; i < in.factorBases.size(); ++i) {
    const LoadedBase& base = in.factorBases[i];
    uint8_t* slot = check(base);
    if (slot == nullptr) return false;
    if (*slot != 0) return duplicate(base);
    const uint64_t p = in.factors[i].p;
    if (!VerifyFactor(in.ln, static_cast<uint64_t>(base.b), p)) {
      fail(StrFormat("%s line %d: %" PRIu64 " does not divide %d^%d+1.  Nothing was sieved.",
                     base.file->c_str(), base.line, p, base.b, in.exponent));
      return false;
    }
    if (!IsProperFactor(in.ln, static_cast<uint64_t>(base.b), p)) {
      fail(StrFormat("%s line %d: %" PRIu64 " is %d^%d+1 itself, not a proper factor.  Nothing "
                     "was sieved.",
                     base.file->c_str(), base.line, p, base.b, in.exponent));
      return false;
    }
    *slot = 1;
    if (deeperFactors) factorOf[static_cast<size_t>(slot - seen.data())] = p;
  }
  int late = 0;
  for (const LoadedBase& base : in.candBases) {
    uint8_t* slot = check(base);
    if (slot == nullptr) return false;
    if (*slot == 1 && deeperFactors &&
        factorOf[static_cast<size_t>(slot - seen.data())] > static_cast<uint64_t>(in.candDepth)) {
      *slot = 3;
      ++late;
      continue;
    }
    if (*slot != 0) return duplicate(base);
    *slot = 2;
  }
  if (withFactors) {
    const auto missing = std::find(seen.begin(), seen.end(), uint8_t{0});
    if (missing != seen.end()) {
      const int64_t b = bMin + 2 * static_cast<int64_t>(missing - seen.begin());
      fail(StrFormat("Base %d is in neither %s nor %s: the files do not make a pair (one may be "
                     "cut short).  Nothing was sieved.",
                     static_cast<int>(b), in.factorIn->c_str(), in.sieveIn->c_str()));
      return false;
    }
  }
  cand.reserve(in.candBases.size());
  for (const LoadedBase& base : in.candBases) {
    if (seen[static_cast<size_t>((static_cast<int64_t>(base.b) - bMin) / 2)] == 2) {
      cand.push_back(base.b);
    }
  }
  if (deeperFactors) {
    post(StrFormat("Factor file %s reaches p = %" PRId64 ", sieve file %s only p = %" PRId64
                   ": the last save was cut short.  %d bases factored in between are taken from "
                   "the factor file; sieving continues from p = %" PRId64 ".",
                   in.factorIn->c_str(), in.pReached, in.sieveIn->c_str(), in.candDepth, late,
                   in.candDepth));
    pReached = in.candDepth;
  }
  return true;
}

}  // namespace

void CGfnThread::AllocateNormal() {
  m_normal = NormalSieveState{};
  const int64_t n =
      (static_cast<int64_t>(m_job.m_nBMax) - static_cast<int64_t>(m_job.m_nBMin)) / 2 + 4;
  if (n > 0) {
    m_normal.m_cand.reserve(static_cast<size_t>(n));
  }
}

void CGfnThread::NewNormalSieve() {
  AllocateNormal();
  for (int64_t b = m_job.m_nBMin; b <= m_job.m_nBMax; b += 2) {
    m_normal.m_cand.push_back(static_cast<int32_t>(b));
  }
  m_normal.m_N = m_job.m_nExponent;
  m_normal.m_kCur = KBeforePMin(m_job.m_pMin, 2 * static_cast<uint64_t>(m_job.m_nExponent));
  m_normal.m_pCur = 0;
  RunNormalSieve(nullptr);
}

void CGfnThread::NewNormalSievePacked() {
  AllocateNormal();
  for (int64_t b = m_job.m_nBMin; b <= m_job.m_nBMax; b += 2) {
    m_normal.m_cand.push_back(static_cast<int32_t>(b));
  }
  m_normal.m_N = m_job.m_nExponent;
  m_normal.m_pCur = 0;
  CPackedKDB db;
  auto log = [this](const std::string& line) { Post(line); };
  auto fail = [this](const std::string& line) { Fail(line); };
  uint64_t first = 0;
  const int64_t kBefore = KBeforePMin(m_job.m_pMin, 2 * static_cast<uint64_t>(m_job.m_nExponent));
  if (kBefore > 0) {
    // Start at the first stored k whose p is at least --p-min.
    if (!SeekPackedK(db, m_job.m_strPackedKDir, m_job.m_nLn, static_cast<uint64_t>(kBefore) + 1,
                     first, fail)) {
      return;
    }
  } else if (!StartPackedK(db, m_job.m_strPackedKDir, m_job.m_nLn, first, fail)) {
    return;
  }
  m_normal.m_kCur = static_cast<int64_t>(first);
  Post(StrFormat("Using packed k file %s.", db.GetFileName().c_str()));
  PackedKSource source(db, m_job.m_strPackedKDir, m_job.m_nLn, PackedKLoop::kNormal, log, fail);
  RunNormalSieve(&source);
}

void CGfnThread::ResumeNormalSieve() {
  int64_t pReached = 0;
  if (!LoadResumeFiles(false, pReached)) return;
  m_normal.m_N = m_job.m_nExponent;
  m_normal.m_kCur = pReached > 0 ? (pReached - 1) / (2 * m_normal.m_N) : 0;
  // The depth already reached stands until the loop sieves a further p.
  m_normal.m_pCur = static_cast<uint64_t>(std::max<int64_t>(pReached, 0));
  RunNormalSieve(nullptr);
}

void CGfnThread::ResumeNormalSievePacked() {
  const int32_t packedExponent = m_job.m_nExponent;
  int64_t pReached = 0;
  if (!LoadResumeFiles(true, pReached)) return;
  // Without an exponent of its own the sequence is the one of the files'.
  const int32_t sequenceExponent = packedExponent != 0 ? packedExponent : m_job.m_nExponent;
  const int sequenceLn = ExponentLog2(sequenceExponent);
  m_normal.m_N = m_job.m_nExponent;
  m_normal.m_kCur = pReached > 0 ? (pReached - 1) / (2 * m_normal.m_N) : 0;
  CPackedKDB db;
  auto log = [this](const std::string& line) { Post(line); };
  auto fail = [this](const std::string& line) { Fail(line); };
  if (m_normal.m_kCur > 0) {
    uint64_t found = 0;
    if (!SeekPackedK(db, m_job.m_strPackedKDir, sequenceLn, static_cast<uint64_t>(m_normal.m_kCur),
                     found, fail)) {
      Fail("Unable to locate current K value for restart.");
      return;
    }
    // The reached k is sieved once more when it is stored; when it is not,
    // the first stored value above it comes next.
    m_normal.m_kCur = static_cast<int64_t>(found);
  } else {
    uint64_t first = 0;
    if (!StartPackedK(db, m_job.m_strPackedKDir, sequenceLn, first, fail)) return;
    m_normal.m_kCur = static_cast<int64_t>(first);
  }
  m_normal.m_pCur = static_cast<uint64_t>(std::max<int64_t>(pReached, 0));
  if (sequenceExponent != m_job.m_nExponent) {
    Fail(StrFormat("Packed file exponent %d does not match save file exponent %d.",
                   sequenceExponent, m_job.m_nExponent));
    return;
  }
  Post(StrFormat("Using packed k file %s.", db.GetFileName().c_str()));
  PackedKSource source(db, m_job.m_strPackedKDir, sequenceLn, PackedKLoop::kNormal, log, fail);
  RunNormalSieve(&source);
}

bool CGfnThread::LoadResumeFiles(bool packed, int64_t& pReached) {
  m_job.m_nExponent = 0;
  m_job.m_nLn = 0;
  m_job.m_nBMax = 0;
  m_job.m_nBMin = 0;
  pReached = 0;
  ResumeInputs in;
  in.factorIn = &m_job.m_strFactorIn;
  in.sieveIn = &m_job.m_strSieveIn;

  // Factor file.
  const std::string& factorIn = m_job.m_strFactorIn;
  if (!factorIn.empty()) {
    CTextFile probe(factorIn);
    if (!probe.OpenRead()) {
      Fail(StrFormat("Unable to open input factor file %s.", factorIn.c_str()));
      return false;
    }
    probe.Close();
    Post(StrFormat("Loading input factor file %s.", factorIn.c_str()));
    FactorFileContents contents;
    if (!ReadFactorFile(factorIn, contents)) {
      Fail(StrFormat("Unable to open input factor file %s.", factorIn.c_str()));
      return false;
    }
    if (contents.readError != 0) {
      Fail(StrFormat("Unable to read input factor file %s: %s.  Nothing was sieved.",
                     factorIn.c_str(), std::strerror(contents.readError)));
      return false;
    }
    const FactorHeader& h = contents.header;
    if (h.hasBMin) m_job.m_nBMin = h.bMin;
    if (h.hasBMax) m_job.m_nBMax = h.bMax;
    if (h.hasExponent) m_job.m_nExponent = h.exponent;
    if (h.hasDepth) pReached = h.depth;
    in.factors = std::move(contents.records);
    for (size_t i = 0; i < in.factors.size(); ++i) {
      in.factorBases.push_back(LoadedBase{in.factors[i].b, contents.lineNumbers[i], &factorIn,
                                          contents.exponents[i]});
    }
    Post(StrFormat("%d factors loaded from %s.", static_cast<int>(in.factors.size()),
                   factorIn.c_str()));
  } else {
    if (packed) Post(StrFormat("%d factors loaded from %s.", 0, factorIn.c_str()));
    m_job.m_nBMin = -1;
    m_job.m_nBMax = -1;
  }

  // Candidate file.
  const std::string& sieveIn = m_job.m_strSieveIn;
  CandidateListContents list;
  if (!ReadCandidateList(sieveIn, list)) {
    Fail(StrFormat("Unable to open input sieve file %s.", sieveIn.c_str()));
    return false;
  }
  Post(StrFormat("Loading input sieve file %s.", sieveIn.c_str()));
  for (const int64_t depth : list.depths) {
    if (factorIn.empty()) {
      pReached = depth;
    } else if (depth > pReached) {
      // A factor file deeper than its candidate file is what a save cut
      // between its two renames leaves; the pair check below decides.
      Fail(StrFormat("Factor file %s and sieve file %s were terminated at different k values.",
                     factorIn.c_str(), sieveIn.c_str()));
      return false;
    } else {
      in.candDepth = depth;
    }
  }
  if (list.tooLargeLine != 0) {
    Fail(StrFormat("%s line %d: the base does not fit in 32 bits.  Nothing was sieved.",
                   sieveIn.c_str(), list.tooLargeLine));
    return false;
  }
  if (list.readError != 0) {
    Fail(StrFormat("Unable to read input sieve file %s: %s.  Nothing was sieved.", sieveIn.c_str(),
                   std::strerror(list.readError)));
    return false;
  }
  in.unreadLines = list.unreadLines;
  for (const CandidateEntry& e : list.bases) {
    in.candBases.push_back(LoadedBase{e.b, e.line, &sieveIn, e.exponent});
    if (m_job.m_nBMin < 0) m_job.m_nBMin = e.b;
    if (m_job.m_nBMax < e.b) m_job.m_nBMax = e.b;
    if (m_job.m_nExponent == 0) m_job.m_nExponent = e.exponent;
  }
  Post(StrFormat("%d b candidates loaded from %s.", static_cast<int>(in.candBases.size()),
                 sieveIn.c_str()));
  if (factorIn.empty() && in.candBases.empty() && in.unreadLines > 0) {
    Fail(StrFormat("No base could be read from sieve file %s (%d lines, none of them a "
                   "candidate).  Nothing was sieved.",
                   sieveIn.c_str(), in.unreadLines));
    return false;
  }

  m_job.m_nLn = ExponentLog2(m_job.m_nExponent);
  if (m_job.m_nLn == 0) {
    Fail(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", m_job.m_nExponent));
    return false;
  }

  in.bMin = m_job.m_nBMin;
  in.bMax = m_job.m_nBMax;
  in.exponent = m_job.m_nExponent;
  in.ln = m_job.m_nLn;
  in.pReached = pReached;
  auto fail = [this](const std::string& text) { Fail(text); };
  auto post = [this](const std::string& text) { Post(text); };
  std::vector<int32_t> cand;
  if (!CheckResumeInputs(in, cand, pReached, fail, post)) return false;

  Post(StrFormat("%c %d %d %d", '&', m_job.m_nBMin, m_job.m_nBMax, m_job.m_nExponent));

  AllocateNormal();
  m_normal.m_cand = std::move(cand);
  m_normal.m_factors = std::move(in.factors);
  return true;
}

}  // namespace zentrova
