// The progress chart's points for runs of samples, each worked out by hand,
// a resumed sieve's past before them, the axes' ticks and their labels (short
// enough to stand apart on a narrow chart, none on an empty one), and the
// chart written as PNG: by the save function, and through its button and the
// (scripted) file dialog.
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>

#include "app/ProgressChart.h"
#include "app/SieveHistory.h"
#include "gui/FakePrompts.h"

using namespace zentrova;

namespace {

RunProgress Sample(UInt128 p, int64_t left, double expected, int64_t struck, double seconds) {
  RunProgress r;
  r.pReached = p;
  r.basesLeft = left;
  r.expectedLeft = expected;
  r.factorsStruck = struck;
  r.seconds = seconds;
  return r;
}

QString Text(const QList<QPointF>& points) {
  QStringList out;
  for (const QPointF& q : points) out << QString("%1:%2").arg(q.x(), 0, 'g', 12).arg(q.y());
  return out.join(' ');
}

}  // namespace

class ProgressChartTest : public QObject {
  Q_OBJECT

 private slots:
  void pointsFromSamples() {
    struct Case {
      const char* name;
      QList<RunProgress> samples;
      const char *bases, *expected, *factors;
    };
    const Case cases[] = {
        // 900 bases struck in the first 5 s: 648000 an hour; then 10 in 5 s
        // (7200 an hour), then none (no point on the logarithmic axis).
        {"a sieve",
         {Sample(1000000007, 1100, 1090.4, 900, 5), Sample(2000000011, 1090, 1080, 910, 5),
          Sample(3000000019, 1090, 1075, 910, 5)},
         "1000000007:1100 2000000011:1090 3000000019:1090",
         "1000000007:1090.4 2000000011:1080 3000000019:1075",
         "1000000007:648000 2000000011:7200"},
        // Samples before the sieve has begun or of no sieve at all give no
        // point; their seconds count towards the next point's interval: 60
        // struck over 2 + 3 + 5 s is 21600 an hour.
        {"late start",
         {Sample(0, -1, -1, 0, 2), Sample(5000, -1, -1, 0, 3), Sample(7000000001, 500, -1, 60, 5)},
         "7000000001:500",
         "",
         "7000000001:21600"},
        // A p that has not moved on gives no point; the next one covers
        // both intervals: 30 struck over 10 s.
        {"stalled",
         {Sample(100, 50, 49, 10, 1), Sample(100, 45, 49, 20, 5), Sample(200, 40, 44, 40, 5)},
         "100:50 200:40",
         "100:49 200:44",
         "100:36000 200:10800"},
    };
    CProgressChart chart;
    for (const Case& c : cases) {
      chart.Clear();
      for (const RunProgress& s : c.samples) chart.Add(s);
      QCOMPARE(Text(chart.BasesLeft()), QString(c.bases));
      QCOMPARE(Text(chart.Expected()), QString(c.expected));
      QCOMPARE(Text(chart.FactorsPerHour()), QString(c.factors));
    }
    chart.Clear();
    QVERIFY(chart.BasesLeft().isEmpty() && chart.FactorsPerHour().isEmpty());
  }

  // Ticks over a range, worked out by hand: the least step of 1, 2 or 5
  // times a power of ten that needs at most 5 intervals, from the multiple
  // at or below the low end to the one at or above the high end.
  void axisTicks() {
    const struct {
      double low, high;
      double from, to;
      const char* labels;
    } cases[] = {
        {1e6, 3e6, 1e6, 3e6, "1M 1.5M 2M 2.5M 3M"},
        {1.0004e12, 1.0031e12, 1e12, 1.004e12, "1T 1.001T 1.002T 1.003T 1.004T"},
        {0, 1100, 0, 1500, "0 500 1000 1500"},
        // One point: 10% either side.
        {7e9, 7e9, 6e9, 8e9, "6G 6.5G 7G 7.5G 8G"},
        {0, 0, -1, 1, "-1 -0.5 0 0.5 1"},
        {0.2, 0.9, 0.2, 1, "0.2 0.4 0.6 0.8 1"},
        {441280, 441500, 441250, 441500, "441.25k 441.3k 441.35k 441.4k 441.45k 441.5k"},
        // p near 2^90 (units beyond Y stay in Y).
        {1.2379e27, 1.3e27, 1.22e27, 1.3e27, "1220Y 1240Y 1260Y 1280Y 1300Y"},
    };
    for (const auto& c : cases) {
      const CProgressChart::Ticks t = CProgressChart::AxisTicks(c.low, c.high);
      const QString name = QString("%1..%2").arg(c.low).arg(c.high);
      QVERIFY2(t.labels.join(' ') == c.labels, qPrintable(name + ": " + t.labels.join(' ')));
      QVERIFY2(qFuzzyCompare(t.from + 1, c.from + 1) && qFuzzyCompare(t.to, c.to),
               qPrintable(name));
      QCOMPARE(t.values.size(), t.labels.size());
    }
    const struct {
      double value, step;
      const char* text;
    } numbers[] = {{0, 1, "0"},          {950, 50, "950"},       {9999, 1, "9999"},
                   {10000, 1000, "10k"}, {12345, 1, "12.345k"},  {2.5e12, 5e11, "2.5T"},
                   {1e15, 1e15, "1P"},   {0.05, 0.01, "0.05"},   {1e-3, 1e-3, "0.001"},
                   {-2e6, 1e6, "-2M"},   {6.04e23, 1e21, "604Z"}};
    for (const auto& n : numbers) {
      QCOMPARE(CProgressChart::ShortNumber(n.value, n.step), QString(n.text));
    }
  }

