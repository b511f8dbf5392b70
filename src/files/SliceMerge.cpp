#include "files/SliceMerge.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "files/AtomicTextFile.h"
#include "files/StrFormat.h"
#include "files/NumberParse.h"
#include "files/OutputLock.h"
#include "files/PNumber.h"
#include "files/TextFile.h"
#include "files/WideFactorFile.h"
#include "math/FactorCandidates.h"
#include "math/ModArith.h"
#include "math/WheelTables.h"

namespace zentrova {

namespace {

// What one slice's two files say.
struct Slice {
  int32_t bMin = 0, bMax = 0, exponent = 0;
  bool hasRange = false;
  bool hasDepth = false;
  UInt128 depth = 0;                                  // the candidate file's
  UInt128 factorDepth = kPUnreadable;                 // the normal factor file's header
  std::vector<uint32_t> candidates;                   // bit b: a candidate
  std::vector<std::pair<int32_t, UInt128>> factors;  // in the file's order
};

bool Fail(const LogFn& log, const std::string& text) {
  log(text);
  return false;
}

bool ReadNormalFactors(const std::string& path, Slice& s, const LogFn& log) {
  FactorFileContents contents;
  if (!ReadFactorFile(path, contents)) {
    return Fail(log, StrFormat("Unable to open input factor file %s.", path.c_str()));
  }
  if (contents.readError != 0) {
    return Fail(log, StrFormat("Unable to read input factor file %s: %s.", path.c_str(),
                               std::strerror(contents.readError)));
  }
  const FactorHeader& h = contents.header;
  if (contents.badLine > 1 || (contents.badLine == 1 && h.hasBMin)) {
    return Fail(log, StrFormat("%s line %d: %s.", path.c_str(), contents.badLine,
                               contents.badProblem));
  }
  if (contents.badLine == 1 || !h.hasBMin || !h.hasBMax || !h.hasExponent || !h.hasDepth) {
    return Fail(log, StrFormat("%s is not a factor file of the normal mode: no \"GFN Factors\" "
                               "header with the range, the exponent and the depth.",
                               path.c_str()));
  }
  s.bMin = h.bMin;
  s.bMax = h.bMax;
  s.exponent = h.exponent;
  s.factorDepth = h.depth;
  s.hasRange = true;
  for (size_t i = 0; i < contents.records.size(); ++i) {
    if (contents.exponents[i] != s.exponent) {
      return Fail(log,
                  StrFormat("%s line %d: exponent %d does not match the file's %d.", path.c_str(),
                            contents.lineNumbers[i], contents.exponents[i], s.exponent));
    }
    s.factors.emplace_back(contents.records[i].b, contents.records[i].p);
  }
  return true;
}

bool ReadWideFactors(const std::string& path, Slice& s, const LogFn& log) {
  CTextFile file(path);
  if (!file.OpenRead()) {
    return Fail(log, StrFormat("Unable to open input factor file %s.", path.c_str()));
  }
  std::string line;
  int lineNo = 0;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    const auto where = [&] { return StrFormat("%s line %d: ", path.c_str(), lineNo); };
    WideFactorHeader header;
    bool complete = false;
    bool wellFormed = false;
    if (ParseWideFactorHeader(line, header, &complete, &wellFormed)) {
      if (!wellFormed) {
        return Fail(log, where() + "a number of the header is not a whole decimal number.");
      }
      if (!complete) break;
      s.exponent = header.exponent;
      s.bMin = header.bMin;
      s.bMax = header.bMax;
      s.hasRange = true;
      continue;
    }
    if (!IsWholeLine(line)) break;  // a last line cut short: its base stays a candidate
    int64_t b = 0;
    UInt128 p = 0;
    int32_t exponent = 0;
    if (IsWideFactorFiller(line)) continue;
    if (!ParseWideFactorLine(line, b, exponent, p) || b <= 0 || b > INT32_MAX || p == 0) {
      if (!s.hasRange) break;  // no header first: told below
      return Fail(log, where() + "not a line of a wide factor file (\"1*<b>^<N> + 1 factor : "
                                 "<p>\", blank, or the header).");
    }
    if (exponent != s.exponent) {
      return Fail(log, where() + StrFormat("exponent %d does not match the file's %d.", exponent,
                                           s.exponent));
    }
    s.factors.emplace_back(static_cast<int32_t>(b), p);
  }
  if (file.ReadError() != 0) {
    return Fail(log, StrFormat("Unable to read input factor file %s: %s.", path.c_str(),
                               std::strerror(file.ReadError())));
  }
  if (!s.hasRange) {
    return Fail(log, StrFormat("%s is not a factor file of the wide mode: no \"Zentrova for "
                               "k^N+1 [k == b Min to b Max]\" line.",
                               path.c_str()));
  }
  return true;
}

// The candidate file as a bitmap over the range, every base checked.
bool ReadCandidates(const std::string& path, Slice& s, const LogFn& log) {
  CTextFile file(path);
  if (!file.OpenRead()) {
    return Fail(log, StrFormat("Unable to open input sieve file %s.", path.c_str()));
  }
  s.candidates.assign(BitmapWords(s.bMax), 0);
  std::string line;
  int lineNo = 0;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    const CandidateLine c = ParseCandidateLine(line);
    if (c.kind == CandidateLine::kHeader) {
      s.depth = c.depth;
      s.hasDepth = true;
      continue;
    }
    const auto where = [&] { return StrFormat("%s line %d: ", path.c_str(), lineNo); };
    if (c.kind == CandidateLine::kNoBase) return Fail(log, where() + c.problem + ".");
    if (c.kind == CandidateLine::kTooLarge || c.b < s.bMin || c.b > s.bMax ||
        ((c.b - s.bMin) & 1) != 0) {
      return Fail(log, where() + StrFormat("the base is not one of the range %d to %d of the "
                                           "factor file.",
                                           s.bMin, s.bMax));
    }
    if (c.exponent != 0 && c.exponent != s.exponent) {
      return Fail(log, where() + StrFormat("exponent %d does not match the factor file's %d.",
                                           c.exponent, s.exponent));
    }
    uint32_t& word = s.candidates[static_cast<size_t>(c.b) >> 5];
    const uint32_t bit = uint32_t{1} << (c.b & 31);
    if ((word & bit) != 0) return Fail(log, where() + StrFormat("base %d appears twice.", c.b));
    word |= bit;
  }
  if (file.ReadError() != 0) {
    return Fail(log, StrFormat("Unable to read input sieve file %s: %s.", path.c_str(),
                               std::strerror(file.ReadError())));
  }
  if (!s.hasDepth) return Fail(log, StrFormat("%s has no depth header.", path.c_str()));
  return true;
}

