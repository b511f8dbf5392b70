// Reads the k values of a sieve from a packed K file sequence, moving on to
// the next file of the sequence when one is exhausted.
#pragma once

#include <string>

#include "files/Format.h"
#include "files/PackedKSequence.h"
#include "sieve/CandidateSource.h"

namespace zentrova {

class PackedKSource : public CandidateSource {
 public:
  // db is open and positioned (StartPackedK or SeekPackedK). The end of the
  // sequence is told through log; damaged data, which ends the run as a
  // failure, through fail.
  PackedKSource(CPackedKDB& db, std::string dir, int ln, PackedKLoop loop, LogFn log, LogFn fail)
      : m_db(db),
        m_dir(std::move(dir)),
        m_ln(ln),
        m_loop(loop),
        m_log(std::move(log)),
        m_fail(std::move(fail)) {}

  bool Next(int64_t& k) override {
    uint64_t value = 0;
    std::string error;
    if (!m_db.ReadNext64KValue(value, error)) {
      // Only the end of a file leads to the next one; damaged data ends the
      // reading where it was found.
      if (!m_db.Exhausted()) {
        m_fail(StrFormat("Sequence file %s read error.", m_db.GetFileName().c_str()));
        m_fail(error);
        return false;
      }
      if (!NextPackedKFile(m_db, m_dir, m_ln, m_loop, value, m_log)) return false;
    }
    k = static_cast<int64_t>(value);
    return true;
  }

 private:
  CPackedKDB& m_db;
  std::string m_dir;
  int m_ln;
  PackedKLoop m_loop;
  LogFn m_log;
  LogFn m_fail;
};

}  // namespace zentrova
