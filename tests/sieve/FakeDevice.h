// A device for the loops' tests: the normal chains by brute force and the
// a0 search by its rule (an arithmetic of its own), no wide roots unless
// planted, hits planted on purpose (true or false), a loss after a given
// number of launches, p whose results are wrong (none) and fail the
// device's own check, and p passed over as composite although they are not.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "TestMath.h"
#include "sieve/Device.h"

namespace zentrova::test {

struct FakeDeviceSetup {
  int failAfter = -1;  // launches that succeed before every later one throws; -1: never
  std::map<uint64_t, int32_t> normalHits;  // p -> a base reported as a hit
  std::map<uint64_t, std::pair<uint64_t, uint32_t>> wideRoots;  // p -> (a0, the root of j = 1)
  UInt128 limit = kMaxModulus;  // the device takes the p below it
  std::set<uint64_t> failedChecks{};  // p with no hits, roots or a0, and a failed check
  std::set<uint64_t> passedOver{};    // p said composite, their own check passing
};

class FakeDevice : public SieveDevice {
 public:
  explicit FakeDevice(FakeDeviceSetup setup) : m_setup(std::move(setup)) {
    m_info = {"fake", 0, "test", "fake device", true};
  }
  const DeviceInfo& Info() const override { return m_info; }
  double BusySeconds() const override { return 0; }
  UInt128 PLimit() const override { return m_setup.limit; }
  int Launches() const { return m_launches; }
  DeviceChecks LastChecks() const override { return m_checks; }

  void Wide(const std::vector<UInt128>& p, const std::vector<uint64_t>& k, int, int64_t n, int32_t,
            int tries, std::vector<uint8_t>& kind, std::vector<UInt128>& a0,
            std::vector<WideHit>& hits) override {
    Launch();
    kind.assign(p.size(), 0);
    a0.assign(p.size(), 0);
    hits.clear();
    Check(p);
    for (size_t i = 0; i < p.size(); ++i) {
      const auto q = static_cast<uint64_t>(p[i]);
      if (m_setup.failedChecks.count(q) != 0 || m_setup.passedOver.count(q) != 0) continue;
      const auto planted = m_setup.wideRoots.find(q);
      if (planted == m_setup.wideRoots.end()) {
        // The first g = 2, 3, 5, ... with (g^k)^N != 1 decides: a0 = g^k
        // when that is -1, else composite.
        for (int t = 0; t < tries; ++t) {
          const uint64_t a = PowMod128((t == 0 ? 2 : 2 * t + 1) % q, k[i], q);
          const uint64_t s = PowMod128(a, static_cast<uint64_t>(n), q);
          if (s == 1) continue;
          if (s == q - 1) {
            kind[i] = 2;
            a0[i] = a;
          }
          break;
        }
        continue;
      }
      kind[i] = 2;
      a0[i] = planted->second.first;
      hits.push_back({static_cast<uint32_t>(i), 1, false, planted->second.second});
    }
  }

  void Normal(const std::vector<UInt128>& pWide, const std::vector<int32_t>& cand, int ln,
              std::vector<NormalHit>& hits) override {
    Launch();
    hits.clear();
    Check(pWide);
    std::vector<uint64_t> p(pWide.begin(), pWide.end());
    for (size_t i = 0; i < p.size(); ++i) {
      if (m_setup.failedChecks.count(p[i]) != 0) continue;
      const auto planted = m_setup.normalHits.find(p[i]);
      for (size_t j = 0; j < cand.size(); ++j) {
        const bool hit = planted != m_setup.normalHits.end()
                             ? cand[j] == planted->second
                             : PowMod128(static_cast<uint64_t>(cand[j]) % p[i],
                                         uint64_t{1} << ln, p[i]) == p[i] - 1;
        if (hit) hits.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(j)});
      }
    }
  }

 private:
  void Launch() {
    if (m_setup.failAfter >= 0 && m_launches >= m_setup.failAfter) {
      throw DeviceError("Fake device: lost.");
    }
    ++m_launches;
  }
  // Every p checked; those of failedChecks fail.
  void Check(const std::vector<UInt128>& p) {
    m_checks = {static_cast<int64_t>(p.size()), {}};
    for (size_t i = 0; i < p.size(); ++i) {
      if (m_setup.failedChecks.count(static_cast<uint64_t>(p[i])) != 0) {
        m_checks.mismatches.push_back({static_cast<uint32_t>(i), "fake64"});
      }
    }
  }

  FakeDeviceSetup m_setup;
  DeviceInfo m_info;
  int m_launches = 0;
  DeviceChecks m_checks;
};

// Opens a new FakeDevice with the setup for every choice other than the CPU
// (from the threads of several processes at once too).
class FakeDevices : public DeviceProvider {
 public:
  FakeDeviceSetup setup;
  int opened = 0;
  DeviceOptions lastOptions;  // what the last Open was asked for
  std::vector<DeviceInfo> List() override { return {FakeDevice(setup).Info()}; }
  std::unique_ptr<SieveDevice> Open(const DeviceChoice&, const DeviceOptions& options) override {
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++opened;
    lastOptions = options;
    return std::make_unique<FakeDevice>(setup);
  }

 private:
  std::mutex m_mutex;
};

}  // namespace zentrova::test