bool IsSet(const std::vector<uint32_t>& bits, int64_t b) {
  return ((bits[static_cast<size_t>(b) >> 5] >> (b & 31)) & 1) != 0;
}

// The two files of one slice make a pair: every factor verified, inside the
// range and of its parity, no deeper than the slice; every base of the range
// either struck once or a candidate. Factors of a wide file beyond the
// candidate file's depth (a run killed between saves) are left out.
bool CheckPair(const std::string& factorPath, const std::string& candPath, Slice& s, bool wide,
               const LogFn& log) {
  if (!wide && s.factorDepth != s.depth) {
    return Fail(log, StrFormat("Factor file %s and sieve file %s were saved at different depths "
                               "(%s and %s).",
                               factorPath.c_str(), candPath.c_str(), PToString(s.factorDepth).c_str(),
                               PToString(s.depth).c_str()));
  }
  const int ln = ExponentLog2(s.exponent);
  std::vector<uint32_t> struck(s.candidates.size(), 0);
  std::vector<std::pair<int32_t, UInt128>> kept;
  for (const auto& [b, p] : s.factors) {
    if (PBeyondLimit(p)) return Fail(log, factorPath + ": " + PBeyondText(p) + ".");
    if (wide && p > s.depth) continue;
    if (b < s.bMin || b > s.bMax || ((b - s.bMin) & 1) != 0 ||
        !VerifyFactor(ln, static_cast<uint64_t>(b), p)) {
      return Fail(log, StrFormat("%s: %s is no factor of %d^%d+1 in the range.",
                                 factorPath.c_str(), PToString(p).c_str(), b, s.exponent));
    }
    if (IsSet(struck, b) || IsSet(s.candidates, b)) {
      return Fail(log, StrFormat("Base %d is struck twice, or struck and a candidate, in %s and "
                                 "%s.",
                                 b, factorPath.c_str(), candPath.c_str()));
    }
    struck[static_cast<size_t>(b) >> 5] |= uint32_t{1} << (b & 31);
    kept.emplace_back(b, p);
  }
  s.factors = std::move(kept);
  for (int64_t b = s.bMin; b <= s.bMax; b += 2) {
    if (!IsSet(struck, b) && !IsSet(s.candidates, b)) {
      return Fail(log, StrFormat("Base %d is in neither %s nor %s: the files do not make a pair.",
                                 static_cast<int>(b), factorPath.c_str(), candPath.c_str()));
    }
  }
  return true;
}

