// Runs the producing side of a sieve loop on a thread of its own: while the
// loop applies batch i, the next batch is generated and computed (on the
// pool, the device or other processes). Batches come out in the order they
// were produced; one is held ready at most.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sieve/CandidateFeed.h"

namespace zentrova {

template <typename Result>
struct ProducedBatch {
  std::vector<Result> batch;
  FeedEnd end = FeedEnd::kNone;
  UInt128 beyond = 0;  // the p that ended the feed
  std::string error;    // a device, network or memory failure: not computed
  bool onCpu = false;   // every p computed by the CPU kernels (the device was dropped)
  // The last batch: the feed ended, or producing failed.
  bool Last() const { return end != FeedEnd::kNone || !error.empty(); }
};

template <typename Result>
class BatchPipeline {
 public:
  // produce fills one batch; an exception becomes the batch's error.
  using Produce = std::function<void(ProducedBatch<Result>&)>;

  explicit BatchPipeline(Produce produce) : m_produce(std::move(produce)) {
    m_thread = std::thread([this] { Main(); });
  }
  // Stops producing (a batch in the making is finished and dropped).
  ~BatchPipeline() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_quit = true;
      m_changed.notify_all();
    }
    m_thread.join();
  }
  BatchPipeline(const BatchPipeline&) = delete;
  BatchPipeline& operator=(const BatchPipeline&) = delete;

  // Waits for the next batch, or until stop() is true (asked every 20 ms):
  // nothing then. Not to be called again after the last batch.
  std::optional<ProducedBatch<Result>> Take(const std::function<bool()>& stop) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_full) {
      if (stop()) return std::nullopt;
      m_changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    ProducedBatch<Result> out = std::move(m_slot);
    m_full = false;
    m_changed.notify_all();
    return out;
  }

 private:
  void Main() {
    for (;;) {
      ProducedBatch<Result> next;
      try {
        m_produce(next);
      } catch (const std::exception& e) {
        next.error = e.what();
      }
      const bool last = next.Last();
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [&] { return m_quit || !m_full; });
      if (m_quit) return;
      m_slot = std::move(next);
      m_full = true;
      m_changed.notify_all();
      if (last) return;
    }
  }

  Produce m_produce;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  ProducedBatch<Result> m_slot;
  bool m_full = false;
  bool m_quit = false;
  std::thread m_thread;  // last: started once the rest is set up
};

}  // namespace zentrova
