// A process other than 0 of a run spread over several: it computes the
// batches of the jobs process 0 announces, with its own threads, until
// process 0 says the run is over. It touches no file.
#include <memory>
#include <string>

#include "math/WheelTables.h"
#include "sieve/ClusterJob.h"
#include "sieve/Jobs.h"
#include "sieve/SieveLoop.h"
#include "sieve/WideSieve.h"

namespace zentrova {

void ServeProcessZero(BatchCluster& link, int threads, JobSink& sink, DeviceProvider* devices) {
  for (;;) {
    const std::string bytes = link.Receive(0);
    ByteReader message(bytes);
    if (message.Kind() == ClusterMessage::kQuit) return;
    if (message.Kind() != ClusterMessage::kJob) {
      throw ClusterError("Process 0 sent an unexpected message.");
    }
    bool wide = false;
    SieveJob job = ReadAnnouncedJob(message, wide);
    job.m_threads = threads;
    job.m_devices = devices;
    // A process without a graphics card of its own computes on its CPU.
    if (job.m_device.kind == DeviceChoice::Kind::kGpu) job.m_device = DeviceChoice::Auto();
    JobContext ctx(job, sink, wide);
    ctx.SetWheel(std::make_unique<WheelTables>());
    link.Send(0, ByteWriter(ClusterMessage::kThreads).Put<int32_t>(threads).Bytes());
    if (wide) {
      WideSieveLoop(ctx).Serve(link);
    } else {
      NormalSieveLoop(ctx).Serve(link);
    }
  }
}

}  // namespace zentrova
