// The new and resume jobs of the normal mode: they build the list of bases
// (from the range, or from the files an earlier run saved) and run the loop.
//
// Input files are checked before anything is sieved: every base must lie in
// the range, have b Min's parity and appear once over both files. A file that
// breaks this is refused with a line naming the file, the line and the base,
// and nothing is written.
#include <cinttypes>

#include <algorithm>
#include <cstdint>

#include "files/Format.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"
#include "files/PackedKSequence.h"
#include "sieve/GfnThread.h"
#include "sieve/PackedKSource.h"

namespace zentrova {

namespace {

// The first k whose p = k*2N + 1 is at least pMin, minus one: the generator
// continues with the k after the one it is given.
int64_t KBeforePMin(uint64_t pMin, uint64_t twoN) {
  if (pMin <= 1) return 0;
  const uint64_t k = (pMin - 1 + twoN - 1) / twoN;  // ceil((pMin - 1) / 2N)
  return k == 0 ? 0 : static_cast<int64_t>(k - 1);
}

struct LoadedBase {
  int32_t b;
  int line;
  const std::string* file;
};

}  // namespace

void CGfnThread::AllocateNormal() {
  m_normal = NormalSieveState{};
  const int64_t n =
      (static_cast<int64_t>(m_job.m_nBMax) - static_cast<int64_t>(m_job.m_nBMin)) / 2 + 4;
  if (n > 0) {
    m_normal.m_pCand.reserve(static_cast<size_t>(n));
  }
}

void CGfnThread::NewNormalSieve() {
  AllocateNormal();
  for (int64_t b = m_job.m_nBMin; b <= m_job.m_nBMax; b += 2) {
    m_normal.m_pCand.push_back(static_cast<int32_t>(b));
  }
  m_normal.m_N = m_job.m_nExponent;
  m_normal.m_kCur = KBeforePMin(m_job.m_pMin, 2 * static_cast<uint64_t>(m_job.m_nExponent));
  m_normal.m_pCur = 0;
  RunNormalSieve(nullptr);
}

void CGfnThread::NewNormalSievePacked() {
  AllocateNormal();
  for (int64_t b = m_job.m_nBMin; b <= m_job.m_nBMax; b += 2) {
    m_normal.m_pCand.push_back(static_cast<int32_t>(b));
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
  PackedKSource source(db, m_job.m_strPackedKDir, m_job.m_nLn, PackedKLoop::kNormal, log);
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
  PackedKSource source(db, m_job.m_strPackedKDir, sequenceLn, PackedKLoop::kNormal, log);
  RunNormalSieve(&source);
}

bool CGfnThread::LoadResumeFiles(bool packed, int64_t& pReached) {
  m_job.m_nExponent = 0;
  m_job.m_nLn = 0;
  m_job.m_nBMax = 0;
  m_job.m_nBMin = 0;
  pReached = 0;
  std::vector<LoadedBase> factorBases;
  std::vector<FactorRecord> factors;

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
    const FactorHeader& h = contents.header;
    if (h.hasBMin) m_job.m_nBMin = h.bMin;
    if (h.hasBMax) m_job.m_nBMax = h.bMax;
    if (h.hasExponent) m_job.m_nExponent = h.exponent;
    if (h.hasDepth) pReached = h.depth;
    factors = contents.records;
    for (size_t i = 0; i < factors.size(); ++i) {
      factorBases.push_back(LoadedBase{factors[i].b, contents.lineNumbers[i], &factorIn});
    }
    Post(StrFormat("%d factors loaded from %s.", static_cast<int>(factors.size()),
                   factorIn.c_str()));
  } else {
    if (packed) Post(StrFormat("%d factors loaded from %s.", 0, factorIn.c_str()));
    m_job.m_nBMin = -1;
    m_job.m_nBMax = -1;
  }

  // Candidate file.
  const std::string& sieveIn = m_job.m_strSieveIn;
  CTextFile file(sieveIn);
  if (!file.OpenRead()) {
    Fail(StrFormat("Unable to open input sieve file %s.", sieveIn.c_str()));
    return false;
  }
  Post(StrFormat("Loading input sieve file %s.", sieveIn.c_str()));
  std::vector<LoadedBase> candBases;
  std::string line;
  int lineNo = 0;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    int64_t depth = 0;
    if (ParseCandidateHeader(line, depth)) {
      if (!factorIn.empty()) {
        if (depth != pReached) {
          Fail(StrFormat("Factor file %s and sieve file %s were terminated at different k values.",
                         factorIn.c_str(), sieveIn.c_str()));
          return false;
        }
      } else {
        pReached = depth;
      }
      continue;
    }
    const int32_t b = ParseCandidateBase(line);
    if (b <= 0) continue;
    if (b == INT32_MAX && ParseInt64At(line, 0) > INT32_MAX) {
      Fail(StrFormat("%s line %d: the base does not fit in 32 bits.  Nothing was sieved.",
                     sieveIn.c_str(), lineNo));
      return false;
    }
    candBases.push_back(LoadedBase{b, lineNo, &sieveIn});
    if (m_job.m_nBMin < 0) m_job.m_nBMin = b;
    if (m_job.m_nBMax < b) m_job.m_nBMax = b;
    int32_t exponent = 0;
    if (m_job.m_nExponent == 0 && ParseCandidateExponent(line, exponent)) {
      m_job.m_nExponent = exponent;
    }
  }
  file.Close();
  Post(StrFormat("%d b candidates loaded from %s.", static_cast<int>(candBases.size()),
                 sieveIn.c_str()));

