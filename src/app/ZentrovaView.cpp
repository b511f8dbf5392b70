#include "app/ZentrovaView.h"

#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QMetaObject>
#include <QResizeEvent>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/DialogUnits.h"
#include "app/EngineDialog.h"
#include "app/PackedKDialogs.h"
#include "app/ToBeFactoredDialog.h"
#include "app/UiPrompts.h"
#include "files/OutputLock.h"
#include "files/PNumber.h"
#include "files/TextFile.h"
#include "gpu/Devices.h"
#include "math/CpuFeatures.h"
#include "platform/Priority.h"

namespace zentrova {

namespace config {
// How long after a click on Stop a click on the Start that replaced it is
// ignored: longer than a slow double click, shorter than a deliberate Start.
constexpr int kStartGuardMilliseconds = 1000;
// The least height of the log, in dialog units (three lines or so), for a
// window on a small screen.
constexpr int kLeastLogHeight = 30;
}  // namespace config

namespace {

// The job's messages, queued onto the form's thread in the order posted.
class QueuedSink : public JobSink {
 public:
  explicit QueuedSink(QObject* receiver, std::function<void(const QString&)> handler)
      : m_receiver(receiver), m_handler(std::move(handler)) {}
  void Post(std::string message) override {
    QMetaObject::invokeMethod(
        m_receiver, [h = m_handler, text = QString::fromStdString(message)] { h(text); },
        Qt::QueuedConnection);
  }

 private:
  QObject* m_receiver;
  std::function<void(const QString&)> m_handler;
};

// Start's questions and refusals through the program's prompts.
class FormPrompts : public FormHost {
 public:
  explicit FormPrompts(QWidget* parent) : m_parent(parent) {}
  bool AskYesNo(const std::string& text, const std::string& caption, Question) override {
    return UiPrompts::Current().AskYesNo(m_parent, QString::fromStdString(text),
                                         QString::fromStdString(caption));
  }
  void Tell(const std::string& text) override {
    UiPrompts::Current().Tell(m_parent, QString::fromStdString(text));
  }
  bool FileExists(const std::string& path) override { return CTextFile::FileExists(path); }

