// The job that fills a folder with the packed K file sequence of one exponent:
// every k the candidate generator yields, until stopped or until p would
// reach 2^61. An existing sequence is extended behind its last value.
//
// The file header is published every second, at every status tick and at
// every rollover, so a job that is killed loses at most the values of its
// last second (a second run regenerates them), and
// no k whose p is 2^61 or more is ever written (later sieves could not use it).
// Each new file appears under its name only once it is complete, and a run
// first clears away what a killed run left half made (PreparePackedKSequence).
#include <cinttypes>

#include <chrono>

#include "files/Format.h"
#include "files/PackedKSequence.h"
#include "math/ModArith.h"
#include "sieve/Config.h"
#include "sieve/GfnThread.h"
#include "sieve/StatusLine.h"

namespace zentrova {

void CGfnThread::CreatePackedKFiles() {
  const std::string& dir = m_job.m_strPackedKDir;
  const int ln = m_job.m_nLn;
  const uint64_t twoN = 2 * static_cast<uint64_t>(m_job.m_nExponent);
  const uint64_t fileBytes = m_job.m_packedKFileBytes;
  auto log = [this](const std::string& line) { Post(line); };
  auto fail = [this](const std::string& line) { Fail(line); };
  const FermatBatchFn fermat = FermatBatchFor(m_job.m_isa);
  FactorCandidateGenerator generator(
      *m_wheel, fermat, fermat == &FermatBatchScalar ? 4 : config::kVectorFermatBatch);
  Post(StrFormat("Starting packed file generation in directory %s.", dir.c_str()));
  Post(StrFormat("Using exponent %d which is 2^%d.", m_job.m_nExponent, ln));

  CPackedKDB db;
  std::string error;
  std::string name;
  int last = -1;
  if (!PreparePackedKSequence(dir, ln, last, name, log, error)) {
    Fail(error);
    return;
  }
  if (last >= 0) {
    db.SetFileName(name);
    // The last value's p is checked before the file is touched: one of 2^61
    // or more would wrap the generator's k round to 0.
    const bool inRange = db.OpenForRead(error) && CheckPackedKLastValue(db, ln, error);
    db.Close();
    if (!inRange || !db.WriteOpenDB(fileBytes, error)) {
      Fail(StrFormat("Sequence file %s could not be opened.", name.c_str()));
      Fail(error);
      return;
    }
  } else {
    generator.Reset(static_cast<int64_t>(twoN), 0);
    const FactorCandidate first = generator.NextFactorCandidate();
    name = PackedKFileName(dir, ln, 0);
    if (first.p >= kMaxModulus ||
        !CreatePackedKFile(db, name, static_cast<uint64_t>(first.k), fileBytes, error)) {
      Fail(StrFormat("Sequence file %s could not be initialized.", name.c_str()));
      Fail(error);
      return;
    }
  }
  uint64_t k = 0;
  db.LastValue(k);
  generator.Reset(static_cast<int64_t>(twoN), static_cast<int64_t>(k));
  m_packFile.store(PackedKFileNumber(db.GetFileName()), std::memory_order_relaxed);

  auto lastFlush = std::chrono::steady_clock::now();
  uint32_t sinceClock = 0;
  while (m_bStopRequest.load(std::memory_order_relaxed) == 0) {
    const FactorCandidate c = generator.NextFactorCandidate();
    if (c.p >= kMaxModulus || (m_job.m_pMax != 0 && c.p > m_job.m_pMax)) {
      if (c.p >= kMaxModulus) {
        Post("P value reached 62 bits, stopping program.");
      } else {
        Post(StrFormat("Reached the p limit %" PRIu64 ".", m_job.m_pMax));
      }
      break;
    }
    m_pLast.store(c.p, std::memory_order_relaxed);
    const int32_t tick = m_nStatusTick.load(std::memory_order_relaxed);
    bool flush = false;
    if (tick != m_job.m_nTickSeen) {
      Post(FormatStatusLine(0, c.p));
      m_job.m_nTickSeen = tick;
      flush = true;
    }
    if (++sinceClock == config::kPackClockEvery) {
      sinceClock = 0;
      flush |= std::chrono::steady_clock::now() - lastFlush >= std::chrono::seconds(1);
    }
    if (flush) {
      lastFlush = std::chrono::steady_clock::now();
      if (!db.FlushHeader(error)) {
        Fail(StrFormat("Sequence file %s write error.", db.GetFileName().c_str()));
        Fail(error);
        return;
      }
    }
    if (db.WriteNew64KValue(static_cast<uint64_t>(c.k), error)) {
      m_pCount.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    if (error.compare(0, 19, "File write overflow") == 0) {
      if (!RollOverPackedKFile(db, dir, ln, static_cast<uint64_t>(c.k), fileBytes, log, fail)) {
        return;
      }
      m_pCount.fetch_add(1, std::memory_order_relaxed);
      m_packFile.store(PackedKFileNumber(db.GetFileName()), std::memory_order_relaxed);
      continue;
    }
    Fail(StrFormat("Sequence file %s write error.", db.GetFileName().c_str()));
    Fail(error);
    return;
  }
  db.Close();
  Post("Packed K file generation stopped.");
}

}  // namespace zentrova
