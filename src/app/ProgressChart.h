// CProgressChart: a running sieve drawn against p from the runner's samples
// (front/JobRunner.h), the same the progress panel shows: the bases left and
// those expected at each depth (left axis), and the factors per hour of each
// interval between samples (right axis, logarithmic: the rate falls by
// orders of magnitude as p grows; an interval without a factor has no point
// on it). "Save as PNG..." writes the chart as drawn to a file the user
// picks.
#pragma once

#include <QList>
#include <QPointF>
#include <QString>
#include <QWidget>
#include <cstdint>

#include "front/JobRunner.h"

class QChart;
class QChartView;
class QLineSeries;
class QLogValueAxis;
class QValueAxis;

namespace zentrova {

class CProgressChart : public QWidget {
  Q_OBJECT

 public:
  explicit CProgressChart(QWidget* parent = nullptr);

  // The most points a series keeps: past it, every other point is dropped
  // (the first and the last stay), so that a run of days draws as fast as
  // one of minutes.
  static constexpr int kMaxPoints = 2000;

  // The points of one sample: none for a sample of no sieve (basesLeft < 0)
  // or one whose p has not passed the last point's.
  void Add(const RunProgress& progress);
  // Empties the chart (a new job).
  void Clear();
  // Writes the chart as drawn now to path as PNG; false when it cannot.
  bool SavePng(const QString& path);

  // The series' points: (p, bases left), (p, bases expected), (p, factors
  // per hour).
  QList<QPointF> BasesLeft() const;
  QList<QPointF> Expected() const;
  QList<QPointF> FactorsPerHour() const;

 private:
  void OnSave();
  // The axes' ranges around every point, with a margin.
  void Rescale();
  // Every other point of each series, once the bases' series is past kMaxPoints.
  void Thin();

  QChart* m_chart = nullptr;
  QChartView* m_view = nullptr;
  QLineSeries* m_bases = nullptr;
  QLineSeries* m_expected = nullptr;
  QLineSeries* m_factors = nullptr;
  QValueAxis* m_pAxis = nullptr;
  QValueAxis* m_basesAxis = nullptr;
  QLogValueAxis* m_factorAxis = nullptr;
  int64_t m_lastStruck = 0;    // the factor count at the last point
  double m_pendingSeconds = 0;  // the samples' seconds since the last point
  double m_lastP = 0;
};

}  // namespace zentrova
