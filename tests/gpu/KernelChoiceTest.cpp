// The choice among a device's arithmetics, with planted speeds in place of
// a card: the plan gives each p range to the fastest arithmetic that covers
// it, a forced name overrides it, and the calibration is kept per device key
// and measured again when the key changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "gpu/KernelChoice.h"

namespace zentrova {
namespace {

constexpr UInt128 Pow2(int e) { return static_cast<UInt128>(1) << e; }

const std::vector<GpuArithmetic> kArithmetics = {
    {"a64", Pow2(62), ""}, {"b64", Pow2(64), ""}, {"c96", Pow2(96), ""}, {"d50", Pow2(50), ""}};

std::string PlanText(const KernelPlan& plan) {
  std::string text;
  for (const KernelPlan::Range& r : plan.ranges) {
    int e = 0;
    while (Pow2(e) < r.to) ++e;
    text += kArithmetics[static_cast<size_t>(r.arithmetic)].name + "<2^" + std::to_string(e) + " ";
  }
  return text;
}

TEST(KernelChoice, EachRangeGoesToTheFastestArithmeticThatCoversIt) {
  struct Case {
    std::vector<KernelRate> rates;
    std::string forced;
    UInt128 pMin;
    std::string plan;  // empty: refused
  } cases[] = {
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 4}}, "", 0, "d50<2^50 a64<2^62 b64<2^64 c96<2^96 "},
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 1}}, "", 0, "a64<2^62 b64<2^64 c96<2^96 "},
      {{{"a64", 1}, {"b64", 5}, {"c96", 1}, {"d50", 2}}, "", 0, "b64<2^64 c96<2^96 "},
      {{{"a64", 1}, {"b64", 1}, {"c96", 9}, {"d50", 2}}, "", 0, "c96<2^96 "},
      // d50 cannot run on the device (no double precision, or no rate).
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 0}}, "", 0, "a64<2^62 b64<2^64 c96<2^96 "},
      // Only the three-limb arithmetic runs: it covers everything.
      {{{"a64", 0}, {"b64", 0}, {"c96", 1}, {"d50", 0}}, "", 0, "c96<2^96 "},
      {{{"a64", 0}, {"b64", 0}, {"c96", 0}, {"d50", 0}}, "", 0, ""},
      // Forced: that arithmetic alone to its bound, whatever the rates;
      // refused when unknown or when it ends at or below the first p.
      {{}, "d50", 0, "d50<2^50 "},
      {{}, "d50", Pow2(50) - 1, "d50<2^50 "},
      {{}, "d50", Pow2(50), ""},
      {{}, "e32", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("forced '" + c.forced + "'");
    std::string error;
    const std::optional<KernelPlan> plan = PlanKernels(kArithmetics, c.rates, c.forced, c.pMin, error);
    ASSERT_EQ(plan.has_value(), !c.plan.empty()) << error;
    if (!plan) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(PlanText(*plan), c.plan);
    // The ranges tile [0, limit) and For agrees with them at their edges.
    UInt128 from = 0;
    for (const KernelPlan::Range& r : plan->ranges) {
      EXPECT_EQ(r.from, from);
      EXPECT_EQ(plan->For(r.from), r.arithmetic);
      EXPECT_EQ(plan->For(r.to - 1), r.arithmetic);
      from = r.to;
    }
    EXPECT_EQ(plan->For(plan->Limit()), -1);
  }
}