 private:
  QWidget* m_parent;
};

constexpr const char* kTextFilter = "Text Files (*.txt);;All Files (*)";
constexpr const char* kLogFilter = "Log Files (*.log);;All Files (*)";

QString Str(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

CZentrovaView::CZentrovaView(QWidget* parent) : QWidget(parent) {
  setObjectName("zentrovaView");
  m_form.sse2Present = GetCpuFeatures().sse2;
  m_form.params.saveMinutes = 60;
  m_form.devices = &SystemDevices();
  BuildControls();
  m_sink = std::make_unique<QueuedSink>(this, [this](const QString& text) { OnJobMessage(text); });
  m_tick.setInterval(config::kTickMilliseconds);
  connect(&m_tick, &QTimer::timeout, this, [this] { OnTick(); });
  m_poll.setInterval(config::kPollMilliseconds);
  connect(&m_poll, &QTimer::timeout, this, [this] {
    if (m_job) m_job->Poll();
  });
  m_startGuard = new QTimer(this);
  m_startGuard->setObjectName("startGuardTimer");
  m_startGuard->setSingleShot(true);
  m_startGuard->setInterval(config::kStartGuardMilliseconds);
  for (QLineEdit* e : findChildren<QLineEdit*>()) {
    connect(e, &QLineEdit::textEdited, m_startGuard, &QTimer::stop);
  }
  WriteForm();
  m_disableSse2->setEnabled(m_form.sse2Present);
}

CZentrovaView::~CZentrovaView() {
  // A job still running (the program is being torn down regardless) stops
  // with its final save before the form goes.
  if (m_job) {
    m_job->RequestStop();
    m_job->Wait();
  }
}

QSize CZentrovaView::TemplateSize() const {
  const DialogUnits du(this);
  return QSize(du.X(412), du.Y(320));
}

QSize CZentrovaView::FormDefaultSize() const {
  const DialogUnits du(this);
  return TemplateSize() + QSize(0, m_progress->height() + du.Y(5));
}

QSize CZentrovaView::FormMinimumSize() const {
  return FormDefaultSize() - QSize(0, m_logShrink);
}

QLineEdit* CZentrovaView::NumberEdit(int x, int y, int w, const char* name) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(name);
  DialogUnits(this).Place(edit, x, y, w, 14);
  return edit;
}

void CZentrovaView::BuildControls() {
  const DialogUnits du(this);
  auto* frame = new QGroupBox("New/Old/Report", this);
  frame->setObjectName("jobGroup");
  du.Place(frame, 10, 5, 390, 166);
  auto* stats = new QGroupBox("Statistics", this);
  stats->setObjectName("statisticsGroup");
  du.Place(stats, 10, 175, 390, 40);
  auto label = [&](const char* text, int x, int y, int w, int h, bool right) {
    auto* l = new QLabel(text, this);
    if (right) l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    du.Place(l, x, y, w, h);
  };
  const struct {
    const char* caption;
    const char* name;
    int y, w;
  } choices[] = {{"Start New Sieve", "newSieveRadio", 18, 76},
                 {"Resume Old Sieve", "resumeSieveRadio", 32, 76},
                 {"Generate Report", "reportRadio", 46, 71},
                 {"Build From Factors", "buildFromFactorsRadio", 60, 71},
                 {"Resume Wide Sieve", "resumeWideRadio", 74, 86}};
  for (int i = 0; i < 5; ++i) {
    m_choice[i] = new QRadioButton(choices[i].caption, this);
    m_choice[i]->setObjectName(choices[i].name);
    du.Place(m_choice[i], 20, choices[i].y, choices[i].w, 10);
    connect(m_choice[i], &QRadioButton::clicked, this, [this, i] { ChooseJob(i); });
  }
  m_choice[kChoiceResumeWide]->setEnabled(false);  // created disabled, never enabled

  label("Exponent:", 15, 102, 45, 8, true);
  m_exponent = NumberEdit(65, 100, 40, "exponentEdit");
  label("b Min:", 20, 122, 35, 8, true);
  m_bMin = NumberEdit(60, 121, 45, "bMinEdit");
  label("b Max:", 20, 142, 35, 8, true);
  m_bMax = NumberEdit(60, 140, 45, "bMaxEdit");

  const struct {
    const char* caption;
    const char* name;
    int y, labelW;
  } files[kFileFields] = {
      {"Factor Input File:", "factorIn", 20, 60}, {"Factor Output File:", "factorOut", 40, 60},
      {"Sieve Input File:", "sieveIn", 60, 60},   {"Sieve Output File:", "sieveOut", 81, 60},
      {"Proth.Log", "prothLog", 100, 55},         {"Report File:", "report", 120, 55}};
  for (int i = 0; i < kFileFields; ++i) {
    const int labelY = files[i].y == 81 ? 82 : files[i].y + 2;
    label(files[i].caption, 115, labelY, files[i].labelW, 10, false);
    m_fileEdit[i] = new QLineEdit(this);
    m_fileEdit[i]->setObjectName(QString(files[i].name) + "Edit");
    du.Place(m_fileEdit[i], 179, files[i].y, 150, 14);
    m_chooseButton[i] = new QPushButton("Choose", this);
    m_chooseButton[i]->setObjectName(QString(files[i].name) + "Choose");
    du.Place(m_chooseButton[i], 339, files[i].y, 50, 14);
    const auto field = static_cast<FileField>(i);
    connect(m_chooseButton[i], &QPushButton::clicked, this, [this, field] { ChooseFile(field); });
  }

  m_start = new QPushButton("Start", this);
  m_start->setObjectName("startButton");
  du.Place(m_start, 340, 190, 50, 14);
  connect(m_start, &QPushButton::clicked, this, [this] { StartOrStop(); });
  m_log = new QListWidget(this);
  m_log->setObjectName("logList");
  m_log->setSelectionMode(QAbstractItemView::NoSelection);
  m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  du.Place(m_log, 10, 221, 390, 94);
  m_bsLeft = NumberEdit(60, 190, 50, "bsLeftEdit");
  label("b's Left:", 20, 192, 35, 8, true);
  m_currentP = NumberEdit(177, 190, 85, "currentPEdit");
  label("Current P:", 137, 192, 35, 8, true);
  for (QLineEdit* e : {m_bsLeft, m_currentP}) {
    e->setReadOnly(true);
    e->setAlignment(Qt::AlignRight);
  }
  m_wideMath = new QCheckBox("Wide Range Math", this);
  m_wideMath->setObjectName("wideMathCheck");
  du.Place(m_wideMath, 237, 143, 85, 10);
  connect(m_wideMath, &QCheckBox::clicked, this, [this] { WideMathToggled(); });
  label("Min per File Save:", 115, 143, 60, 10, false);
  m_saveMinutes = NumberEdit(179, 140, 43, "saveMinutesEdit");
  m_disableSse2 = new QCheckBox("Disable SSE2 on P4", this);
  m_disableSse2->setObjectName("disableSse2Check");
  du.Place(m_disableSse2, 237, 157, 85, 10);

  // The template's tab order.
  QList<QWidget*> order = {m_choice[0], m_choice[1], m_choice[2], m_choice[3],
                           m_choice[4], m_exponent,  m_bMin,      m_bMax};
  for (int i = 0; i < kFileFields; ++i) order << m_fileEdit[i] << m_chooseButton[i];
  order << m_start << m_log << m_bsLeft << m_currentP << m_wideMath << m_saveMinutes
        << m_disableSse2;
  for (int i = 0; i + 1 < order.size(); ++i) setTabOrder(order[i], order[i + 1]);
  FitCaptions();
  // The panel comes under the template, as wide as its groups.
  m_progress = new CProgressPanel(this);
  m_progress->setGeometry(du.X(10), du.Y(320), du.X(390), m_progress->sizeHint().height());
  m_growing = {{frame, frame->geometry(), kGrowAcross},
               {stats, stats->geometry(), kGrowAcross},
               {m_start, m_start->geometry(), kMoveAcross},
               {m_log, m_log->geometry(), kGrowAcross | kGrowDown},
               {m_progress, m_progress->geometry(), kGrowAcross | kMoveDown}};
  for (int i = 0; i < kFileFields; ++i) {
    m_growing.push_back({m_fileEdit[i], m_fileEdit[i]->geometry(), kGrowAcross});
    m_growing.push_back({m_chooseButton[i], m_chooseButton[i]->geometry(), kMoveAcross});
  }
  m_logShrink = std::max(0, m_log->height() - du.Y(config::kLeastLogHeight));
  setMinimumSize(FormMinimumSize());
}

void CZentrovaView::FitCaptions() {
  // Radio buttons and check boxes have free room to their right.
  for (QAbstractButton* b : findChildren<QAbstractButton*>()) {
    if (qobject_cast<QPushButton*>(b) != nullptr) continue;
    if (b->sizeHint().width() > b->width()) b->resize(b->sizeHint().width(), b->height());
  }
  // A right-aligned caption stands left of its field and grows leftwards.
  // The captions of the file fields (and the save interval's) share a
  // column: when one is too narrow, the column widens and the fields after
  // it start further right, keeping their right edges.
  const DialogUnits du(this);
  int column = 0;
  for (QLabel* l : findChildren<QLabel*>()) {
    const int need = l->sizeHint().width();
    if (need <= l->width()) continue;
    if (l->alignment() & Qt::AlignRight) {
      l->setGeometry(l->geometry().adjusted(l->width() - need, 0, 0, 0));
    } else {
      l->resize(need, l->height());
      column = std::max(column, need);
    }
  }
  const int shift = column - du.X(60);
  if (shift <= 0) return;
  QList<QLineEdit*> fields(m_fileEdit.begin(), m_fileEdit.end());
  fields << m_saveMinutes;
  for (QLineEdit* e : fields) e->setGeometry(e->geometry().adjusted(shift, 0, 0, 0));
}

void CZentrovaView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceGrowingControls();
}

void CZentrovaView::PlaceGrowingControls() {
  // Below the default height only the log gives up room (the panel under it
  // moves up with it).
  const QSize standard = FormDefaultSize();
  const int dx = std::max(0, width() - standard.width());
  const int dy = std::max(-m_logShrink, height() - standard.height());
  for (const GrowingControl& c : m_growing) {
    QRect r = c.atDefault;
    if (c.growth & kGrowAcross) r.setWidth(r.width() + dx);
    if (c.growth & kMoveAcross) r.translate(dx, 0);
    if (c.growth & kGrowDown) r.setHeight(r.height() + dy);
    if (c.growth & kMoveDown) r.translate(0, dy);
    c.widget->setGeometry(r);
  }
}

void CZentrovaView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!m_startedUp) {
    m_startedUp = true;
    // The deferred start-up step, after the first showing.
    QMetaObject::invokeMethod(
        this, [this] { StartUp(); }, Qt::QueuedConnection);
  }
}

