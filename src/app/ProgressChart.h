// CProgressChart: a running sieve drawn against p from the runner's samples
// (front/JobRunner.h), the same the progress panel shows: the bases left and
// those expected at each depth (left axis), and the factors per hour of each
// interval between samples (right axis, logarithmic: the rate falls by
// orders of magnitude as p grows; an interval without a factor has no point
// on it). A resumed sieve's past comes first, rebuilt from its files
// (app/SieveHistory.h). "Save as PNG..." writes the chart as drawn to a
// file the user picks, titled with the range, N and the date, and says
// where (Saved).
//
// The axes label their ticks themselves (AxisTicks): round steps of 1, 2 or
// 5 times a power of ten, written short with a unit suffix (k, M, G, T, P,
// E, ...: "1.5T" for 1.5e12), so that a label fits a narrow chart however
// large p grows. An empty chart has no ticks.
#pragma once

#include <QDateTime>
#include <QList>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "app/SieveHistory.h"
#include "front/JobRunner.h"

class QCategoryAxis;
class QChart;
class QChartView;
class QLineSeries;

namespace zentrova {

class CProgressChart : public QWidget {
  Q_OBJECT

 public:
  explicit CProgressChart(QWidget* parent = nullptr);

  // The most points a series keeps: past it, every other point is dropped
  // (the first and the last stay), so that a run of days draws as fast as
  // one of minutes.
  static constexpr int kMaxPoints = 2000;

  // The ticks of an axis over [low, high]: at most `most` + 1 round values
  // from the multiple of the step at or below low to the one at or above
  // high, each with its label.
  struct Ticks {
    double from = 0, to = 0, step = 0;
    QList<double> values;
    QStringList labels;
  };
  static Ticks AxisTicks(double low, double high, int most = 5);
  // A value as a tick label, with enough decimals to tell ticks `step` apart:
  // plain below 10000, else in the unit suffix of its size.
  static QString ShortNumber(double value, double step);

  // The points of one sample: none for a sample of no sieve (basesLeft < 0)
  // or one whose p has not passed the last point's.
  void Add(const RunProgress& progress);
  // A resumed sieve's past, before its first sample (after Clear).
  void AddHistory(const std::vector<SieveHistoryPoint>& history);
  // Empties the chart (a new job).
  void Clear();
  // The job's range, for the title.
  void SetRange(int32_t bMin, int32_t bMax, int32_t exponent);
  // Writes the chart as drawn now to path as PNG, titled with the range, N
  // and the time of writing; false when it cannot.
  bool SavePng(const QString& path);

  // The title on screen, and the one a PNG written at `at` carries.
  QString Title() const;
  QString ImageTitle(const QDateTime& at) const;

  // The series' points: (p, bases left), (p, bases expected), (p, factors
  // per hour).
  QList<QPointF> BasesLeft() const;
  QList<QPointF> Expected() const;
  QList<QPointF> FactorsPerHour() const;
  // The tick labels of each axis: p, bases left, factors per hour.
  QStringList PLabels() const;
  QStringList BasesLabels() const;
  QStringList FactorLabels() const;

 signals:
  // The chart was written to path by its button.
  void Saved(const QString& path);

 private:
  void OnSave();
  // The axes' ranges and ticks around every point.
  void Rescale();
  // The ticks of p that the plot's width has room for.
  void TickP();
  // Every other point of each series, once the bases' series is past kMaxPoints.
  void Thin();

  QChart* m_chart = nullptr;
  QChartView* m_view = nullptr;
  QLineSeries* m_bases = nullptr;
  QLineSeries* m_expected = nullptr;
  QLineSeries* m_factors = nullptr;  // log10 of the factors per hour
  QCategoryAxis* m_pAxis = nullptr;
  QCategoryAxis* m_basesAxis = nullptr;
  QCategoryAxis* m_factorAxis = nullptr;  // decades of the factors per hour
  QString m_range;                        // "b^N+1, b = bMin to bMax"; empty: not known
  int64_t m_lastStruck = 0;    // the factor count at the last point
  double m_pendingSeconds = 0;  // the samples' seconds since the last point
  double m_lastP = 0;
};

}  // namespace zentrova
