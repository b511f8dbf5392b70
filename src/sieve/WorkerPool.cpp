#include "sieve/WorkerPool.h"

#include <chrono>

namespace zentrova {

int HardwareThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

WorkerPool::WorkerPool(int threads) {
  for (int i = 1; i < threads; ++i) m_workers.emplace_back([this, i] { WorkerMain(i); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = true;
  }
  m_wake.notify_all();
  for (std::thread& t : m_workers) t.join();
}

void WorkerPool::Drain(int thread) {
  const auto start = std::chrono::steady_clock::now();
  bool worked = false;
  for (size_t i = m_next.fetch_add(1); i < m_count.load(); i = m_next.fetch_add(1)) {
    (*m_body.load())(i, thread);
    worked = true;
  }
  if (worked) {
    const auto spent = std::chrono::steady_clock::now() - start;
    m_busyNanos.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count(),
                          std::memory_order_relaxed);
  }
}

void WorkerPool::WorkerMain(int thread) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [&] { return m_quit || m_generation != seen; });
    if (m_quit) return;
    seen = m_generation;
    ++m_busy;
    lock.unlock();
    Drain(thread);
    lock.lock();
    if (--m_busy == 0) m_done.notify_all();
  }
}

void WorkerPool::ParallelFor(size_t count, const Body& body) {
  if (m_workers.empty() || count <= 1) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < count; ++i) body(i, 0);
    const auto spent = std::chrono::steady_clock::now() - start;
    m_busyNanos.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count(),
                          std::memory_order_relaxed);
    return;
  }
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    // A worker that woke late for the previous loop must leave it first.
    m_done.wait(lock, [&] { return m_busy == 0; });
    m_body.store(&body);
    m_count.store(count);
    m_next.store(0);
    ++m_generation;
  }
  m_wake.notify_all();
  Drain(0);
  std::unique_lock<std::mutex> lock(m_mutex);
  // Every index has been taken; wait for the workers still running theirs.
  m_done.wait(lock, [&] { return m_busy == 0; });
  m_count.store(0);
  m_body.store(nullptr);
}

}  // namespace zentrova