void CZentrovaView::InitialUpdate() {
  if (m_jobRunning) return;
  WriteForm();
  m_disableSse2->setEnabled(m_form.sse2Present);
  QMetaObject::invokeMethod(
      this, [this] { StartUp(); }, Qt::QueuedConnection);
}

void CZentrovaView::StartUp() {
  QString folder = m_filesFolder;
  if (folder.isEmpty())
    folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
  QDir().mkpath(folder);
  m_paramFile = QDir(folder).filePath("zentrova.ini");
  m_logFile = QDir(folder).filePath("zentrova.log");
  if (!m_restored) {
    m_restored = true;
    RestoreParameters();
    RestoreEngineSettings();
    m_lastFactorOut = m_form.params.factorOut;
    m_lastSieveOut = m_form.params.sieveOut;
    emit ParameterFileReady();
  }
  for (int i = 0; i < 5; ++i) m_choice[i]->setChecked(i == kChoiceNewSieve);
  m_form.params.jobChoice = kChoiceNewSieve;
  ApplyLayout(kChoiceNewSieve);
  OnJobMessage(kBuildBanner);
}

void CZentrovaView::ApplyLayout(int choice) {
  const FormLayout l = LayoutFor(choice, m_form.params.wideMath != 0);
  const bool files[kFileFields] = {l.factorIn, l.factorOut, l.sieveIn,
                                   l.sieveOut, l.prothLog,  l.report};
  for (int i = 0; i < kFileFields; ++i) {
    m_fileEdit[i]->setEnabled(files[i]);
    m_chooseButton[i]->setEnabled(files[i]);
  }
  for (QLineEdit* e : {m_exponent, m_bMin, m_bMax}) e->setEnabled(l.numbers);
  m_wideMath->setEnabled(l.wideMath);
  m_saveMinutes->setEnabled(l.saveMinutes);
  m_start->setText(QString::fromStdString(l.startText));
}