  m_job.m_nLn = ExponentLog2(m_job.m_nExponent);
  if (m_job.m_nLn == 0) {
    Fail(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", m_job.m_nExponent));
    return false;
  }

  // Every base once, inside the range, of b Min's parity.
  const int32_t bMin = m_job.m_nBMin;
  const int32_t bMax = m_job.m_nBMax;
  if (!candBases.empty() || !factorBases.empty()) {
    if (bMin <= 0 || bMax < bMin) {
      Fail(StrFormat("The input files give no valid b range (b Min %d, b Max %d).  Nothing was "
                     "sieved.",
                     bMin, bMax));
      return false;
    }
    std::vector<uint8_t> seen(static_cast<size_t>((static_cast<int64_t>(bMax) - bMin) / 2 + 1), 0);
    auto check = [&](const LoadedBase& base) {
      if (base.b < bMin || base.b > bMax) {
        Fail(StrFormat("%s line %d: base %d is outside the range %d to %d.  Nothing was sieved.",
                       base.file->c_str(), base.line, base.b, bMin, bMax));
        return false;
      }
      if (((base.b - bMin) & 1) != 0) {
        Fail(StrFormat("%s line %d: base %d does not have the parity of b Min %d.  Nothing was "
                       "sieved.",
                       base.file->c_str(), base.line, base.b, bMin));
        return false;
      }
      uint8_t& slot = seen[static_cast<size_t>((static_cast<int64_t>(base.b) - bMin) / 2)];
      if (slot != 0) {
        Fail(StrFormat("%s line %d: base %d appears more than once.  Nothing was sieved.",
                       base.file->c_str(), base.line, base.b));
        return false;
      }
      slot = 1;
      return true;
    };
    for (const LoadedBase& base : factorBases) {
      if (!check(base)) return false;
    }
    for (const LoadedBase& base : candBases) {
      if (!check(base)) return false;
    }
  }

  Post(StrFormat("%c %d %d %d", '&', m_job.m_nBMin, m_job.m_nBMax, m_job.m_nExponent));

  AllocateNormal();
  for (const LoadedBase& base : candBases) m_normal.m_pCand.push_back(base.b);
  m_normal.m_pFactors = std::move(factors);
  return true;
}

}  // namespace zentrova