TEST(KernelChoice, CalibrationIsKeptPerDeviceAndDriverAndRedoneWhenEitherChanges) {
  test::ScratchDir dir;
  const std::string cache = dir / "sub/gpu-kernels";
  int measured = 0;
  double planted = 1e9;
  auto measure = [&](int i) {
    ++measured;
    return planted * (i + 1);
  };
  struct Step {
    std::string key;
    bool fromCache;
    double firstRate;
  } steps[] = {
      {"card A | driver 1", false, 1e9},  // measured, the folder made
      {"card A | driver 1", true, 1e9},   // from the cache, not measured
      {"card A | driver 2", false, 2e9},  // a new driver: measured again
      {"card B | driver 1", false, 3e9},
      {"card A | driver 1", true, 1e9},   // each key keeps its own line
      {"card A | driver 2", true, 2e9},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.key);
    const int before = measured;
    if (!s.fromCache) planted = s.firstRate;
    bool fromCache = false;
    const std::vector<KernelRate> rates = CalibratedRates(kArithmetics, cache, s.key, measure, fromCache);
    EXPECT_EQ(fromCache, s.fromCache);
    EXPECT_EQ(measured - before, s.fromCache ? 0 : 4);
    ASSERT_EQ(rates.size(), 4u);
    EXPECT_EQ(rates[0].name, "a64");
    EXPECT_DOUBLE_EQ(rates[0].stepsPerSecond, s.firstRate);
    EXPECT_DOUBLE_EQ(rates[3].stepsPerSecond, 4 * s.firstRate);
  }
  // A line that lacks an arithmetic (an older kernel set) is measured again,
  // and a cache that cannot be written only costs the next run a calibration.
  {
    std::ofstream(cache) << "card C\ta64=5 b64=5\n";
    bool fromCache = true;
    CalibratedRates(kArithmetics, cache, "card C", measure, fromCache);
    EXPECT_FALSE(fromCache);
    CalibratedRates(kArithmetics, cache, "card C", measure, fromCache);
    EXPECT_TRUE(fromCache);
    std::ofstream(dir / "file") << "";
    const int before = measured;
    for (int run = 0; run < 2; ++run) {
      CalibratedRates(kArithmetics, dir / "file/x", "card D", measure, fromCache);
      EXPECT_FALSE(fromCache);
    }
    EXPECT_EQ(measured - before, 8);
  }
}

// A cached line is trusted only when each rate is one a calibration could
// measure (0 for an arithmetic that cannot run, else finite and within the
// plausible range) and some arithmetic runs: an all-zero line used to
// disable the device for good ("No GPU kernel runs on this device"), and a
// rate of 1e+300 or inf to win every range. Such a line is measured again
// and replaced; a sound one, a 0 among them included, is used as it stands.
TEST(KernelChoice, ImplausibleCachedRatesAreMeasuredAgain) {
  test::ScratchDir dir;
  const std::string cache = dir / "gpu-kernels";
  int measured = 0;
  auto measure = [&](int i) {
    ++measured;
    return 1e9 * (i + 1);
  };
  const struct {
    std::string rates;
    bool fromCache;
  } cases[] = {
      {"a64=0 b64=0 c96=0 d50=0", false},
      {"a64=1e+300 b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=inf b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=nan b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=-5e9 b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=5 b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=fast b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=7e9x b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=2e15 b64=2e9 c96=3e9 d50=4e9", false},
      {"a64=7e9 b64=2e9 c96=3e9 d50=0", true},
      {"a64=1000 b64=1e15 c96=3e9 d50=4e9", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rates);
    test::WriteFile(cache, "other card\ta64=1e9 b64=1e9 c96=1e9 d50=1e9\ncard\t" + c.rates + "\n");
    const int before = measured;
    bool fromCache = !c.fromCache;
    std::string problem = "not cleared";
    const std::vector<KernelRate> rates =
        CalibratedRates(kArithmetics, cache, "card", measure, fromCache, &problem);
    EXPECT_EQ(fromCache, c.fromCache);
    EXPECT_EQ(measured - before, c.fromCache ? 0 : 4);
    EXPECT_EQ(problem, "");
    ASSERT_EQ(rates.size(), 4u);
    if (!c.fromCache) {
      EXPECT_DOUBLE_EQ(rates[0].stepsPerSecond, 1e9);
      // The fresh measurement replaced the line; the other card's stays.
      EXPECT_EQ(test::ReadFile(cache), "other card\ta64=1e9 b64=1e9 c96=1e9 d50=1e9\ncard\ta64=1e+09 "
                                      "b64=2e+09 c96=3e+09 d50=4e+09\n");
      CalibratedRates(kArithmetics, cache, "card", measure, fromCache);
      EXPECT_TRUE(fromCache);
    }
  }
  // A measurement that is no rate is used this once and not kept.
  std::filesystem::remove(cache);
  bool fromCache = true;
  const std::vector<KernelRate> once =
      CalibratedRates(kArithmetics, cache, "card", [](int) { return 0.0; }, fromCache);
  EXPECT_FALSE(fromCache);
  ASSERT_EQ(once.size(), 4u);
  EXPECT_EQ(once[0].stepsPerSecond, 0);
  EXPECT_FALSE(std::filesystem::exists(cache));
}