void CZentrovaView::ChooseJob(int choice) {
  if (m_jobRunning) return;
  m_startGuard->stop();
  m_form.params.jobChoice = choice;
  if (choice == kChoiceResumeSieve && ReadForm()) {
    // The files the last sieve wrote are the inputs to go on from.
    const struct {
      const std::string& written;
      std::string& input;
      FileField field;
    } offers[] = {{m_lastSieveOut, m_form.params.sieveIn, kSieveIn},
                  {m_lastFactorOut, m_form.params.factorIn, kFactorIn}};
    for (const auto& o : offers) {
      if (!CTextFile::FileExists(o.written)) continue;
      o.input = o.written;
      m_fileEdit[o.field]->setText(Str(o.written));
    }
  } else if (choice == kChoiceBuildFromFactors) {
    ReadForm();
  }
  if (choice == kChoiceResumeWide) {
    ReadForm();
    LoadParameters();
    m_form.params.wideMath = 1;
    WriteForm();
  }
  ApplyLayout(choice);
}

void CZentrovaView::WideMathToggled() {
  m_startGuard->stop();
  ReadForm();
  const int choice = m_form.params.jobChoice;
  const bool narrow = m_form.params.wideMath == 0;
  if (choice == kChoiceResumeSieve) {
    m_fileEdit[kFactorIn]->setEnabled(narrow);
    m_chooseButton[kFactorIn]->setEnabled(narrow);
  } else if (choice == kChoiceBuildFromFactors) {
    m_fileEdit[kFactorOut]->setEnabled(narrow);
    m_chooseButton[kFactorOut]->setEnabled(narrow);
  }
}

