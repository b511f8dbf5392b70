#include "app/ProgressChart.h"

#include <QChart>
#include <QChartView>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QPen>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

#include "app/DialogUnits.h"
#include "app/UiPrompts.h"

namespace zentrova {

namespace {

constexpr const char* kPngFilter = "PNG Images (*.png);;All Files (*)";

void SetColour(QLineSeries* series, const QColor& colour, Qt::PenStyle style) {
  QPen pen(colour);
  pen.setWidthF(2);
  pen.setStyle(style);
  series->setPen(pen);
}

}  // namespace

CProgressChart::CProgressChart(QWidget* parent) : QWidget(parent) {
  setObjectName("progressChart");
  m_chart = new QChart;
  m_chart->setTitle("Progress against p");
  m_chart->legend()->setAlignment(Qt::AlignBottom);
  m_bases = new QLineSeries;
  m_bases->setName("b's left");
  m_expected = new QLineSeries;
  m_expected->setName("expected");
  m_factors = new QLineSeries;
  m_factors->setName("factors per hour");
  for (QLineSeries* s : {m_bases, m_expected, m_factors}) m_chart->addSeries(s);
  // (After addSeries, which gives each series the theme's pen.)
  SetColour(m_bases, QColor(0x20, 0x60, 0xb0), Qt::SolidLine);
  SetColour(m_expected, QColor(0x80, 0x80, 0x80), Qt::DashLine);
  SetColour(m_factors, QColor(0xd0, 0x60, 0x10), Qt::SolidLine);

  m_pAxis = new QValueAxis;
  m_pAxis->setTitleText("p");
  m_pAxis->setLabelFormat("%.3g");
  m_basesAxis = new QValueAxis;
  m_basesAxis->setTitleText("b's left");
  m_basesAxis->setLabelFormat("%.0f");
  m_factorAxis = new QLogValueAxis;
  m_factorAxis->setTitleText("factors per hour");
  m_factorAxis->setBase(10);
  m_factorAxis->setLabelFormat("%.0e");
  m_chart->addAxis(m_pAxis, Qt::AlignBottom);
  m_chart->addAxis(m_basesAxis, Qt::AlignLeft);
  m_chart->addAxis(m_factorAxis, Qt::AlignRight);
  for (QLineSeries* s : {m_bases, m_expected}) {
    s->attachAxis(m_pAxis);
    s->attachAxis(m_basesAxis);
  }
  m_factors->attachAxis(m_pAxis);
  m_factors->attachAxis(m_factorAxis);

  m_view = new QChartView(m_chart, this);
  m_view->setObjectName("progressChartView");
  m_view->setRenderHint(QPainter::Antialiasing);
  auto* save = new QPushButton("Save as PNG...", this);
  save->setObjectName("saveChartButton");
  connect(save, &QPushButton::clicked, this, &CProgressChart::OnSave);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(save);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_view, 1);
  layout->addLayout(buttons);
  const DialogUnits du(this);
  m_view->setMinimumSize(du.X(200), du.Y(150));
  Clear();
}

void CProgressChart::Add(const RunProgress& p) {
  m_pendingSeconds += p.seconds;
  const double at = static_cast<double>(p.pReached);
  if (p.basesLeft < 0 || p.pReached == 0 || (m_bases->count() > 0 && !(at > m_lastP))) return;
  m_bases->append(at, static_cast<double>(p.basesLeft));
  if (p.expectedLeft >= 0) m_expected->append(at, p.expectedLeft);
  const int64_t struck = p.factorsStruck - m_lastStruck;
  if (struck > 0 && m_pendingSeconds > 0) {
    m_factors->append(at, static_cast<double>(struck) * 3600 / m_pendingSeconds);
  }
  m_lastStruck = p.factorsStruck;
  m_pendingSeconds = 0;
  m_lastP = at;
  Thin();
  Rescale();
}

void CProgressChart::Thin() {
  if (m_bases->count() <= kMaxPoints) return;
  for (QLineSeries* s : {m_bases, m_expected, m_factors}) {
    const QList<QPointF> all = s->points();
    QList<QPointF> kept;
    kept.reserve(all.size() / 2 + 1);
    for (qsizetype i = 0; i < all.size(); i += 2) kept.append(all[i]);
    if (!all.isEmpty() && (all.size() - 1) % 2 != 0) kept.append(all.back());
    s->replace(kept);
  }
}

void CProgressChart::Clear() {
  for (QLineSeries* s : {m_bases, m_expected, m_factors}) s->clear();
  m_lastStruck = 0;
  m_pendingSeconds = 0;
  m_lastP = 0;
  m_pAxis->setRange(0, 1);
  m_basesAxis->setRange(0, 1);
  m_factorAxis->setRange(1, 10);
}

void CProgressChart::Rescale() {
  const QList<QPointF> bases = BasesLeft(), expected = Expected(), factors = FactorsPerHour();
  const double pLow = bases.front().x(), pHigh = bases.back().x();
  // Round ticks keep the labels short enough for a narrow chart.
  m_pAxis->setTickCount(5);
  if (pHigh > pLow) {
    m_pAxis->setRange(pLow, pHigh);
  } else {
    m_pAxis->setRange(pLow * 0.9, pLow * 1.1);
  }
  m_pAxis->applyNiceNumbers();
  double low = bases.front().y(), high = low;
  for (const QList<QPointF>* list : {&bases, &expected}) {
    for (const QPointF& q : *list) {
      low = std::min(low, q.y());
      high = std::max(high, q.y());
    }
  }
  const double margin = std::max(1.0, (high - low) * 0.05);
  m_basesAxis->setTickCount(5);
  m_basesAxis->setRange(std::max(0.0, low - margin), high + margin);
  m_basesAxis->applyNiceNumbers();
  if (!factors.isEmpty()) {
    double least = factors.front().y(), most = least;
    for (const QPointF& q : factors) {
      least = std::min(least, q.y());
      most = std::max(most, q.y());
    }
    // Whole decades around the rates, at least one.
    const double from = std::pow(10.0, std::floor(std::log10(least)));
    double to = std::pow(10.0, std::ceil(std::log10(most)));
    if (to <= from) to = from * 10;
    m_factorAxis->setRange(from, to);
  }
}

QList<QPointF> CProgressChart::BasesLeft() const {
  return m_bases->points();
}

QList<QPointF> CProgressChart::Expected() const {
  return m_expected->points();
}

QList<QPointF> CProgressChart::FactorsPerHour() const {
  return m_factors->points();
}

bool CProgressChart::SavePng(const QString& path) {
  return m_view->grab().save(path, "PNG");
}

void CProgressChart::OnSave() {
  QString path = UiPrompts::Current().ChooseSaveFile(this, kPngFilter);
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += ".png";
  if (!SavePng(path)) {
    UiPrompts::Current().Tell(this, QString("The chart could not be written to %1.").arg(path));
  }
}

}  // namespace zentrova