// A cache that cannot be written costs a calibration at every run: said in
// one line (which the device posts to the log), not silently.
TEST(KernelChoice, ACacheThatCannotBeWrittenIsSaidSo) {
  test::ScratchDir dir;
  test::WriteFile(dir / "file", "");
  const std::string cache = dir / "file/gpu-kernels";  // under a plain file: no folder can be made
  int measured = 0;
  auto measure = [&](int) {
    ++measured;
    return 1e9;
  };
  for (int run = 0; run < 2; ++run) {
    bool fromCache = true;
    std::string problem;
    CalibratedRates(kArithmetics, cache, "card", measure, fromCache, &problem);
    EXPECT_FALSE(fromCache);
    EXPECT_EQ(problem, "The GPU kernel cache " + cache +
                           " cannot be written (Not a directory): the next run on this device "
                           "calibrates again.");
  }
  EXPECT_EQ(measured, 8);
  // A writable cache says nothing.
  std::string problem = "not cleared";
  bool fromCache = true;
  CalibratedRates(kArithmetics, dir / "ok/gpu-kernels", "card", measure, fromCache, &problem);
  EXPECT_EQ(problem, "");
}

// An arithmetic that failed its known-answer test is kept in the cache line
// as "name=failed" and read back as such, without being checked or timed
// again; a line of rates only (as older runs wrote) reads as before; a
// damaged word is measured again.
TEST(KernelChoice, AFailedArithmeticIsRememberedAndOlderLinesStillRead) {
  test::ScratchDir dir;
  const std::string cache = dir / "gpu-kernels";
  int measured = 0, checked = 0;
  auto measure = [&](int i) {
    ++measured;
    return 1e9 * (i + 1);
  };
  // b64 gives a wrong answer whenever it is asked.
  auto check = [&](int i) {
    ++checked;
    return i != 1;
  };
  const struct {
    std::string line;
    bool fromCache;
    std::string failed;  // the names read or found failed, in order
  } cases[] = {
      {"a64=1e9 b64=2e9 c96=3e9 d50=4e9", true, ""},
      {"a64=failed b64=2e9 c96=3e9 d50=4e9", true, "a64 "},
      {"a64=failed b64=failed c96=failed d50=failed", true, "a64 b64 c96 d50 "},
      {"a64=failed b64=failed c96=failed d50=0", true, "a64 b64 c96 "},
      // Damaged or incomplete: measured again, b64 found failed and not timed.
      {"a64=faile b64=2e9 c96=3e9 d50=4e9", false, "b64 "},
      {"a64=failed9 b64=2e9 c96=3e9 d50=4e9", false, "b64 "},
      {"a64=FAILED b64=2e9 c96=3e9 d50=4e9", false, "b64 "},
      {"a64= b64=2e9 c96=3e9 d50=4e9", false, "b64 "},
      {"a64=failed b64=2e9 c96=3e9", false, "b64 "},
      {"a64=0 b64=0 c96=0 d50=0", false, "b64 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    test::WriteFile(cache, "other card\ta64=1e9 b64=failed c96=1e9 d50=1e9\ncard\t" + c.line + "\n");
    measured = checked = 0;
    bool fromCache = !c.fromCache;
    const std::vector<KernelRate> rates =
        CalibratedRates(kArithmetics, cache, "card", measure, fromCache, nullptr, check);
    EXPECT_EQ(fromCache, c.fromCache);
    EXPECT_EQ(measured, c.fromCache ? 0 : 3);
    EXPECT_EQ(checked, c.fromCache ? 0 : 4);
    std::string failed;
    for (const KernelRate& r : rates) {
      if (r.failed) {
        failed += r.name + " ";
        EXPECT_EQ(r.stepsPerSecond, 0);
      }
    }
    EXPECT_EQ(failed, c.failed);
    if (!c.fromCache) {
      EXPECT_EQ(test::ReadFile(cache), "other card\ta64=1e9 b64=failed c96=1e9 d50=1e9\ncard\ta64=1e+09 "
                                      "b64=failed c96=3e+09 d50=4e+09\n");
    }
  }
}

// Each arithmetic a plan uses is checked once before use; one that fails
// is left out and the plan made again (another arithmetic may then cover
// its range, or none), and one the cache remembers as failed is not asked.
TEST(KernelChoice, APlanUsesOnlyArithmeticsThatPassedTheirCheck) {
  const struct {
    std::vector<KernelRate> rates;
    std::string wrong;    // the names that fail their check
    std::string plan;     // empty: none left
    std::string checked;  // the names checked, in order
  } cases[] = {
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 4}}, "", "d50<2^50 a64<2^62 b64<2^64 c96<2^96 ",
       "d50 a64 b64 c96 "},
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 4}}, "d50", "a64<2^62 b64<2^64 c96<2^96 ",
       "d50 a64 b64 c96 "},
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 4}}, "a64", "d50<2^50 b64<2^64 c96<2^96 ",
       "d50 a64 b64 c96 "},
      // c96 alone reaches past 2^64: without it the device stops there.
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 4}}, "c96", "d50<2^50 a64<2^62 b64<2^64 ",
       "d50 a64 b64 c96 "},
      // The fastest everywhere fails: the next one in each range is checked.
      {{{"a64", 1}, {"b64", 1}, {"c96", 9}, {"d50", 2}}, "c96", "d50<2^50 a64<2^62 b64<2^64 ",
       "c96 d50 a64 b64 "},
      {{{"a64", 3}, {"b64", 2}, {"c96", 1}, {"d50", 4}}, "a64 b64 c96 d50", "", "d50 a64 b64 c96 "},
      // Remembered as failed: left out without a check.
      {{{"a64", 3}, {"b64", 0, true}, {"c96", 1}, {"d50", 4}}, "", "d50<2^50 a64<2^62 c96<2^96 ",
       "d50 a64 c96 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("failing: " + c.wrong);
    std::vector<KernelRate> rates = c.rates;
    std::string checked, error;
    const std::optional<KernelPlan> plan = PlanCheckedKernels(
        kArithmetics, rates, 0,
        [&](int i) {
          const std::string& name = kArithmetics[static_cast<size_t>(i)].name;
          checked += name + " ";
          return c.wrong.find(name) == std::string::npos;
        },
        error);
    EXPECT_EQ(checked, c.checked);
    ASSERT_EQ(plan.has_value(), !c.plan.empty()) << error;
    if (plan) {
      EXPECT_EQ(PlanText(*plan), c.plan);
    } else {
      EXPECT_EQ(error, "No GPU kernel runs on this device.");
    }
    for (const KernelRate& r : rates) {
      const bool wrong = c.wrong.find(r.name) != std::string::npos &&
                         c.checked.find(r.name) != std::string::npos;
      EXPECT_EQ(r.failed, wrong || (r.name == "b64" && c.rates[1].failed)) << r.name;
    }
  }
}

