#include "sieve/ClusterJob.h"

#include <algorithm>

#include "files/StrFormat.h"

namespace zentrova {

std::vector<int> AnnounceJob(JobContext& ctx, int threads) {
  BatchCluster* cluster = ctx.Job().m_cluster;
  if (cluster == nullptr || cluster->Size() < 2) return {};
  const SieveJob& job = ctx.Job();
  ByteWriter message(ClusterMessage::kJob);
  message.Put<uint8_t>(ctx.Wide() ? 1 : 0)
      .Put<int32_t>(job.m_nBMin)
      .Put<int32_t>(job.m_nBMax)
      .Put<int32_t>(job.m_nExponent)
      .Put<int32_t>(job.m_nLn)
      .Put<int32_t>(job.m_bNoSSE2)
      .Put<UInt128>(job.m_pMax)
      .Put<int32_t>(static_cast<int32_t>(job.m_isa))
      .Put<int64_t>(job.m_deviceBatch)
      .PutString(job.m_device.ToString());
  for (int r = 1; r < cluster->Size(); ++r) cluster->Send(r, message.Bytes());
  std::vector<int> counts{threads};
  for (int r = 1; r < cluster->Size(); ++r) {
    const std::string bytes = cluster->Receive(r);
    ByteReader reply(bytes);
    if (reply.Kind() != ClusterMessage::kThreads) {
      throw ClusterError(StrFormat("Process %d sent an unexpected message.", r));
    }
    counts.push_back(std::max(reply.Get<int32_t>(), 1));
  }
  int total = 0;
  for (const int n : counts) total += n;
  ctx.Post(StrFormat("Sieving with %d processes, %d threads in all.", cluster->Size(), total));
  return counts;
}

void EndJobOnOthers(JobContext& ctx) {
  BatchCluster* cluster = ctx.Job().m_cluster;
  if (cluster == nullptr) return;
  for (int r = 1; r < cluster->Size(); ++r) {
    cluster->Send(r, ByteWriter(ClusterMessage::kEndJob).Bytes());
  }
}

SieveJob ReadAnnouncedJob(ByteReader& message, bool& wide) {
  SieveJob job;
  wide = message.Get<uint8_t>() != 0;
  job.m_nBMin = message.Get<int32_t>();
  job.m_nBMax = message.Get<int32_t>();
  job.m_nExponent = message.Get<int32_t>();
  job.m_nLn = message.Get<int32_t>();
  job.m_bNoSSE2 = message.Get<int32_t>();
  job.m_pMax = message.Get<UInt128>();
  job.m_isa = static_cast<Isa>(message.Get<int32_t>());
  job.m_deviceBatch = message.Get<int64_t>();
  job.m_device = DeviceChoice::Parse(message.GetString()).value_or(DeviceChoice::Cpu());
  return job;
}

}  // namespace zentrova