bool CZentrovaView::ReadForm() {
  FormParams& p = m_form.params;
  p.factorIn = m_fileEdit[kFactorIn]->text().toStdString();
  p.factorOut = m_fileEdit[kFactorOut]->text().toStdString();
  p.sieveOut = m_fileEdit[kSieveOut]->text().toStdString();
  p.sieveIn = m_fileEdit[kSieveIn]->text().toStdString();
  p.prothLog = m_fileEdit[kProthLog]->text().toStdString();
  p.report = m_fileEdit[kReport]->text().toStdString();
  p.jobChoice = -1;
  for (int i = 0; i < 5; ++i) {
    if (m_choice[i]->isChecked()) p.jobChoice = i;
  }
  for (auto [edit, field] : {std::pair{m_bMax, &p.bMax}, std::pair{m_bMin, &p.bMin},
                             std::pair{m_exponent, &p.exponent}}) {
    if (!ParseIntegerField(edit->text().toStdString(), *field)) {
      UiPrompts::Current().Tell(this, kNotAnInteger);
      return false;
    }
  }
  p.wideMath = m_wideMath->isChecked() ? 1 : 0;
  if (!ParseIntegerField(m_saveMinutes->text().toStdString(), p.saveMinutes)) {
    UiPrompts::Current().Tell(this, kNotAnInteger);
    return false;
  }
  m_form.disableSse2 = m_disableSse2->isChecked();
  return true;
}

void CZentrovaView::WriteForm() {
  const FormParams& p = m_form.params;
  m_fileEdit[kFactorIn]->setText(Str(p.factorIn));
  m_fileEdit[kFactorOut]->setText(Str(p.factorOut));
  m_fileEdit[kSieveOut]->setText(Str(p.sieveOut));
  m_fileEdit[kSieveIn]->setText(Str(p.sieveIn));
  m_fileEdit[kProthLog]->setText(Str(p.prothLog));
  m_fileEdit[kReport]->setText(Str(p.report));
  for (int i = 0; i < 5; ++i) m_choice[i]->setChecked(i == p.jobChoice);
  m_bMax->setText(QString::number(p.bMax));
  m_bMin->setText(QString::number(p.bMin));
  m_exponent->setText(QString::number(p.exponent));
  m_wideMath->setChecked(p.wideMath != 0);
  m_saveMinutes->setText(QString::number(p.saveMinutes));
  m_disableSse2->setChecked(m_form.disableSse2);
}

void CZentrovaView::SaveParameters() {
  if (m_paramFile.isEmpty()) return;
  QSettings settings(m_paramFile, QSettings::IniFormat);
  settings.beginGroup(kParameterSection);
  for (const auto& [key, value] : ParameterEntries(m_form.params)) {
    settings.setValue(Str(key), Str(value));
  }
  settings.endGroup();
  settings.sync();
  SaveEngineSettings();
}

void CZentrovaView::SaveEngineSettings() {
  if (m_paramFile.isEmpty()) return;
  QSettings settings(m_paramFile, QSettings::IniFormat);
  settings.beginGroup(kEngineSection);
  for (const auto& [key, value] : EngineEntries(m_form.engine)) {
    settings.setValue(Str(key), Str(value));
  }
  settings.endGroup();
  settings.sync();
}

void CZentrovaView::RestoreEngineSettings() {
  if (m_paramFile.isEmpty() || !QFileInfo(m_paramFile).isFile()) return;
  QSettings settings(m_paramFile, QSettings::IniFormat);
  if (settings.status() != QSettings::NoError) return;
  EngineSettings restored = m_form.engine;
  settings.beginGroup(kEngineSection);
  for (const auto& entry : EngineEntries(EngineSettings{})) {
    const QString name = Str(entry.first);
    if (!settings.contains(name)) continue;
    const QVariant value = settings.value(name);
    if (!value.canConvert<QString>()) continue;
    ApplyEngineEntry(restored, entry.first, value.toString().toStdString());
  }
  settings.endGroup();
  if (settings.status() != QSettings::NoError) return;
  m_form.engine = restored;
}

bool CZentrovaView::SetEngine(const EngineSettings& engine) {
  SieveJob scratch;
  if (ApplyEngineSettings(engine, nullptr, scratch) != EngineField::kNone) return false;
  m_form.engine = engine;
  SaveEngineSettings();
  return true;
}

void CZentrovaView::EngineSettingsDialog() {
  if (m_jobRunning) return;
  CEngineDialog dialog(m_form.devices != nullptr ? m_form.devices->List()
                                                 : std::vector<DeviceInfo>(),
                       this);
  dialog.SetSettings(m_form.engine);
  if (dialog.exec() != QDialog::Accepted || m_jobRunning) return;
  SetEngine(dialog.Settings());
}