  // An empty chart has no ticks; one with points labels every axis, the
  // factors per hour in whole decades around its rates.
  void ticksOnlyWithPoints() {
    CProgressChart chart;
    const auto axesShown = [&chart] {
      int shown = 0;
      for (QAbstractAxis* axis : chart.findChild<QChartView*>()->chart()->axes()) {
        shown += axis->isVisible() ? 1 : 0;
      }
      return shown;
    };
    QVERIFY(chart.PLabels().isEmpty() && chart.BasesLabels().isEmpty() &&
            chart.FactorLabels().isEmpty());
    QCOMPARE(axesShown(), 0);
    // 648000 and 7200 factors an hour: the decades 10^3 to 10^6.
    chart.Add(Sample(1000000007, 1100, 1090.4, 900, 5));
    chart.Add(Sample(3000000019, 1090, 1080, 910, 5));
    QCOMPARE(chart.FactorLabels(), QStringList({"1000", "10k", "100k", "1M"}));
    QCOMPARE(chart.PLabels(), QStringList({"1G", "1.5G", "2G", "2.5G", "3G", "3.5G"}));
    QCOMPARE(chart.BasesLabels(), QStringList({"1080", "1085", "1090", "1095", "1100"}));
    QCOMPARE(axesShown(), 3);
    chart.Clear();
    QVERIFY(chart.PLabels().isEmpty() && chart.FactorLabels().isEmpty());
    QCOMPARE(axesShown(), 0);
  }

  // At the chart's least size, whatever the depth, no label is wider than
  // the room between its tick and the next: the labels never run together.
  void labelsStandApartWhenNarrow() {
    CProgressChart chart;
    chart.resize(chart.minimumSizeHint());
    chart.show();
    QChart* drawn = chart.findChild<QChartView*>()->chart();
    for (const double p : {1e6, 4.2e9, 1e12 + 7e9, 3.3e15, 9.9e18, 2.2e22, 1.2e27}) {
      chart.Clear();
      chart.Add(Sample(static_cast<UInt128>(p), 500000, 499000, 10, 5));
      chart.Add(Sample(static_cast<UInt128>(p * 1.37), 499000, 498000, 20, 5));
      QApplication::processEvents();
      const QRectF plot = drawn->plotArea();
      const QStringList labels = chart.PLabels();
      const QFontMetrics metrics(drawn->axes(Qt::Horizontal).front()->labelsFont());
      int widest = 0;
      for (const QString& label : labels) {
        QVERIFY2(!label.contains('e'), qPrintable(label));
        widest = std::max(widest, metrics.horizontalAdvance(label));
      }
      const double room = plot.width() / (labels.size() - 1);
      QVERIFY2(widest + 4 < room, qPrintable(QString("p %1: %2 (%3 px) in %4 px")
                                                   .arg(p)
                                                   .arg(labels.join(' '))
                                                   .arg(widest)
                                                   .arg(room)));
    }
  }

  // A resumed sieve's past: the bases left after each distinct p of the
  // factor lines at or below the depth, worked out by hand; then the run's
  // samples go on from it.
  void historyFromFactors() {
    struct Case {
      const char* name;
      std::vector<UInt128> factors;
      UInt128 depth;
      int64_t left;
      std::vector<SieveHistoryPoint> points;
    };
    const Case cases[] = {
        // 3 struck two bases; 20 lies beyond the depth (a line of an unsaved
        // run) and counts for nothing.
        {"sieve", {5, 3, 20, 9, 3}, 10, 4, {{3, 6}, {5, 5}, {9, 4}, {10, 4}}},
        {"a factor at the depth", {10, 2}, 10, 7, {{2, 8}, {10, 7}}},
        {"no factors", {}, 1000, 12, {{1000, 12}}},
        {"nothing sieved", {}, 0, 12, {}},
    };
    for (const Case& c : cases) {
      QVERIFY2(SieveHistory::FromFactors(c.factors, c.depth, c.left) == c.points, c.name);
    }
    // A long past keeps kMaxPoints, the first and the last among them, each
    // a point of the whole history.
    std::vector<UInt128> many;
    for (UInt128 p = 1000; p < 1000 + 3 * SieveHistory::kMaxPoints; ++p) many.push_back(p);
    const auto kept = SieveHistory::FromFactors(many, 1 << 20, 5);
    QCOMPARE(kept.size(), SieveHistory::kMaxPoints);
    QVERIFY(kept.front() == (SieveHistoryPoint{1000, 5 + 3 * SieveHistory::kMaxPoints - 1}));
    QVERIFY(kept.back() == (SieveHistoryPoint{1 << 20, 5}));
    for (size_t i = 1; i + 1 < kept.size(); ++i) {
      QCOMPARE(kept[i].basesLeft, 5 + static_cast<int64_t>(999 + 3 * SieveHistory::kMaxPoints -
                                                          static_cast<size_t>(kept[i].p)));
    }
    // With the range, each point has the survivors expected there, falling.
    const auto expected = SieveHistory::FromFactors({101, 2053}, 1 << 14, 10, 1024, 1000);
    QVERIFY(expected.size() == 3 && expected[0].expected > expected[2].expected &&
            expected[2].expected > 0);

    CProgressChart chart;
    chart.AddHistory(SieveHistory::FromFactors({5, 3, 9, 3}, 10, 4));
    chart.Add(Sample(10, 4, -1, 0, 5));  // not past the depth: no point
    chart.Add(Sample(40, 2, -1, 2, 5));  // 2 struck in 10 s: 720 an hour
    QCOMPARE(Text(chart.BasesLeft()), QString("3:6 5:5 9:4 10:4 40:2"));
    QCOMPARE(Text(chart.FactorsPerHour()), QString("40:720"));
  }

