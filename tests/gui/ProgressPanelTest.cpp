// The progress panel's fields for samples of the runner, each figure checked
// against its text worked out by hand, and the lengths of time it writes.
#include <QLineEdit>
#include <QTest>
#include <ctime>

#include "app/ProgressPanel.h"

using namespace zentrova;

namespace {

const char* const kFields[] = {"pRateEdit",     "petaPerDayEdit", "toPMaxEdit",  "factorsEdit",
                               "perFactorEdit", "basesLeftEdit",  "lastSaveEdit"};

QStringList Shown(const CProgressPanel& panel) {
  QStringList out;
  for (const char* name : kFields) {
    auto* edit = panel.findChild<QLineEdit*>(name);
    if (edit == nullptr) qFatal("no field %s", name);
    out << edit->text();
  }
  return out;
}

// The local time of a moment as the panel writes it.
QString Clock(std::time_t at) {
  std::tm local{};
  localtime_r(&at, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace

class ProgressPanelTest : public QObject {
  Q_OBJECT

 private slots:
  void durations() {
    const struct {
      double seconds;
      const char* text;
    } cases[] = {{0, "00:00:00"},        {59.4, "00:00:59"},  {59.6, "00:01:00"},
                 {3661, "01:01:01"},     {86399, "23:59:59"}, {86400, "1d 00h 00m"},
                 {200000, "2d 07h 33m"}, {-1, "-"},           {1e11, "-"}};
    for (const auto& c : cases) {
      QCOMPARE(CProgressPanel::Duration(c.seconds), QString(c.text));
    }
    QCOMPARE(CProgressPanel::Duration(std::nan("")), QString("-"));
  }

  void figuresOfASample() {
    const std::time_t saved = 1700000000;
    RunProgress fresh;  // nothing measured yet
    RunProgress early;  // the first interval: no minute's rate, no factor
    early.pPerSecond = 1234.4;
    early.basesLeft = 5000;
    early.factorWindowSeconds = 5;
    RunProgress full;
    full.pPerSecond = 10;
    full.pPerSecondLastMinute = 129630.2;
    full.petaPerDay = 20.74;
    full.secondsToPMax = 7.2;
    full.factorsInWindow = 558704;
    full.factorWindowSeconds = 10;
    full.secondsPerFactor = 1.79e-5;
    full.basesLeft = 441280;
    full.expectedLeft = 441486.6;
    full.savedDepth = static_cast<UInt128>(1) << 70;  // 1180591620717411303424
    full.savedAt = saved;
    RunProgress slow = full;
    slow.secondsPerFactor = 4321.4;
    slow.secondsToPMax = 90061;
    const struct {
      const char* name;
      RunProgress progress;
      QStringList texts;
    } cases[] = {
        {"fresh", fresh, {"-", "-", "-", "-", "-", "- / -", "-"}},
        {"early", early, {"1234", "-", "-", "0 in 00:00:05", "-", "5000 / -", "-"}},
        {"full",
         full,
         {"129630", "20.7", "00:00:07", "558704 in 00:00:10", "1.79e-05 s", "441280 / 441487",
          "1180591620717411303424 at " + Clock(saved)}},
        {"slow",
         slow,
         {"129630", "20.7", "1d 01h 01m", "558704 in 00:00:10", "4321 s", "441280 / 441487",
          "1180591620717411303424 at " + Clock(saved)}},
    };
    CProgressPanel panel;
    for (const auto& c : cases) {
      panel.Show(c.progress);
      QVERIFY2(Shown(panel) == c.texts, qPrintable(c.name + (": " + Shown(panel).join(" | "))));
    }
    panel.Clear();
    QCOMPARE(Shown(panel), QStringList(7, QString()));
  }
};

QTEST_MAIN(ProgressPanelTest)
#include "ProgressPanelTest.moc"