// A failure found at use goes into the device's line, the other words as
// they were; a key without a line, or no cache, changes nothing.
TEST(KernelChoice, AFailureFoundAtUseIsWrittenIntoTheDevicesLine) {
  test::ScratchDir dir;
  const std::string cache = dir / "gpu-kernels";
  const std::string other = "other card\ta64=1e9 b64=1e9 c96=1e9 d50=1e9\n";
  const struct {
    std::string key, name, after;
  } cases[] = {
      {"card", "b64", other + "card\ta64=7e9 b64=failed c96=3e+09 d50=0\n"},
      {"card", "d50", other + "card\ta64=7e9 b64=2e9 c96=3e+09 d50=failed\n"},
      {"card", "e32", other + "card\ta64=7e9 b64=2e9 c96=3e+09 d50=0\n"},
      {"card B", "b64", other + "card\ta64=7e9 b64=2e9 c96=3e+09 d50=0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " " + c.name);
    test::WriteFile(cache, "card\ta64=7e9 b64=2e9 c96=3e+09 d50=0\n" + other);
    EXPECT_EQ(RememberFailedKernel(cache, c.key, c.name), "");
    // The line of the key is rewritten last; others keep their order.
    const std::string text = test::ReadFile(cache);
    if (c.key == "card" && c.name != "e32") {
      EXPECT_EQ(text, c.after);
      bool fromCache = false;
      const std::vector<KernelRate> rates = CalibratedRates(
          kArithmetics, cache, "card", [](int) { return 1e9; }, fromCache);
      EXPECT_TRUE(fromCache);
      for (const KernelRate& r : rates) EXPECT_EQ(r.failed, r.name == c.name) << r.name;
    } else {
      EXPECT_NE(text.find("card\ta64=7e9 b64=2e9 c96=3e+09 d50=0\n"), std::string::npos);
      EXPECT_EQ(text.find("failed"), std::string::npos);
    }
  }
  EXPECT_EQ(RememberFailedKernel("", "card", "b64"), "");
}

}  // namespace
}  // namespace zentrova