  // A run of many samples keeps at most kMaxPoints, from its first p to its
  // last, each one a sample's own values.
  void thinsLongRuns() {
    CProgressChart chart;
    const int samples = 5 * CProgressChart::kMaxPoints + 7;
    for (int i = 1; i <= samples; ++i) {
      chart.Add(Sample(uint64_t{1000000} * static_cast<uint64_t>(i), 1000000 - i, 999999.5 - i,
                       i, 1));
    }
    for (const QList<QPointF>& points : {chart.BasesLeft(), chart.Expected()}) {
      QVERIFY(points.size() <= CProgressChart::kMaxPoints);
      QVERIFY(points.size() > CProgressChart::kMaxPoints / 2);
      QCOMPARE(points.front().x(), 1e6);
      QCOMPARE(points.back().x(), 1e6 * samples);
      for (qsizetype j = 1; j < points.size(); ++j) QVERIFY(points[j].x() > points[j - 1].x());
    }
    for (const QPointF& q : chart.BasesLeft()) QCOMPARE(q.y(), 1000000 - q.x() / 1e6);
    // One factor a second: 3600 an hour at every point kept.
    for (const QPointF& q : chart.FactorsPerHour()) QCOMPARE(q.y(), 3600.0);
  }

  void savedAsPng() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CProgressChart chart;
    chart.resize(640, 420);
    chart.show();
    chart.Add(Sample(1000000007, 1100, 1090, 900, 5));
    chart.Add(Sample(9000000007, 1000, 1010, 1000, 5));
    const QString path = dir.filePath("chart.png");
    // The title names the range and N on screen, and the date in the file.
    QCOMPARE(chart.Title(), QString("Progress against p"));
    chart.SetRange(2, 4000, 1024);
    QCOMPARE(chart.Title(), QString("b^1024+1, b = 2 to 4000"));
    QCOMPARE(chart.ImageTitle(QDateTime(QDate(2024, 3, 9), QTime(17, 5))),
             QString("b^1024+1, b = 2 to 4000, 2024-03-09 17:05"));
    QVERIFY(chart.SavePng(path));
    QCOMPARE(chart.findChild<QChartView*>()->chart()->title(), chart.Title());
    QImage image;
    QVERIFY(image.load(path, "PNG"));
    const QSize drawn = chart.findChild<QWidget*>("progressChartView")->size();
    QCOMPARE(image.size(), drawn * image.devicePixelRatio());
    // A picture, not an empty rectangle: the series' own colours are in it.
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
      for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y) & 0xffffff);
    }
    QVERIFY2(colours.size() > 20, qPrintable(QString::number(colours.size())));
    QVERIFY(!chart.SavePng(dir.filePath("no such folder/chart.png")));

    // The button: the name chosen (".png" added when it has no suffix), a
    // Cancel that writes nothing, and a refusal that says where.
    test::FakePrompts prompts;
    auto* save = chart.findChild<QPushButton*>("saveChartButton");
    QVERIFY(save != nullptr);
    prompts.chosen = {dir.filePath("picked"), QString(), dir.filePath("gone/x.png")};
    QSignalSpy saved(&chart, &CProgressChart::Saved);
    for (int i = 0; i < 3; ++i) QTest::mouseClick(save, Qt::LeftButton);
    // Only the file written is named.
    QCOMPARE(saved.size(), 1);
    QCOMPARE(saved.front().front().toString(), dir.filePath("picked.png"));
    QVERIFY(QImage(dir.filePath("picked.png")).size() == image.size());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"chart.png", "picked.png"}));
    const QString filter = "save PNG Images (*.png);;All Files (*)";
    QCOMPARE(prompts.events,
             QStringList({filter, filter, filter,
                          "tell |none: The chart could not be written to " +
                              dir.filePath("gone/x.png") + "."}));
  }
};

QTEST_MAIN(ProgressChartTest)
#include "ProgressChartTest.moc"