void CZentrovaView::LoadParameters() {
  if (m_paramFile.isEmpty()) return;
  QSettings settings(m_paramFile, QSettings::IniFormat);
  settings.beginGroup(kParameterSection);
  for (const auto& entry : ParameterEntries(FormParams{})) {
    const QString key = Str(entry.first);
    ApplyParameter(m_form.params, entry.first,
                   settings.value(key, QString()).toString().toStdString());
  }
}

void CZentrovaView::RestoreParameters() {
  if (m_paramFile.isEmpty() || !QFileInfo(m_paramFile).isFile()) return;
  QSettings settings(m_paramFile, QSettings::IniFormat);
  if (settings.status() != QSettings::NoError) return;
  FormParams restored = m_form.params;
  settings.beginGroup(kParameterSection);
  for (const auto& [key, defaultValue] : ParameterEntries(FormParams{})) {
    const QString name = Str(key);
    if (!settings.contains(name)) continue;
    const QVariant value = settings.value(name);
    if (!value.canConvert<QString>()) continue;
    const std::string text = value.toString().toStdString();
    // The number keys are those whose default reads as a number.
    int32_t number = 0;
    if (ParseIntegerField(defaultValue, number) && !ParseIntegerField(text, number)) continue;
    ApplyParameter(restored, key, text);
  }
  settings.endGroup();
  if (settings.status() != QSettings::NoError) return;
  m_form.params = restored;
  WriteForm();
}

void CZentrovaView::ChooseFile(FileField field) {
  m_startGuard->stop();
  ReadForm();
  UiPrompts& prompts = UiPrompts::Current();
  const bool open = field == kFactorIn || field == kSieveIn || field == kProthLog;
  const QString filter = field == kProthLog ? kLogFilter : kTextFilter;
  const QString path = open ? prompts.ChooseOpenFile(this, filter, true, QString())
                            : prompts.ChooseSaveFile(this, filter);
  if (path.isEmpty()) {
    prompts.Tell(this, kSelectionCancelled, kCancelCaption, UiPrompts::Icon::kInformation);
    return;
  }
  std::string* target[kFileFields] = {&m_form.params.factorIn, &m_form.params.factorOut,
                                      &m_form.params.sieveIn,  &m_form.params.sieveOut,
                                      &m_form.params.prothLog, &m_form.params.report};
  *target[field] = path.toStdString();
  WriteForm();
}

void CZentrovaView::StartOrStop() {
  if (m_jobRunning) {
    if (m_job) m_job->RequestStop();
    m_startGuard->start();
    return;
  }
  if (m_startGuard->isActive()) return;
  ReadForm();  // a field without an integer keeps its previous value
  // The outputs are claimed before any question about them: a second
  // program pointed at a running sieve's files is refused here, before it
  // asks anything. The claims end when the job takes its own.
  std::vector<std::unique_ptr<OutputLock>> claims;
  std::string refusal;
  if (!ClaimStartOutputs(m_form.params, claims, refusal)) {
    UiPrompts::Current().Tell(this, Str(refusal));
    return;
  }
  FormPrompts host(this);
  if (!RunStartChecks(m_form.params, host)) return;
  claims.clear();
  StartJob(m_form.params.jobChoice, true);
}

void CZentrovaView::ReadHistory(int32_t command, std::vector<SieveHistoryPoint>& points) {
  points.clear();
  if (command != kCmdResumeSieve) return;
  const FormParams& p = m_form.params;
  // A wide resume without a factor input appends to its factor output.
  std::string factors = p.factorIn;
  if (factors.empty() && p.wideMath != 0 && CTextFile::FileExists(p.factorOut)) {
    factors = p.factorOut;
  }
  SieveHistory history;
  std::string why;
  // Files that cannot be read are the job's to report.
  if (history.Read(factors, p.sieveIn, why)) points = history.Points();
}

