// The job that fills a folder with the packed K file sequence of one exponent:
// every k the candidate generator yields, until stopped or until k would
// reach 2^63 - 256, the bound of every sieve (kKLimit). An existing sequence
// is extended behind its last value.
//
// The file header is published every second, at every status tick and at
// every rollover, so a job that is killed loses at most the values of its
// last second (a second run regenerates them), and
// no k at or past that bound is ever written (later sieves could not use it).
// Each new file appears under its name only once it is complete, and a run
// first clears away what a killed run left half made (PreparePackedKSequence).
#include <chrono>
#include <cinttypes>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/PackedKSequence.h"
#include "math/ModArith.h"
#include "sieve/Config.h"
#include "sieve/Jobs.h"
#include "sieve/JobMessage.h"

namespace zentrova {

namespace {

// Opens the sequence's last file for appending, or creates its first file
// holding the first k; false after the messages.
bool OpenSequence(JobContext& ctx, FactorCandidateGenerator& generator, CPackedKDB& db) {
  const SieveJob& job = ctx.Job();
  const int ln = job.m_nLn;
  std::string error;
  std::string name;
  int last = -1;
  if (!PreparePackedKSequence(job.m_strPackedKDir, ln, last, name, ctx.PostFn(), error)) {
    ctx.Fail(error);
    return false;
  }
  if (last >= 0) {
    db.SetFileName(name);
    // The last value is checked before the file is touched: one at or past
    // the k bound would take the generator past every sieve's last k.
    const bool inRange = db.OpenForRead(error) && CheckPackedKLastValue(db, ln, error);
    db.Close();
    if (!inRange || !db.WriteOpenDB(job.m_packedKFileBytes, error)) {
      ctx.Fail(StrFormat("Sequence file %s could not be opened.", name.c_str()));
      ctx.Fail(error);
      return false;
    }
    return true;
  }
  generator.Reset(2 * static_cast<int64_t>(job.m_nExponent), 0);
  const FactorCandidate first = generator.NextFactorCandidate();
  name = PackedKFileName(job.m_strPackedKDir, ln, 0);
  if (first.k >= kKLimit ||
      !CreatePackedKFile(db, name, static_cast<uint64_t>(first.k), job.m_packedKFileBytes, error)) {
    ctx.Fail(StrFormat("Sequence file %s could not be initialized.", name.c_str()));
    ctx.Fail(error);
    return false;
  }
  return true;
}

// The header is published at every tick, and once a second between them.
class HeaderClock {
 public:
  bool Due(JobContext& ctx, UInt128 p) {
    bool due = false;
    if (ctx.TakeTick()) {
      ctx.Post(FormatStatusLine(0, p));
      due = true;
    }
    if (++m_sinceClock == config::kPackClockEvery) {
      m_sinceClock = 0;
      due |= std::chrono::steady_clock::now() - m_last >= std::chrono::seconds(1);
    }
    if (due) m_last = std::chrono::steady_clock::now();
    return due;
  }

 private:
  std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
  uint32_t m_sinceClock = 0;
};

}  // namespace

void RunPackedKCreateJob(JobContext& ctx) {
  const SieveJob& job = ctx.Job();
  const std::string& dir = job.m_strPackedKDir;
  const int ln = job.m_nLn;
  const FermatBatchFn fermat = FermatBatchFor(job.m_isa);
  FactorCandidateGenerator generator(ctx.Wheel(), fermat,
                                     fermat == &FermatBatchScalar ? 4 : config::kVectorFermatBatch);
  ctx.Post(StrFormat("Starting packed file generation in directory %s.", dir.c_str()));
  ctx.Post(StrFormat("Using exponent %d which is 2^%d.", job.m_nExponent, ln));
  CPackedKDB db;
  if (!OpenSequence(ctx, generator, db)) return;
  uint64_t k = 0;
  db.LastValue(k);
  generator.Reset(2 * static_cast<int64_t>(job.m_nExponent), static_cast<int64_t>(k));
  ctx.SetPackFile(PackedKFileNumber(db.GetFileName()));

  HeaderClock clock;
  std::string error;
  while (!ctx.StopRequested()) {
    const FactorCandidate c = generator.NextFactorCandidate();
    if (c.k >= kKLimit || (job.m_pMax != 0 && c.p > job.m_pMax)) {
      if (c.k >= kKLimit) {
        ctx.Post("k reached 2^63 - 256, the bound of every sieve, stopping program.");
      } else {
        ctx.Post(StrFormat("Reached the p limit %s.", PToString(job.m_pMax).c_str()));
      }
      break;
    }
    if (clock.Due(ctx, c.p) && !db.FlushHeader(error)) {
      ctx.Fail(StrFormat("Sequence file %s write error.", db.GetFileName().c_str()));
      ctx.Fail(error);
      return;
    }
    // A full file is told by its count, not by the text of the write's error.
    if (db.Count() >= db.Capacity()) {
      if (!RollOverPackedKFile(db, dir, ln, static_cast<uint64_t>(c.k), job.m_packedKFileBytes,
                               ctx.PostFn(), ctx.FailFn())) {
        return;
      }
      ctx.CountP(1, c.p);
      ctx.SetPackFile(PackedKFileNumber(db.GetFileName()));
      continue;
    }
    if (db.WriteNew64KValue(static_cast<uint64_t>(c.k), error)) {
      ctx.CountP(1, c.p);
      continue;
    }
    ctx.Fail(StrFormat("Sequence file %s write error.", db.GetFileName().c_str()));
    ctx.Fail(error);
    return;
  }
  db.Close();
  ctx.Post("Packed K file generation stopped.");
}

}  // namespace zentrova