bool ReadSlice(const SliceMergeInput& in, size_t i, Slice& s, const LogFn& log) {
  const std::string& f = in.factorFiles[i];
  const std::string& c = in.candidateFiles[i];
  if (!(in.wide ? ReadWideFactors(f, s, log) : ReadNormalFactors(f, s, log))) return false;
  if (ExponentLog2(s.exponent) == 0 || s.bMin <= 0 || s.bMax < s.bMin) {
    return Fail(log, StrFormat("%s names no valid range and exponent (b %d to %d, N = %d).",
                               f.c_str(), s.bMin, s.bMax, s.exponent));
  }
  return ReadCandidates(c, s, log) && CheckPair(f, c, s, in.wide, log);
}

bool WriteWide(const SliceMergeInput& in, const Slice& first, UInt128 depth,
               const std::vector<std::pair<int32_t, UInt128>>& factors,
               const std::vector<uint32_t>& candidates, int64_t count, const LogFn& log) {
  AtomicTextFile out(in.factorOut);
  if (!out.Open()) {
    return Fail(log, StrFormat("Unable to open output factor file %s: %s.", in.factorOut.c_str(),
                               std::strerror(errno)));
  }
  std::FILE* f = out.GetStream();
  std::string text = WideFactorHeaderLines({first.bMin, first.bMax, first.exponent});
  for (const auto& [b, p] : factors) {
    AppendWideFactorLine(text, b, first.exponent, p);
    if (text.size() >= (size_t{1} << 20)) {
      std::fwrite(text.data(), 1, text.size(), f);
      text.clear();
    }
  }
  std::fwrite(text.data(), 1, text.size(), f);
  if (!out.Finish()) {
    return Fail(log, StrFormat("Unable to write output factor file %s: %s.", in.factorOut.c_str(),
                               std::strerror(errno)));
  }
  const SieveRange range{first.bMin, first.bMax, first.exponent, ExponentLog2(first.exponent),
                         depth};
  if (!WriteCandidateBitmap(candidates, count, range, in.candidateOut, log)) return false;
  if (!out.Publish()) {
    return Fail(log, StrFormat("Unable to write output factor file %s: %s.", in.factorOut.c_str(),
                               std::strerror(errno)));
  }
  log(StrFormat("%d factors written to %s.", static_cast<int>(factors.size()),
                in.factorOut.c_str()));
  return true;
}

// The locks of one merge, held until it ends.
struct Claims {
  OutputLock factorOut, candidateOut;
  std::deque<InputLock> inputs;
};

bool Claim(const SliceMergeInput& in, Claims& claims, const LogFn& log) {
  if (SameFile(in.factorOut, in.candidateOut)) {
    return Fail(log, StrFormat("The factor output and the sieve output are the same file %s.  "
                               "Nothing was merged.",
                               in.factorOut.c_str()));
  }
  for (const auto* inputs : {&in.factorFiles, &in.candidateFiles}) {
    for (const std::string& input : *inputs) {
      for (const std::string& out : {in.factorOut, in.candidateOut}) {
        if (SameFile(input, out)) {
          return Fail(
              log, StrFormat("The output %s is also an input.  Nothing was merged.", out.c_str()));
        }
      }
    }
  }
  std::string error;
  if (!claims.factorOut.Acquire(in.factorOut, error) ||
      !claims.candidateOut.Acquire(in.candidateOut, error)) {
    return Fail(log, error + "  Nothing was merged.");
  }
  for (const auto* inputs : {&in.factorFiles, &in.candidateFiles}) {
    for (const std::string& input : *inputs) {
      if (!claims.inputs.emplace_back().Acquire(input, error)) {
        return Fail(log, error + "  Merge the slice once that run has ended.  Nothing was merged.");
      }
    }
  }
  return true;
}

