#include "app/ProgressPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <cmath>

#include "files/PNumber.h"

namespace zentrova {

CProgressPanel::CProgressPanel(QWidget* parent) : QGroupBox("Progress", parent) {
  setObjectName("progressGroup");
  const struct {
    const char* caption;
    const char* name;
  } fields[kFields] = {{"p/s:", "pRateEdit"},
                       {"P/day:", "petaPerDayEdit"},
                       {"To p Max:", "toPMaxEdit"},
                       {"Last factors:", "factorsEdit"},
                       {"Per factor:", "perFactorEdit"},
                       {"b's Left / Expected:", "basesLeftEdit"},
                       {"Last save:", "lastSaveEdit"}};
  auto* grid = new QGridLayout(this);
  for (int i = 0; i < kFields; ++i) {
    auto* label = new QLabel(fields[i].caption, this);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_field[i] = new QLineEdit(this);
    m_field[i]->setObjectName(fields[i].name);
    m_field[i]->setReadOnly(true);
    m_field[i]->setFocusPolicy(Qt::NoFocus);
    // Three figures to a row, each a caption and its field; the last save
    // (a depth and a time) has a row of its own.
    const int row = i / 3, column = (i % 3) * 2;
    grid->addWidget(label, row, column);
    grid->addWidget(m_field[i], row, column + 1, 1, i == kLastSave ? 5 : 1);
    grid->setColumnStretch(column + 1, 1);
  }
}

QString CProgressPanel::Duration(double seconds) {
  return QString::fromStdString(FormatDuration(seconds, "-"));
}

void CProgressPanel::Show(const RunProgress& p) {
  // Over the last minute once the runner has a point that old, else over
  // the last interval.
  const double rate = p.pPerSecondLastMinute > 0 ? p.pPerSecondLastMinute : p.pPerSecond;
  m_field[kRate]->setText(rate > 0 ? QString::number(rate, 'f', 0) : "-");
  m_field[kPerDay]->setText(p.petaPerDay > 0 ? QString::number(p.petaPerDay, 'g', 3) : "-");
  m_field[kToPMax]->setText(Duration(p.secondsToPMax));
  m_field[kFactors]->setText(
      p.factorWindowSeconds > 0
          ? QString("%1 in %2").arg(p.factorsInWindow).arg(Duration(p.factorWindowSeconds))
          : "-");
  const double each = p.secondsPerFactor;
  m_field[kPerFactor]->setText(each <= 0     ? QString("-")
                               : each >= 100 ? QString("%1 s").arg(std::llround(each))
                                             : QString("%1 s").arg(each, 0, 'g', 3));
  QString bases = p.basesLeft >= 0 ? QString::number(p.basesLeft) : QString("-");
  bases += " / ";
  bases += p.expectedLeft >= 0 ? QString::number(std::llround(p.expectedLeft)) : QString("-");
  m_field[kBasesLeft]->setText(bases);
  if (p.savedDepth == 0) {
    m_field[kLastSave]->setText("-");
  } else {
    const std::time_t at = static_cast<std::time_t>(p.savedAt);
    std::tm local{};
    char clock[16] = "";
    if (localtime_r(&at, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    m_field[kLastSave]->setText(
        QString("%1 at %2").arg(QString::fromStdString(PToString(p.savedDepth)), clock));
  }
}

void CProgressPanel::ShowEnd(const RunProgress& p) {
  Show(p);
  m_field[kToPMax]->clear();
}

void CProgressPanel::Clear() {
  for (QLineEdit* f : m_field) f->clear();
}

}  // namespace zentrova