void CZentrovaView::StartJob(int32_t command, bool fromStart) {
  SieveJob job;
  const int32_t wide = JobForCommand(m_form, command, job);
  // Read before the job starts, while the files are as the user chose them.
  std::vector<SieveHistoryPoint> history;
  ReadHistory(command, history);
  // The first line of a sieve or a benchmark names what does the work, as
  // on the command line.
  if (JobRunner::HasEngineLine(job)) AddLogLine(Str(JobRunner::EngineLine(job)));
  try {
    m_job = std::make_unique<JobRunner>(job, *m_sink, wide);
    m_jobRunning = true;
    m_job->Start();
  } catch (const std::exception&) {
    m_job.reset();
    m_jobRunning = false;
    UiPrompts::Current().Tell(this, kThreadFailed);
    return;
  }
  m_start->setText("Stop");
  // The last job's statistics are not this one's.
  m_bsLeft->clear();
  m_currentP->clear();
  m_progress->Clear();
  if (fromStart) SetParameterControlsEnabled(false);
  m_command = command;
  m_tick.start();
  m_poll.start();
  emit JobStateChanged(true);
  if (command == kCmdNewSieve || command == kCmdBuildFromFactors) {
    emit JobRange(m_form.params.bMin, m_form.params.bMax, m_form.params.exponent);
  }
  if (!history.empty()) emit HistoryRead(history);
}

void CZentrovaView::SetParameterControlsEnabled(bool enabled) {
  for (int i = 0; i < kFileFields; ++i) {
    m_fileEdit[i]->setEnabled(enabled);
    m_chooseButton[i]->setEnabled(enabled);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{m_exponent, m_bMin, m_bMax, m_wideMath,
                                                    m_saveMinutes, m_disableSse2}) {
    w->setEnabled(enabled);
  }
  for (QRadioButton* r : m_choice) r->setEnabled(enabled);
}

void CZentrovaView::OnTick() {
  if (!m_jobRunning) {
    m_tick.stop();
    return;
  }
  if (m_job) {
    // Sampled before the job answers the tick, so that the rates cover the
    // interval that just ended.
    const RunProgress progress = m_job->Sample();
    m_progress->Show(progress);
    emit ProgressSampled(progress);
    m_job->Tick();
  }
}

void CZentrovaView::OnJobMessage(const QString& text) {
  const ShownMessage m = ParseJobMessage(text.toStdString());
  switch (m.kind) {
    case ShownMessage::kStatistics:
      if (m.texts.size() == 2) {
        m_bsLeft->setText(Str(m.texts[0]));
        m_currentP->setText(Str(m.texts[1]));
      }
      return;
    case ShownMessage::kParameters: {
      QLineEdit* edits[] = {m_bMin, m_bMax, m_exponent};
      for (size_t i = 0; i < m.texts.size(); ++i) edits[i]->setText(Str(m.texts[i]));
      if (m.numbers) emit JobRange(m.bMin, m.bMax, m.exponent);
      return;
    }
    case ShownMessage::kEnd:
      EndOfJob();
      return;
    case ShownMessage::kLog:
      AddLogLine(text);
      return;
  }
}

void CZentrovaView::ShowFinalState() {
  // The job has ended: no stop rate is to be judged on this last sample.
  m_job->RequestStop();
  RunProgress last = m_job->Sample();
  if (last.basesLeft < 0 || last.savedDepth == 0) return;
  // The statistics as the job's own line writes them, at the saved depth.
  const ShownMessage m =
      ParseJobMessage(FormatStatusLine(static_cast<int32_t>(last.basesLeft), last.savedDepth));
  if (m.texts.size() == 2) {
    m_bsLeft->setText(Str(m.texts[0]));
    m_currentP->setText(Str(m.texts[1]));
  }
  last.pReached = last.savedDepth;
  last.secondsToPMax = -1;
  m_progress->ShowEnd(last);
  emit ProgressSampled(last);
}

void CZentrovaView::EndOfJob() {
  if (m_job) {
    m_job->Wait();  // "@" is its last message: the thread is ending
    ShowFinalState();
  }
  m_job.reset();
  m_start->setText("Start");
  m_jobRunning = false;
  m_tick.stop();
  m_poll.stop();
  if (m_command == kCmdNewSieve || m_command == kCmdResumeSieve ||
      m_command == kCmdBuildFromFactors) {
    m_lastFactorOut = m_form.params.factorOut;
    m_lastSieveOut = m_form.params.sieveOut;
  }
  WriteForm();
  SaveParameters();
  for (int i = 0; i < 4; ++i) m_choice[i]->setEnabled(true);
  m_disableSse2->setEnabled(m_form.sse2Present);
  ReadForm();
  const int choice = m_form.params.jobChoice;
  ApplyLayout(choice >= 1 && choice <= 4 ? choice : kChoiceNewSieve);
  emit JobStateChanged(false);
  if (m_shutdownAfterJob) {
    m_shutdownAfterJob = false;
    emit ShutdownReady();
  }
}

