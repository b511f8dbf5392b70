// CProgressPanel: the figures of a running sieve under the form, from the
// runner's samples (front/JobRunner.h): p per second and P per day over the
// last minute, the time to the job's p limit at that speed, the current
// removal rate (the last factors and the time they took, front/RemovalRate.h)
// with its time per factor, the bases left beside those
// expected at the depth reached, and the last save. A figure the runner does
// not know yet shows as "-".
#pragma once

#include <QGroupBox>
#include <QLineEdit>
#include <QString>
#include <array>
#include <ctime>

#include "front/JobRunner.h"

namespace zentrova {

class CProgressPanel : public QGroupBox {
  Q_OBJECT

 public:
  explicit CProgressPanel(QWidget* parent = nullptr);

  // Fills the fields from a sample; savedAt is shown as local time.
  void Show(const RunProgress& progress);
  // The last sample of a job that has ended: as Show, with no time to the p
  // limit (nothing is sieved any more).
  void ShowEnd(const RunProgress& progress);
  // Empties every field (a new job has no figures yet).
  void Clear();

  // "HH:MM:SS", or "Nd HHh MMm" from a day on; "-" for a negative or
  // unmeasurable length.
  static QString Duration(double seconds);

 private:
  enum Field { kRate, kPerDay, kToPMax, kFactors, kPerFactor, kBasesLeft, kLastSave, kFields };
  std::array<QLineEdit*, kFields> m_field{};
};

}  // namespace zentrova