// The first factor candidate above p, as the sieve takes them after a depth
// of p; 0 when a sieve stops before it (k at kKLimit).
UInt128 FirstCandidateAbove(const WheelTables& tables, int32_t exponent, UInt128 p) {
  const uint64_t twoN = 2 * static_cast<uint64_t>(exponent);
  const UInt128 kDone = p == 0 ? 0 : (p - 1) / twoN;
  if (kDone >= static_cast<UInt128>(kKLimit)) return 0;
  FactorCandidateGenerator generator(tables);
  generator.Reset(static_cast<int64_t>(twoN), static_cast<int64_t>(kDone));
  const FactorCandidate next = generator.NextFactorCandidate();
  return next.k >= kKLimit ? 0 : next.p;
}

// Slice i covers the factor candidates from its --p-min to its depth, and
// continues the slices before it, which cover every one up to `covered`:
// no overlap, no gap; and its files agree with its --p-min.
bool CheckTiling(const SliceMergeInput& in, size_t i, const Slice& s, const WheelTables& tables,
                 UInt128 covered, const LogFn& log) {
  const UInt128 start = in.pMins[i];
  const std::string& name = in.candidateFiles[i];
  const int number = static_cast<int>(i + 1);
  const uint64_t twoN = 2 * static_cast<uint64_t>(s.exponent);
  if (i > 0 && start <= covered) {
    return Fail(log,
                StrFormat("Slice %d (%s) starts at p = %s, not above p = %s"
                          " that the slices before it reached: the slices overlap or are "
                          "out of order.  Give the slices in increasing p, each starting above the "
                          "depth of the one before.",
                          number, name.c_str(), PToString(start).c_str(),
                          PToString(covered).c_str()));
  }
  // A new sieve stands at the p of the k before its first one until it
  // sieves a p (below the first candidate: depth 0).
  const int64_t kBefore = KBeforePMin(start, twoN);
  const UInt128 standing = kBefore > 0 ? static_cast<UInt128>(kBefore) * twoN + 1 : 0;
  if (s.depth < standing) {
    return Fail(log, StrFormat("Slice %d (%s) is at depth %s, below its --p-min %s"
                               ": it was not started there.  Give each slice the --p-min it was "
                               "started with, in the order of the slices.",
                               number, name.c_str(), PToString(s.depth).c_str(),
                               PToString(start).c_str()));
  }
  for (const auto& [b, p] : s.factors) {
    if (p < start) {
      return Fail(log, StrFormat("Slice %d (%s) struck %d^%d+1 with p = %s, below its "
                                 "--p-min %s: it was not started there.  Give each slice "
                                 "the --p-min it was started with, in the order of the slices.",
                                 number, in.factorFiles[i].c_str(), b, s.exponent,
                                 PToString(p).c_str(), PToString(start).c_str()));
    }
  }
  const UInt128 next = FirstCandidateAbove(tables, s.exponent, covered);
  if (next != 0 && next < start) {
    if (i == 0) {
      return Fail(log, StrFormat("Slice 1 (%s) starts at p = %s, but no slice sieved "
                                 "the p below it, from p = %s on: the first slice must "
                                 "start at the first p (--p-min 1).",
                                 name.c_str(), PToString(start).c_str(), PToString(next).c_str()));
    }
    return Fail(log, StrFormat("No slice sieved the p from %s to %s: slice %d "
                               "(%s) reached p = %s and slice %d starts at p = %s"
                               ".  If slice %d was stopped early, resume it with --p-max %s"
                               " and merge again.",
                               PToString(next).c_str(), PToString(start - 1).c_str(), number - 1,
                               in.candidateFiles[i - 1].c_str(), PToString(covered).c_str(), number,
                               PToString(start).c_str(), number - 1,
                               PToString(start - 1).c_str()));
  }
  return true;
}

}  // namespace

