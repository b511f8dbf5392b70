#include "app/ProgressChart.h"

#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLineSeries>
#include <QPen>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/DialogUnits.h"
#include "app/UiPrompts.h"

namespace zentrova {

namespace config {
// The most intervals between ticks of p, on a chart wide enough for them.
constexpr int kMostPTicks = 8;
}  // namespace config

namespace {

constexpr const char* kPngFilter = "PNG Images (*.png);;All Files (*)";
constexpr const char* kUntitled = "Progress against p";

void SetColour(QLineSeries* series, const QColor& colour, Qt::PenStyle style) {
  QPen pen(colour);
  pen.setWidthF(2);
  pen.setStyle(style);
  series->setPen(pen);
}

// The decimals that tell multiples of step apart in units of `unit`.
int Decimals(double step, double unit) {
  const double relative = step / unit;
  if (!(relative > 0) || relative >= 1) return 0;
  return std::min(12, static_cast<int>(std::ceil(-std::log10(relative) - 1e-9)));
}

QString Trimmed(QString text) {
  if (text.contains('.')) {
    while (text.endsWith('0')) text.chop(1);
    if (text.endsWith('.')) text.chop(1);
  }
  return text == "-0" ? "0" : text;
}

// Puts the ticks on an axis (labels on their values, grid lines through
// them); none for an empty chart.
void SetTicks(QCategoryAxis* axis, const CProgressChart::Ticks* ticks) {
  for (const QString& label : axis->categoriesLabels()) axis->remove(label);
  // An axis without points has nothing to say, not even its title.
  axis->setVisible(ticks != nullptr);
  if (ticks == nullptr) {
    axis->setRange(0, 1);
    return;
  }
  // Each label sits at the end of its category: the first one's starts just
  // before the first tick.
  axis->setStartValue(ticks->from - ticks->step * 1e-6);
  for (qsizetype i = 0; i < ticks->values.size(); ++i) {
    axis->append(ticks->labels[i], ticks->values[i]);
  }
  axis->setRange(ticks->from, ticks->to);
}

QCategoryAxis* NewAxis(const QString& title) {
  auto* axis = new QCategoryAxis;
  axis->setTitleText(title);
  axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
  return axis;
}

}  // namespace

QString CProgressChart::ShortNumber(double value, double step) {
  static constexpr struct {
    double unit;
    const char* suffix;
  } kUnits[] = {{1e24, "Y"}, {1e21, "Z"}, {1e18, "E"}, {1e15, "P"},
                {1e12, "T"}, {1e9, "G"},  {1e6, "M"},  {1e3, "k"}};
  const double size = std::fabs(value);
  if (size >= 1e4) {
    for (const auto& u : kUnits) {
      if (size >= u.unit) {
        return Trimmed(QString::number(value / u.unit, 'f', Decimals(step, u.unit))) + u.suffix;
      }
    }
  }
  return Trimmed(QString::number(value, 'f', Decimals(step, 1)));
}

CProgressChart::Ticks CProgressChart::AxisTicks(double low, double high, int most) {
  if (!(high > low)) {
    const double spread = low == 0 ? 1 : std::fabs(low) * 0.1;
    low -= spread;
    high += spread;
  }
  most = std::max(1, most);
  const double magnitude = std::pow(10.0, std::floor(std::log10((high - low) / most)));
  // Multiples of the step, an end that is one within rounding counted as one.
  const auto below = [](double x) { return std::floor(x + 1e-9); };
  const auto above = [](double x) { return std::ceil(x - 1e-9); };
  Ticks t;
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    t.step = m * magnitude;
    if (above(high / t.step) - below(low / t.step) <= most) break;
  }
  const double first = below(low / t.step), last = above(high / t.step);
  t.from = first * t.step;
  t.to = last * t.step;
  for (double i = first; i <= last; i += 1) {
    t.values.append(i * t.step);
    t.labels.append(ShortNumber(i * t.step, t.step));
  }
  return t;
}

CProgressChart::CProgressChart(QWidget* parent) : QWidget(parent) {
  setObjectName("progressChart");
  m_chart = new QChart;
  m_chart->setTitle(kUntitled);
  m_chart->legend()->setAlignment(Qt::AlignBottom);
  // The room goes to the plot: a narrow chart has little to spare.
  m_chart->setMargins(QMargins(4, 4, 4, 4));
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
  // A rate between points without a factor stands alone: drawn as a dot.
  m_factors->setPointsVisible(true);

  m_pAxis = NewAxis("p");
  m_basesAxis = NewAxis("b's left");
  m_factorAxis = NewAxis("factors per hour");
  m_chart->addAxis(m_pAxis, Qt::AlignBottom);
  m_chart->addAxis(m_basesAxis, Qt::AlignLeft);
  m_chart->addAxis(m_factorAxis, Qt::AlignRight);
  connect(m_chart, &QChart::plotAreaChanged, this, [this] { TickP(); });
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
  m_view->setMinimumSize(du.X(180), du.Y(120));
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
    m_factors->append(at, std::log10(static_cast<double>(struck) * 3600 / m_pendingSeconds));
  }
  m_lastStruck = p.factorsStruck;
  m_pendingSeconds = 0;
  m_lastP = at;
  Thin();
  Rescale();
}