void CZentrovaView::StopForShutdown(const QString& why) {
  if (!m_jobRunning) {
    emit ShutdownReady();
    return;
  }
  if (!m_shutdownAfterJob) {
    m_shutdownAfterJob = true;
    AddLogLine(why);
  }
  if (m_job) m_job->RequestStop();
}

void CZentrovaView::AddLogLine(const QString& text) {
  const std::string line = LogLineWithTime(text.toStdString(), std::time(nullptr));
  m_log->addItem(Str(line));
  m_log->setCurrentRow(m_log->count() - 1);
  m_log->scrollToBottom();
  if (m_logFile.isEmpty()) return;
  if (std::FILE* f = std::fopen(m_logFile.toLocal8Bit().constData(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

void CZentrovaView::BenchSpeeds() {
  if (m_jobRunning) return;
  StartJob(kCmdBench, false);
}

void CZentrovaView::UsePackedKFiles() {
  if (m_jobRunning) return;
  CSelectKFileDirectory dialog(this);
  dialog.m_directory = Str(m_form.params.packedKDir);
  dialog.m_exponent = m_form.params.packedKExponent;
  if (dialog.exec() != QDialog::Accepted) return;
  m_form.params.packedKDir = dialog.m_directory.toStdString();
  m_form.params.packedKExponent = dialog.m_exponent;
}

void CZentrovaView::CreatePackedKFiles() {
  if (m_jobRunning) return;
  CCreatePackedKFile dialog(this);
  if (dialog.exec() != QDialog::Accepted || m_jobRunning) return;
  m_form.params.exponent = dialog.m_exponent;
  m_form.params.packedKDir = dialog.m_directory.toStdString();
  m_form.params.ln = dialog.m_ln;
  StartJob(kCmdCreatePackedK, false);
}

void CZentrovaView::UseKLogFile() {
  CPackedKFileSelection dialog(this);
  dialog.m_fileName = Str(m_form.params.packedKDir);
  if (dialog.exec() != QDialog::Accepted) return;
  m_form.params.packedKDir = dialog.m_fileName.toStdString();
}

void CZentrovaView::BuildToBeFactoredList() {
  if (m_jobRunning) return;
  CToBeFactored dialog(this);
  if (dialog.exec() != QDialog::Accepted) return;
  FormParams& p = m_form.params;
  p.bMin = dialog.m_bMin;
  p.bMax = dialog.m_bMax;
  p.exponent = dialog.m_exponent;
  p.sieveIn = dialog.m_inputFile.toStdString();
  p.sieveOut = dialog.m_outputFile.toStdString();
  StartJob(kCmdToBeFactored, false);
}

bool CZentrovaView::SetPriority(int choice) {
  using platform::ProcessPriority;
  static constexpr ProcessPriority kClasses[3] = {
      ProcessPriority::kIdle, ProcessPriority::kBelowNormal, ProcessPriority::kNormal};
  static constexpr const char* kNames[3] = {"Idle", "Below Normal", "Normal"};
  if (choice < 0 || choice > 2) return false;
  if (!platform::SetProcessPriority(kClasses[choice])) {
    const int error = errno;
    const QString why = QString::fromLocal8Bit(std::strerror(error));
    AddLogLine(error == EPERM || error == EACCES
                   ? QString("The system refused priority class %1 (%2): raising the priority "
                             "again needs privileges this user does not have.  The program "
                             "keeps priority class %3.")
                         .arg(kNames[choice], why, kNames[m_priority])
                   : QString("Priority class %1 could not be set (%2).  The program keeps "
                             "priority class %3.")
                         .arg(kNames[choice], why, kNames[m_priority]));
    return false;
  }
  m_priority = choice;
  return true;
}

}  // namespace zentrova
