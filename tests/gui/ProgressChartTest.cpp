// The progress chart's points for runs of samples, each worked out by hand,
// and the chart written as PNG: by the save function, and through its button
// and the (scripted) file dialog.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include "app/ProgressChart.h"
#include "gui/FakePrompts.h"

using namespace zentrova;

namespace {

RunProgress Sample(uint64_t p, int64_t left, double expected, int64_t struck, double seconds) {
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
    QVERIFY(chart.SavePng(path));
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
    for (int i = 0; i < 3; ++i) QTest::mouseClick(save, Qt::LeftButton);
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