void CProgressChart::AddHistory(const std::vector<SieveHistoryPoint>& history) {
  for (const SieveHistoryPoint& point : history) {
    const double at = static_cast<double>(point.p);
    if (m_bases->count() > 0 && !(at > m_lastP)) continue;
    m_bases->append(at, static_cast<double>(point.basesLeft));
    if (point.expected >= 0) m_expected->append(at, point.expected);
    m_lastP = at;
  }
  if (m_bases->count() == 0) return;
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
  for (QCategoryAxis* axis : {m_pAxis, m_basesAxis, m_factorAxis}) SetTicks(axis, nullptr);
}

void CProgressChart::TickP() {
  const QList<QPointF> bases = m_bases->points();
  if (bases.isEmpty()) return;
  // As many ticks as the plot's width has room for, their labels apart by
  // two blanks at least; five while it has no width yet.
  const double width = m_chart->plotArea().width();
  const QFontMetrics metrics(m_pAxis->labelsFont());
  const int gap = metrics.horizontalAdvance("  ");
  Ticks p;
  for (int most = width > 0 ? config::kMostPTicks : 5; most >= 1; --most) {
    p = AxisTicks(bases.front().x(), bases.back().x(), most);
    int widest = 0;
    for (const QString& label : p.labels) {
      widest = std::max(widest, metrics.horizontalAdvance(label));
    }
    if (width <= 0 || (widest + gap) * (p.values.size() - 1) <= width) break;
  }
  // Only a change is drawn: new labels may move the plot's edges, and this
  // runs again when they do.
  if (p.labels != m_pAxis->categoriesLabels()) SetTicks(m_pAxis, &p);
}

void CProgressChart::Rescale() {
  const QList<QPointF> bases = BasesLeft(), expected = Expected();
  TickP();
  double low = bases.front().y(), high = low;
  for (const QList<QPointF>* list : {&bases, &expected}) {
    for (const QPointF& q : *list) {
      low = std::min(low, q.y());
      high = std::max(high, q.y());
    }
  }
  const Ticks left = AxisTicks(std::max(0.0, low), high);
  SetTicks(m_basesAxis, &left);
  const QList<QPointF> factors = m_factors->points();
  if (factors.isEmpty()) {
    SetTicks(m_factorAxis, nullptr);
    return;
  }
  double least = factors.front().y(), most = least;
  for (const QPointF& q : factors) {
    least = std::min(least, q.y());
    most = std::max(most, q.y());
  }
  // Whole decades around the rates, at least one; every decade labelled
  // while there are few, else every second or third.
  Ticks decades;
  decades.from = std::floor(least);
  decades.to = std::max(std::ceil(most), decades.from + 1);
  decades.step = std::ceil((decades.to - decades.from) / 6);
  decades.to = decades.from + decades.step * std::ceil((decades.to - decades.from) / decades.step);
  for (double k = decades.from; k <= decades.to; k += decades.step) {
    const double power = std::pow(10.0, k);
    decades.values.append(k);
    decades.labels.append(ShortNumber(power, power));
  }
  SetTicks(m_factorAxis, &decades);
}

void CProgressChart::SetRange(int32_t bMin, int32_t bMax, int32_t exponent) {
  m_range = QString("b^%1+1, b = %2 to %3").arg(exponent).arg(bMin).arg(bMax);
  m_chart->setTitle(Title());
}

QString CProgressChart::Title() const {
  return m_range.isEmpty() ? QString(kUntitled) : m_range;
}

QString CProgressChart::ImageTitle(const QDateTime& at) const {
  return QString("%1, %2").arg(Title(), at.toString("yyyy-MM-dd HH:mm"));
}

QList<QPointF> CProgressChart::BasesLeft() const {
  return m_bases->points();
}

QList<QPointF> CProgressChart::Expected() const {
  return m_expected->points();
}

QList<QPointF> CProgressChart::FactorsPerHour() const {
  QList<QPointF> points = m_factors->points();
  for (QPointF& q : points) q.setY(std::pow(10.0, q.y()));
  return points;
}

QStringList CProgressChart::PLabels() const {
  return m_pAxis->categoriesLabels();
}

QStringList CProgressChart::BasesLabels() const {
  return m_basesAxis->categoriesLabels();
}

QStringList CProgressChart::FactorLabels() const {
  return m_factorAxis->categoriesLabels();
}

bool CProgressChart::SavePng(const QString& path) {
  m_chart->setTitle(ImageTitle(QDateTime::currentDateTime()));
  const bool written = m_view->grab().save(path, "PNG");
  m_chart->setTitle(Title());
  return written;
}

void CProgressChart::OnSave() {
  QString path = UiPrompts::Current().ChooseSaveFile(this, kPngFilter);
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += ".png";
  if (!SavePng(path)) {
    UiPrompts::Current().Tell(this, QString("The chart could not be written to %1.").arg(path));
    return;
  }
  emit Saved(path);
}

}  // namespace zentrova
