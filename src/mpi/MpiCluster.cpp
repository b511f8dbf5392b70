// The MPI transport of a run spread over processes. Only one thread of a
// process talks at a time (the job's thread, or the thread making its next
// batch, in turn), so MPI_THREAD_SERIALIZED is enough. Process 0's sends do
// not wait for the receiver: it may be sending a process its next part while
// that process sends it the results of the last, which two blocking sends
// would deadlock; the bytes are kept until MPI is done with them. The other
// processes' sends (results) do wait, so that their transfer goes on while
// process 0 waits for it, not only when the sender next calls MPI. Waiting for a
// message polls with short sleeps: MPI's own blocking receive keeps a core
// busy, which the sieve's workers need.
#include "mpi/MpiCluster.h"

#include <mpi.h>

#include <chrono>
#include <climits>
#include <iterator>
#include <list>
#include <string>
#include <thread>

#include "files/StrFormat.h"
#include "mpi/Launcher.h"

namespace zentrova {

namespace {

constexpr int kTag = 7;

std::string MpiErrorText(int code) {
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  if (MPI_Error_string(code, text, &length) != MPI_SUCCESS) return StrFormat("error %d", code);
  return std::string(text, static_cast<size_t>(length));
}

void Check(int code, const char* what, int rank) {
  if (code != MPI_SUCCESS) {
    throw ClusterError(StrFormat("MPI %s with process %d failed: %s", what, rank,
                                 MpiErrorText(code).c_str()));
  }
}

class MpiCluster : public BatchCluster {
 public:
  MpiCluster(int rank, int size) : m_rank(rank), m_size(size) {}

  ~MpiCluster() override {
    if (m_rank == 0) {
      const std::string quit = ByteWriter(ClusterMessage::kQuit).Bytes();
      for (int r = 1; r < m_size; ++r) {
        MPI_Send(quit.data(), static_cast<int>(quit.size()), MPI_BYTE, r, kTag, MPI_COMM_WORLD);
      }
    }
    for (Pending& p : m_pending) MPI_Wait(&p.request, MPI_STATUS_IGNORE);
    MPI_Finalize();
  }

  int Rank() const override { return m_rank; }
  int Size() const override { return m_size; }

  void Send(int rank, const std::string& bytes) override {
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
      throw ClusterError(StrFormat("A message of %zu bytes is too long for MPI.", bytes.size()));
    }
    if (m_rank != 0) {
      Check(MPI_Send(bytes.data(), static_cast<int>(bytes.size()), MPI_BYTE, rank, kTag,
                     MPI_COMM_WORLD),
            "send", rank);
      return;
    }
    Reap();
    m_pending.push_back(Pending{bytes, MPI_REQUEST_NULL, rank});
    Pending& p = m_pending.back();
    Check(MPI_Isend(p.bytes.data(), static_cast<int>(p.bytes.size()), MPI_BYTE, rank, kTag,
                    MPI_COMM_WORLD, &p.request),
          "send", rank);
  }

  std::string Receive(int rank) override {
    MPI_Status status;
    int ready = 0;
    auto pause = std::chrono::microseconds(20);
    for (;;) {
      Check(MPI_Iprobe(rank, kTag, MPI_COMM_WORLD, &ready, &status), "probe", rank);
      if (ready != 0) break;
      Reap();
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(200));
    }
    int count = 0;
    Check(MPI_Get_count(&status, MPI_BYTE, &count), "count", rank);
    std::string bytes(static_cast<size_t>(count), '\0');
    Check(MPI_Recv(bytes.data(), count, MPI_BYTE, rank, kTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE),
          "receive", rank);
    return bytes;
  }

 private:
  struct Pending {
    std::string bytes;
    MPI_Request request;
    int rank;
  };

  // Drops the sends that MPI has finished with.
  void Reap() {
    for (auto it = m_pending.begin(); it != m_pending.end();) {
      int done = 0;
      Check(MPI_Test(&it->request, &done, MPI_STATUS_IGNORE), "send", it->rank);
      it = done != 0 ? m_pending.erase(it) : std::next(it);
    }
  }

  int m_rank;
  int m_size;
  std::list<Pending> m_pending;  // a list: MPI holds the bytes' address
};

}  // namespace

std::unique_ptr<BatchCluster> JoinProcessRun(int& argc, char**& argv) {
  if (LaunchedProcesses() < 2) return nullptr;
  int provided = 0;
  if (MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided) != MPI_SUCCESS) {
    throw ClusterError("MPI could not be started.");
  }
  // Failures come back as codes, which end the job with a message.
  MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
  if (provided < MPI_THREAD_SERIALIZED) {
    MPI_Finalize();
    throw ClusterError("This MPI library cannot be used from more than one thread.");
  }
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return std::make_unique<MpiCluster>(rank, size);
}

bool HaveMpi() { return true; }

}  // namespace zentrova
