// A fixed pool of threads for data-parallel loops. ParallelFor hands out the
// indices 0 .. count-1 from an atomic counter to the pool's threads and the
// caller, and returns when all are done. No work is stolen across calls.
// The body also gets the number of the thread running it (0: the caller,
// 1 .. Size()-1: the pool's), so that callers can keep per-thread buffers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zentrova {

class WorkerPool {
 public:
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int Size() const { return static_cast<int>(m_workers.size()) + 1; }
  using Body = std::function<void(size_t index, int thread)>;
  void ParallelFor(size_t count, const Body& body);
  // Seconds the threads spent running bodies, all threads together.
  double BusySeconds() const { return static_cast<double>(m_busyNanos.load()) * 1e-9; }

 private:
  void WorkerMain(int thread);
  void Drain(int thread);

  std::vector<std::thread> m_workers;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_done;
  uint64_t m_generation = 0;
  bool m_quit = false;
  int m_busy = 0;
  std::atomic<const Body*> m_body{nullptr};
  std::atomic<size_t> m_count{0};
  std::atomic<size_t> m_next{0};
  std::atomic<int64_t> m_busyNanos{0};
};

// All hardware threads, at least one.
int HardwareThreads();

}  // namespace zentrova