bool MergeSlices(const SliceMergeInput& in, const LogFn& log) {
  const size_t n = in.factorFiles.size();
  if (n == 0 || in.candidateFiles.size() != n) {
    return Fail(log, StrFormat("Each slice needs its factor file and its sieve file (%d and %d "
                               "given).",
                               static_cast<int>(n), static_cast<int>(in.candidateFiles.size())));
  }
  if (in.pMins.size() != n) {
    return Fail(log, StrFormat("Each slice needs the --p-min it was started with (%d slices, %d "
                               "--p-min given): the files do not say where a slice starts.",
                               static_cast<int>(n), static_cast<int>(in.pMins.size())));
  }
  for (size_t i = 1; i < n; ++i) {
    if (in.pMins[i] <= in.pMins[i - 1]) {
      return Fail(log, StrFormat("Slice %d (%s) starts at p = %s, not above the start "
                                 "p = %s of slice %d: give the slices in increasing p, "
                                 "each with the --p-min it was started with.",
                                 static_cast<int>(i + 1), in.candidateFiles[i].c_str(),
                                 PToString(in.pMins[i]).c_str(), PToString(in.pMins[i - 1]).c_str(),
                                 static_cast<int>(i)));
    }
  }
  // The outputs locked and the inputs free of runs before anything is read
  // or written; held to the end, so that no run starts on them meanwhile.
  Claims claims;
  if (!Claim(in, claims, log)) return false;
  const WheelTables tables;
  Slice first;
  std::vector<uint32_t> merged;
  std::vector<uint32_t> factored;
  std::vector<std::pair<int32_t, UInt128>> factors;
  UInt128 covered = 0;  // every factor candidate up to here is sieved by the slices so far
  for (size_t i = 0; i < n; ++i) {
    Slice s;
    if (!ReadSlice(in, i, s, log)) return false;
    if (i == 0) {
      first = s;
      merged = s.candidates;
      factored.assign(s.candidates.size(), 0);
    } else if (s.bMin != first.bMin || s.bMax != first.bMax || s.exponent != first.exponent) {
      return Fail(log, StrFormat("%s covers b %d to %d with N = %d, the first slice b %d to %d "
                                 "with N = %d: not slices of one sieve.",
                                 in.factorFiles[i].c_str(), s.bMin, s.bMax, s.exponent, first.bMin,
                                 first.bMax, first.exponent));
    }
    if (!CheckTiling(in, i, s, tables, covered, log)) return false;
    covered = std::max(covered, s.depth);
    for (size_t w = 0; w < merged.size(); ++w) merged[w] &= s.candidates[w];
    // The first slice that struck a base holds its smallest factor.
    for (const auto& [b, p] : s.factors) {
      if (IsSet(factored, b)) continue;
      factored[static_cast<size_t>(b) >> 5] |= uint32_t{1} << (b & 31);
      factors.emplace_back(b, p);
    }
    log(StrFormat("Slice %d: %s and %s, from p = %s to p = %s, %d factors.",
                  static_cast<int>(i + 1), in.factorFiles[i].c_str(), in.candidateFiles[i].c_str(),
                  PToString(in.pMins[i]).c_str(), PToString(s.depth).c_str(),
                  static_cast<int>(s.factors.size())));
  }
  const UInt128 depth = covered;
  int64_t count = 0;
  std::vector<int32_t> cand;
  for (int64_t b = first.bMin; b <= first.bMax; b += 2) {
    if (!IsSet(merged, b)) continue;
    ++count;
    if (!in.wide) cand.push_back(static_cast<int32_t>(b));
  }
  if (in.wide) return WriteWide(in, first, depth, factors, merged, count, log);
  std::vector<FactorRecord> records;
  records.reserve(factors.size());
  for (const auto& [b, p] : factors) records.push_back(FactorRecord{b, p});
  const SieveRange range{first.bMin, first.bMax, first.exponent, ExponentLog2(first.exponent),
                         depth};
  return WriteFactorAndCandidateFiles(records, cand, range, in.factorOut, in.candidateOut, log);
}

}  // namespace zentrova
