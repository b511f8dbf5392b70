#include "sieve/PackedKSource.h"

#include "sieve/kernels/Dispatch.h"

namespace zentrova {

namespace {

// Values per block, and blocks read ahead of the loop.
constexpr size_t kBlockValues = 4096;
constexpr size_t kBlocksAhead = 2;

}  // namespace

PackedKSource::PackedKSource(CPackedKDB& db, std::string dir, int ln, PackedKLoop loop, LogFn log,
                             LogFn fail, FermatBatchFn fermat)
    : m_db(db),
      m_dir(std::move(dir)),
      m_ln(ln),
      m_loop(loop),
      m_fermat(fermat != nullptr ? fermat : FermatBatchFor(Isa::kAuto)),
      m_log(std::move(log)),
      m_fail(std::move(fail)) {}

PackedKSource::~PackedKSource() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

bool PackedKSource::Next(int64_t& k) {
  if (!m_started) {
    // Started at the first request, so that the thread never runs for a
    // source that is not read.
    m_started = true;
    m_thread = std::thread([this] { ReadAhead(); });
  }
  while (m_at == m_current.ks.size()) {
    // The lines behind the values handed out, once the loop asks beyond them.
    for (const auto& [failure, line] : m_current.lines) (failure ? m_fail : m_log)(line);
    m_current.lines.clear();
    if (m_ended || m_current.last) {
      m_ended = true;
      return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_ready.empty(); });
    m_current = std::move(m_ready.front());
    m_ready.pop_front();
    lock.unlock();
    m_changed.notify_all();
    m_at = 0;
  }
  k = static_cast<int64_t>(m_current.ks[m_at++]);
  return true;
}

void PackedKSource::ReadAhead() {
  for (;;) {
    Block block = ReadBlock();
    const bool last = block.last;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_stopping || m_ready.size() < kBlocksAhead; });
    if (m_stopping) return;
    m_ready.push_back(std::move(block));
    lock.unlock();
    m_changed.notify_all();
    if (last) return;
  }
}

PackedKSource::Block PackedKSource::ReadBlock() {
  Block block;
  block.ks.reserve(kBlockValues);
  // A first value carried over from NextPackedKFile has been checked there.
  size_t carried = 0;
  if (m_haveNextFirst) {
    block.ks.push_back(m_nextFirst);
    m_haveNextFirst = false;
    carried = 1;
  }
  // The values of the current file only, so that a block is checked against
  // one file's positions.
  const uint64_t first = m_db.ValuesRead();
  std::string error;
  bool damaged = false;
  while (block.ks.size() < kBlockValues && !m_db.Exhausted()) {
    uint64_t value = 0;
    if (!m_db.ReadNext64KValue(value, error)) {
      damaged = true;
      break;
    }
    block.ks.push_back(value);
  }
  const std::string readError =
      StrFormat("Sequence file %s read error.", m_db.GetFileName().c_str());
  std::string refusal;
  const size_t good = carried + CheckPackedKValues(m_db, m_ln, first, block.ks.data() + carried,
                                                   block.ks.size() - carried, m_fermat, refusal);
  if (good < block.ks.size()) {
    // The first value that is no candidate comes before any damage found
    // behind it.
    block.ks.resize(good);
    block.lines = {{true, readError}, {true, refusal}};
    block.last = true;
    return block;
  }
  if (damaged) {
    block.lines = {{true, readError}, {true, error}};
    block.last = true;
    return block;
  }
  if (!m_db.Exhausted()) return block;
  // The file is done: the next one is opened now, its lines kept for when
  // the loop gets there.
  uint64_t next = 0;
  const bool opened = NextPackedKFile(
      m_db, m_dir, m_ln, m_loop, next,
      [&block](const std::string& line) { block.lines.emplace_back(false, line); },
      [&block](const std::string& line) { block.lines.emplace_back(true, line); });
  if (opened) {
    m_haveNextFirst = true;
    m_nextFirst = next;
  } else {
    block.last = true;
  }
  return block;
}

}  // namespace zentrova
