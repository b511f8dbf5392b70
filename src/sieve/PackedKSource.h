// Reads the k values of a sieve from a packed K file sequence, moving on to
// the next file of the sequence when one is exhausted; each k is checked as
// a factor candidate of the sequence's exponent first (CheckPackedKValues).
//
// The reading and the checks run on a thread of their own, a few thousand
// values ahead of the loop. The checks cost about 30 ns per k in batches
// with the vector Fermat test (reading alone about 5 ns, one scalar test
// about 200 ns); on the loop's producing thread, which reads a batch while
// every worker waits for it, that time is added to every p (one scalar test
// per k made a run over 1000 bases of N = 65536 on two threads a fifth
// slower); here it overlaps the workers' time. Values come out in order, and
// so do the messages: each is posted only when the loop reaches the point of
// the sequence it belongs to, so a loop that stops earlier posts nothing of
// what was read beyond its end.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "files/StrFormat.h"
#include "files/PackedKSequence.h"
#include "sieve/CandidateSource.h"

namespace zentrova {

class PackedKSource : public CandidateSource {
 public:
  // db is open and positioned (StartPackedK or SeekPackedK), and is used by
  // this object alone until it is destroyed. The end of the sequence is told
  // through log; damaged data and a value that is no factor candidate, which
  // end the run as a failure, through fail. fermat is the batch Fermat test
  // of the checks (the job's, from ChooseFermat; the vector test of the
  // processor when null).
  PackedKSource(CPackedKDB& db, std::string dir, int ln, PackedKLoop loop, LogFn log, LogFn fail,
                FermatBatchFn fermat = nullptr);
  ~PackedKSource() override;
  PackedKSource(const PackedKSource&) = delete;
  PackedKSource& operator=(const PackedKSource&) = delete;

  // Every k handed out has been checked; the first one that is not a factor
  // candidate ends the reading there, and is not handed out.
  bool Next(int64_t& k) override;

 private:
  // Values read and checked, then the lines that follow them in the
  // sequence (a switch to the next file, an end, a failure).
  struct Block {
    std::vector<uint64_t> ks;
    std::vector<std::pair<bool, std::string>> lines;  // true: a failure
    bool last = false;                                // the reading ends after it
  };

  void ReadAhead();
  Block ReadBlock();

  // Touched by the reading thread alone once it runs.
  CPackedKDB& m_db;
  std::string m_dir;
  int m_ln;
  PackedKLoop m_loop;
  FermatBatchFn m_fermat;
  bool m_haveNextFirst = false;  // the first value of the next file, checked already
  uint64_t m_nextFirst = 0;

  // Touched by the loop's thread alone.
  LogFn m_log;
  LogFn m_fail;
  Block m_current;
  size_t m_at = 0;
  bool m_started = false;
  bool m_ended = false;

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Block> m_ready;  // guarded by m_mutex
  bool m_stopping = false;    // guarded by m_mutex
  std::thread m_thread;
};

}  // namespace zentrova
