// The new and resume jobs of the wide mode: the candidate bitmap from the
// range or from an earlier run's candidate file, then the loop.
//
// A resume reads the pair an earlier run left: the candidate file and the
// factor file it appends to. Before a single p is sieved the pair is checked
// as the normal resume checks its own (range and exponent from the factor
// file's header, every factor verified, every base of the range in one of
// the two files); a pair that fails is refused with both files untouched.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "files/AtomicTextFile.h"
#include "files/CandidateFiles.h"
#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/OutputLock.h"
#include "files/PackedKSequence.h"
#include "files/TextFile.h"
#include "math/ModArith.h"
#include "sieve/BitOps.h"
#include "sieve/JobInputs.h"
#include "sieve/Jobs.h"
#include "sieve/PackedKSource.h"
#include "sieve/SieveLoop.h"
#include "sieve/WideSieve.h"
#include "sieve/WorkerPool.h"
#include "platform/Files.h"

namespace zentrova {

namespace {

// The factor file a wide resume reads, checks and appends to: the one named
// as its input, else the output that it appends to, when that exists. An
// empty file holds nothing and counts as none.
struct PairFactorFile {
  std::string name;  // empty: none, and the candidate file must hold its whole range
  WideFactorHeader header;
  int64_t headerLine = 0;        // the line that holds it
  bool copyToOutput = false;     // the input, copied to the factor output (not there yet)
  bool removeEmptyOutput = false;  // an empty factor output, begun anew with its header
};

bool IsEmptyFile(const std::string& name) {
  std::error_code error;
  return std::filesystem::file_size(platform::FsPath(name), error) == 0 && !error;
}

// Which factor file pairs with the candidate file. An input given must be
// there; appending to an output other than the input would leave a factor
// file without the input's factors, so that output must not exist yet (the
// input is then copied to it before the run appends).
bool ChooseFactorFile(JobContext& ctx, PairFactorFile& pf) {
  const SieveJob& job = ctx.Job();
  const std::string& in = job.m_strFactorIn;
  const std::string& out = job.m_strFactorOut;
  if (in.empty()) {
    if (CTextFile::FileExists(out)) pf.name = out;
  } else {
    CTextFile probe(in);
    if (!probe.OpenRead()) {
      ctx.Fail(StrFormat("Unable to open input factor file %s.", in.c_str()));
      return false;
    }
    probe.Close();
    if (!SameFile(in, out)) {
      if (CTextFile::FileExists(out)) {
        ctx.Fail(StrFormat(
            "Factor output file %s exists and is not the factor input file %s: a wide resume "
            "appends to the factor file of the pair it continues, so name that file as both (or "
            "name a factor output that does not exist yet, to which the input is copied).  "
            "Nothing was sieved.",
            out.c_str(), in.c_str()));
        return false;
      }
      pf.copyToOutput = true;
    }
    pf.name = in;
  }
  if (!pf.name.empty() && IsEmptyFile(pf.name)) {
    pf.removeEmptyOutput = SameFile(pf.name, out);
    pf.copyToOutput = false;
    pf.name.clear();
  }
  return true;
}

// The header of the pair's factor file (its first line that is not blank):
// the range and exponent of the resume.
bool ReadPairHeader(JobContext& ctx, PairFactorFile& pf) {
  const std::string& name = pf.name;
  CTextFile file(name);
  if (!OpenFactorInput(ctx, file)) return false;
  std::string line;
  bool found = false;
  bool wellFormed = false;
  while (file.ReadLine(line) && !line.empty()) {
    ++pf.headerLine;
    if (line == "\n") continue;
    found = ParseWideFactorHeader(line, pf.header, nullptr, &wellFormed);
    break;
  }
  if (file.ReadError() != 0) {
    ctx.Fail(StrFormat("Unable to read input factor file %s: %s.  Nothing was sieved.",
                       name.c_str(), std::strerror(file.ReadError())));
    return false;
  }
  if (!found) {
    ctx.Fail(StrFormat("%s is not a factor file of the wide mode: its first line is not \"Zentrova "
                       "for k^N+1 [k == b Min to b Max]\".  Nothing was sieved.",
                       name.c_str()));
    return false;
  }
  if (!wellFormed) {
    ctx.Fail(StrFormat("%s line %" PRId64 ": a number of the header is not a whole decimal "
                       "number.  Nothing was sieved.",
                       name.c_str(), pf.headerLine));
    return false;
  }
  const WideFactorHeader& h = pf.header;
  if (ExponentLog2(h.exponent) == 0) {
    ctx.Fail(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", h.exponent));
    return false;
  }
  if (h.bMin <= 0 || h.bMax < h.bMin) {
    ctx.Fail(StrFormat("The input files give no valid b range (b Min %d, b Max %d).  Nothing was "
                       "sieved.",
                       h.bMin, h.bMax));
    return false;
  }
  return true;
}

// The candidate file of a resume: range, exponent, bitmap and depth; with a
// factor file, its range and exponent, which every candidate must fit.
bool LoadResume(JobContext& ctx, WideSieveLoop& loop, const PairFactorFile& pf) {
  SieveJob& job = ctx.Job();
  CandidateRange range;
  std::string last;  // the reader's last line: the reason when it refuses
  const LogFn log = [&](const std::string& line) {
    last = line;
    ctx.Post(line);
  };
  if (!LoadCandidateRange(job.m_strSieveIn, range, log,
                          pf.name.empty() ? nullptr : &pf.header)) {
    ctx.MarkFailed(last);
    ctx.Fail("Thread terminted due to input file parsing failure.");
    return false;
  }
  if (PBeyondLimit(range.depth)) {
    ctx.Fail(StrFormat("The depth of %s: %s.  Nothing was sieved.", job.m_strSieveIn.c_str(),
                       PBeyondText(range.depth).c_str()));
    return false;
  }
  job.m_nBMin = range.bMin;
  job.m_nBMax = range.bMax;
  job.m_nExponent = range.exponent;
  job.m_nLn = range.ln;
  WideSieveState& s = loop.State();
  s = WideSieveState{};
  s.m_bitmap = std::move(range.bitmap);
  s.m_left = range.count;
  const UInt128 kDepth =
      range.depth > 0 ? (range.depth - 1) / (2 * static_cast<uint64_t>(range.exponent)) : 0;
  s.m_kCur = static_cast<int64_t>(std::min(kDepth, static_cast<UInt128>(kKLimit)));
  // The depth reached stands until the loop sieves a further p.
  s.m_pCur = range.depth;
  return true;
}

// The bases of bMin, bMin + 2, ... <= bMax set in neither bitmap (struck may
// be empty): how many, and the first (-1 when there is none).
struct BasesMissing {
  int64_t first = -1;
  int64_t count = 0;
};
BasesMissing BasesInNeither(const std::vector<uint32_t>& cand, const std::vector<uint32_t>& struck,
                            int32_t bMin, int32_t bMax, bool countAll) {
  const uint32_t parity = (bMin & 1) == 0 ? 0x55555555u : 0xAAAAAAAAu;
  const size_t first = static_cast<size_t>(bMin) >> 5;
  const size_t last = static_cast<size_t>(bMax) >> 5;
  BasesMissing out;
  for (size_t w = first; w <= last; ++w) {
    uint32_t want = parity;
    if (w == first) want &= ~uint32_t{0} << (bMin & 31);
    if (w == last) want &= ~uint32_t{0} >> (31 - (bMax & 31));
    uint32_t have = cand[w];
    if (!struck.empty()) have |= struck[w];
    if (const uint32_t missing = want & ~have; missing != 0) {
      if (out.first < 0) out.first = static_cast<int64_t>(w) * 32 + __builtin_ctz(missing);
      out.count += __builtin_popcount(missing);
      if (!countAll) break;
    }
  }
  return out;
}

// The bases that neither file holds, with --missing-as-struck: taken as
// struck by a sieve that left no factor file here (a candidate file from
// another program), and said so with their number (`where`: "are in neither
// ...").
void NoteMissingTakenAsStruck(JobContext& ctx, const BasesMissing& missing,
                              const std::string& where) {
  const SieveJob& job = ctx.Job();
  ctx.Post(StrFormat("%" PRId64 " bases of the range %d to %d (the first %d) %s: taken as "
                     "struck elsewhere, as --missing-as-struck asks.",
                     missing.count, job.m_nBMin, job.m_nBMax, static_cast<int>(missing.first),
                     where.c_str()));
}

// A factor line of the pair's factor file, and what its check found.
struct FactorLineCheck {
  int64_t line = 0;
  int64_t b = 0;
  int32_t exponent = 0;
  UInt128 p = 0;
  uint8_t verdict = 0;  // 0: a proper factor; 1: does not divide; 2: b^N+1 itself
};

// Checks the factor lines of the pair's factor file, in file order: each of
// the file's exponent, inside its range, of b Min's parity, and a proper
// factor of its b^N+1 (verified here in exact arithmetic, on the job's
// threads); none striking a candidate with a p the candidate file's depth has
// passed. The candidates that a killed run struck beyond that depth leave the
// bitmap (their lines are in the file already, and are not written twice).
// Then every base of the range must be a candidate or struck. A base struck
// twice is taken once: files written before the resume took the late factors
// repeat them. A last line cut short is left out (removed before appending).
bool CheckFactorLines(JobContext& ctx, WideSieveLoop& loop, const PairFactorFile& pf) {
  const SieveJob& job = ctx.Job();
  const std::string& name = pf.name;
  const WideFactorHeader& h = pf.header;
  WideSieveState& s = loop.State();
  const UInt128 depth = s.m_pCur;
  CTextFile file(name);
  if (!file.OpenRead()) {
    ctx.Fail(StrFormat("Unable to open input factor file %s.", name.c_str()));
    return false;
  }
  std::vector<uint32_t> struck(s.m_bitmap.size(), 0);
  WorkerPool pool(std::max(job.m_threads, 1));
  constexpr size_t kChunk = size_t{1} << 16;
  constexpr size_t kSlice = 1024;  // lines per worker task
  std::vector<FactorLineCheck> chunk;
  chunk.reserve(kChunk);
  int64_t lineNo = 0;
  int64_t badLine = 0;  // a line that is no line of the file's format
  int64_t taken = 0;
  int64_t factors = 0;
  bool more = true;
  std::string line;
  while (more) {
    chunk.clear();
    while (chunk.size() < kChunk) {
      if (!file.ReadLine(line) || line.empty() || line.back() != '\n') {
        more = false;
        break;
      }
      ++lineNo;
      FactorLineCheck c;
      c.line = lineNo;
      if (ParseWideFactorLine(line, c.b, c.exponent, c.p)) {
        chunk.push_back(c);
        continue;
      }
      WideFactorHeader header;
      if (IsWideFactorFiller(line) ||
          (lineNo == pf.headerLine && ParseWideFactorHeader(line, header))) {
        continue;
      }
      // Lines already checked are handled first, so the messages keep file order.
      badLine = lineNo;
      more = false;
      break;
    }
    const size_t slices = (chunk.size() + kSlice - 1) / kSlice;
    pool.ParallelFor(slices, [&](size_t slice, int) {
      const size_t end = std::min(chunk.size(), (slice + 1) * kSlice);
      for (size_t i = slice * kSlice; i < end; ++i) {
        FactorLineCheck& c = chunk[i];
        if (c.b < h.bMin || c.b > h.bMax || c.p == 0) {
          c.verdict = 1;  // a range failure is named first; a p of 0 divides nothing
          continue;
        }
        const auto b = static_cast<uint64_t>(c.b);
        const UInt128 p = c.p;
        c.verdict = !VerifyFactor(job.m_nLn, b, p) ? 1 : !IsProperFactor(job.m_nLn, b, p) ? 2 : 0;
      }
    });
    for (const FactorLineCheck& c : chunk) {
      const char* const fname = name.c_str();
      if (c.exponent != h.exponent) {
        ctx.Fail(StrFormat("%s line %" PRId64 ": exponent %d does not match the exponent %d of "
                           "the files.  Nothing was sieved.",
                           fname, c.line, c.exponent, h.exponent));
        return false;
      }
      if (c.b < h.bMin || c.b > h.bMax) {
        ctx.Fail(StrFormat("%s line %" PRId64 ": base %" PRId64
                           " is outside the range %d to %d.  Nothing was sieved.",
                           fname, c.line, c.b, h.bMin, h.bMax));
        return false;
      }
      const auto b = static_cast<int32_t>(c.b);
      if (((b - h.bMin) & 1) != 0) {
        ctx.Fail(StrFormat("%s line %" PRId64 ": base %d does not have the parity of b Min %d.  "
                           "Nothing was sieved.",
                           fname, c.line, b, h.bMin));
        return false;
      }
      if (c.verdict == 1 && PBeyondLimit(c.p)) {
        ctx.Fail(StrFormat("%s line %" PRId64 ": %s.  Nothing was sieved.", fname, c.line,
                           PBeyondText(c.p).c_str()));
        return false;
      }
      if (c.verdict == 1) {
        ctx.Fail(StrFormat("%s line %" PRId64 ": %s does not divide %d^%d+1.  Nothing "
                           "was sieved.",
                           fname, c.line, PToString(c.p).c_str(), b, h.exponent));
        return false;
      }
      if (c.verdict == 2) {
        ctx.Fail(StrFormat("%s line %" PRId64 ": %s is %d^%d+1 itself, not a proper "
                           "factor.  Nothing was sieved.",
                           fname, c.line, PToString(c.p).c_str(), b, h.exponent));
        return false;
      }
      ++factors;
      if (SetBitTest(b, struck.data())) continue;  // struck before: taken once
      if (!ClearBitTest(b, s.m_bitmap.data())) continue;
      if (c.p <= depth) {
        ctx.Fail(StrFormat("%s line %" PRId64 ": base %d appears more than once.  Nothing was "
                           "sieved.",
                           fname, c.line, b));
        return false;
      }
      --s.m_left;
      ++taken;
    }
  }
  if (badLine != 0) {
    ctx.Fail(StrFormat("%s line %" PRId64 ": not a line of a wide factor file (\"1*<b>^<N> + 1 "
                       "factor : <p>\", blank, or the header).  Nothing was sieved.",
                       name.c_str(), badLine));
    return false;
  }
  if (file.ReadError() != 0) {
    ctx.Fail(StrFormat("Unable to read input factor file %s: %s.  Nothing was sieved.",
                       name.c_str(), std::strerror(file.ReadError())));
    return false;
  }
  file.Close();
  ctx.Post(StrFormat("%" PRId64 " factors loaded from %s.", factors, name.c_str()));
  const BasesMissing missing =
      BasesInNeither(s.m_bitmap, struck, h.bMin, h.bMax, job.m_missingStruck);
  if (missing.count > 0 && job.m_missingStruck) {
    NoteMissingTakenAsStruck(ctx, missing, "are in neither " + name + " nor " + job.m_strSieveIn);
  } else if (missing.count > 0) {
    ctx.Fail(StrFormat("Base %d is in neither %s nor %s: the files do not make a pair (one may be "
                       "cut short; bases struck by another program's sieve are taken as such "
                       "with --missing-as-struck).  Nothing was sieved.",
                       static_cast<int>(missing.first), name.c_str(), job.m_strSieveIn.c_str()));
    return false;
  }
  if (taken > 0) {
    ctx.Post(StrFormat("%" PRId64 " bases were struck beyond the depth %s of %s before "
                       "the last run ended; their factors are in %s, and they leave the "
                       "candidates.",
                       taken, PToString(depth).c_str(), job.m_strSieveIn.c_str(), name.c_str()));
  }
  return true;
}

// Without a factor file the candidate file is the whole record of the sieve
// (a first resume of one whose factor file was never written): it must hold
// every base of its range, or the bases it lacks would be lost without a
// trace; unless the user says they were struck elsewhere (a candidate file
// sieved by another program), with --missing-as-struck.
bool CheckCandidatesAlone(JobContext& ctx, WideSieveLoop& loop) {
  const SieveJob& job = ctx.Job();
  const BasesMissing missing = BasesInNeither(loop.State().m_bitmap, {}, job.m_nBMin,
                                              job.m_nBMax, job.m_missingStruck);
  if (missing.count == 0) return true;
  const std::string& factors =
      job.m_strFactorIn.empty() ? job.m_strFactorOut : job.m_strFactorIn;
  if (job.m_missingStruck) {
    NoteMissingTakenAsStruck(
        ctx, missing, "are not in " + job.m_strSieveIn + ", and there is no factor file");
    return true;
  }
  ctx.Fail(StrFormat("Base %d is not in %s, and there is no factor file (%s does not exist or is "
                     "empty) that could hold it: without one, the candidate file must hold every "
                     "base of its range (bases struck by another program's sieve are taken as "
                     "such with --missing-as-struck).  Nothing was sieved.",
                     static_cast<int>(missing.first), job.m_strSieveIn.c_str(), factors.c_str()));
  return false;
}

// The factor input copied to the factor output, which the run then appends
// to; the output appears only when complete.
bool CopyFactorInput(JobContext& ctx, const std::string& from) {
  const std::string& to = ctx.Job().m_strFactorOut;
  std::FILE* in = platform::OpenStream(from, "rb");
  if (in == nullptr) {
    ctx.Fail(StrFormat("Unable to open input factor file %s.", from.c_str()));
    return false;
  }
  AtomicTextFile out(to);
  if (!out.Open()) {
    const int error = errno;
    std::fclose(in);
    ctx.Fail(StrFormat("Unable to open output factor file %s.", to.c_str()));
    ctx.Fail(StrFormat("%s: %s.", to.c_str(), std::strerror(error)));
    return false;
  }
  std::vector<char> buffer(size_t{1} << 20);
  bool ok = true;
  for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;) {
    if (std::fwrite(buffer.data(), 1, n, out.GetStream()) != n) {
      ok = false;
      break;
    }
  }
  const int readError = std::ferror(in) != 0 ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(in);
  if (readError != 0) {
    ctx.Fail(StrFormat("Unable to read input factor file %s: %s.  Nothing was sieved.",
                       from.c_str(), std::strerror(readError)));
    return false;
  }
  if (!ok || !out.Commit()) {
    ctx.Fail(StrFormat("Unable to write output factor file %s: %s.  Nothing was sieved.",
                       to.c_str(), std::strerror(errno)));
    return false;
  }
  ctx.Post(StrFormat("Factor file %s copied to %s, which this run appends to.", from.c_str(),
                     to.c_str()));
  return true;
}

// A range of odd bases is refused before anything is written: the walk
// would strike none of them and the files would claim a depth for nothing.
bool EvenRange(JobContext& ctx) {
  const int32_t bMin = ctx.Job().m_nBMin;
  if ((bMin & 1) == 0) return true;
  ctx.Fail(WideOddRangeText(bMin) + "  Nothing was sieved.");
  return false;
}

// Everything a wide resume checks before a single p is sieved; the files are
// not touched until every check has passed.
bool PrepareResume(JobContext& ctx, WideSieveLoop& loop) {
  PairFactorFile pf;
  if (!ChooseFactorFile(ctx, pf)) return false;
  if (!pf.name.empty() && !ReadPairHeader(ctx, pf)) return false;
  if (!LoadResume(ctx, loop, pf)) return false;
  if (!EvenRange(ctx)) return false;
  if (pf.name.empty() ? !CheckCandidatesAlone(ctx, loop) : !CheckFactorLines(ctx, loop, pf)) {
    return false;
  }
  if (pf.copyToOutput && !CopyFactorInput(ctx, pf.name)) return false;
  if (pf.removeEmptyOutput) {
    // Begun anew below, with the header an empty file lacks; a symbolic
    // link stays, and the new file is made where it leads.
    std::error_code ignored;
    std::filesystem::remove(platform::FsPath(SaveTarget(ctx.Job().m_strFactorOut)), ignored);
  }
  return true;
}

}  // namespace

std::string WideOddRangeText(int32_t bMin) {
  return StrFormat("b Min %d is odd: the wide mode sieves even bases only, and b^N+1 is even "
                   "for every odd b, so a range of odd bases holds no prime.",
                   bMin);
}

void RunWideSieveJob(JobContext& ctx, bool resume) {
  WideSieveLoop loop(ctx);
  if (!resume) {
    if (!EvenRange(ctx)) return;
    loop.SetUpNew();
    RunNewSieve(ctx, loop, PackedKLoop::kWide);
    return;
  }
  if (!PrepareResume(ctx, loop)) return;
  if (!ctx.Job().m_strPackedKDir.empty()) {
    ctx.Post("Packed K file is not supported in wide sieve.  Running without it.");
  }
  loop.Run(nullptr);
}

}  // namespace zentrova
