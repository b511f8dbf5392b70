#include "app/MainFrame.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <algorithm>
#include <csignal>

#include "app/DialogUnits.h"
#include "app/UiPrompts.h"
#include "cli/Version.h"
#include "math/CpuFeatures.h"

namespace zentrova {

namespace {

constexpr const char* kWindowSection = "Window";

}  // namespace

CMainFrame::CMainFrame(bool developerMenu, QWidget* parent)
    : QMainWindow(parent), m_view(new CZentrovaView(this)) {
  setObjectName("mainFrame");
  const CpuFeatures& cpu = GetCpuFeatures();
  SetDocumentTitle(QString::fromStdString(ProcessorTitle(cpu.vendor, cpu.maxLeaf, cpu.signature)));
  auto* newDoc = new QShortcut(QKeySequence::New, this);
  connect(newDoc, &QShortcut::activated, this, &CMainFrame::NewDocument);
  auto* openDoc = new QShortcut(QKeySequence::Open, this);
  connect(openDoc, &QShortcut::activated, this, &CMainFrame::OpenDocument);
  statusBar()->setObjectName("statusBar");
  statusBar()->showMessage("Ready");
  // The chart beside the form: a new job starts an empty one (with a
  // resumed sieve's past), and the last job's stays until then, to be
  // looked at or saved.
  m_splitter = new QSplitter(Qt::Horizontal, this);
  m_splitter->setObjectName("mainSplitter");
  m_splitter->setChildrenCollapsible(false);
  m_splitter->addWidget(m_view);
  m_chart = new CProgressChart(m_splitter);
  m_splitter->addWidget(m_chart);
  // A wider window widens the chart (the form's fields have what they need);
  // the splitter gives either side more.
  m_splitter->setStretchFactor(0, 0);
  m_splitter->setStretchFactor(1, 1);
  setCentralWidget(m_splitter);
  connect(m_view, &CZentrovaView::ProgressSampled, m_chart, &CProgressChart::Add);
  connect(m_view, &CZentrovaView::JobStateChanged, m_chart, [this](bool running) {
    if (running) m_chart->Clear();
  });
  connect(m_view, &CZentrovaView::HistoryRead, m_chart, &CProgressChart::AddHistory);
  connect(m_view, &CZentrovaView::JobRange, m_chart, &CProgressChart::SetRange);
  connect(m_chart, &CProgressChart::Saved, this, [this](const QString& path) {
    const QString text = QString("Chart written to %1.").arg(path);
    m_view->Log(text);
    ShowStatusText(text);
  });
  connect(m_view, &CZentrovaView::ParameterFileReady, this, &CMainFrame::RestoreWindow);
  BuildMenus(developerMenu);
  connect(m_view, &CZentrovaView::JobStateChanged, this, [this] { UpdateMenus(); });
  connect(m_view, &CZentrovaView::ShutdownReady, this, [this] {
    close();
    QCoreApplication::quit();
  });
  UpdateMenus();
  resize(DefaultSize());
}

QSize CMainFrame::DefaultSize() const {
  const QSize form = m_view->FormDefaultSize();
  const QSize wanted(
      form.width() + m_splitter->handleWidth() + m_chart->minimumSizeHint().width(),
      form.height() + menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
  QSize size = wanted;
  if (const QScreen* s = screen()) {
    // The title bar, which the window system adds, comes out of the screen too.
    const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight);
    size = size.boundedTo(s->availableGeometry().size() - QSize(0, titleBar));
  }
  return size.expandedTo(minimumSizeHint());
}

void CMainFrame::RestoreWindow() {
  const QString path = m_view->ParameterFilePath();
  if (path.isEmpty() || !QFileInfo(path).isFile()) return;
  QSettings settings(path, QSettings::IniFormat);
  settings.beginGroup(kWindowSection);
  bool wide = false, high = false;
  const int width = settings.value("Width").toInt(&wide);
  const int height = settings.value("Height").toInt(&high);
  if (wide && high && width > 0 && height > 0) {
    QSize size(width, height);
    if (const QScreen* s = screen()) size = size.boundedTo(s->availableGeometry().size());
    resize(size.expandedTo(minimumSizeHint()));
  }
  if (settings.contains("Chart")) m_chartShown->setChecked(settings.value("Chart").toBool());
  QList<int> sizes;
  for (const QString& part : settings.value("Splitter").toString().split(',')) {
    bool number = false;
    const int n = part.toInt(&number);
    if (number && n > 0) sizes << n;
  }
  if (sizes.size() == m_splitter->count()) m_splitter->setSizes(sizes);
  if (settings.value("Maximized").toBool()) showMaximized();
}

void CMainFrame::SaveWindow() {
  const QString path = m_view->ParameterFilePath();
  if (path.isEmpty()) return;
  QSettings settings(path, QSettings::IniFormat);
  settings.beginGroup(kWindowSection);
  // A maximized window keeps the size it comes back to.
  const QSize size = isMaximized() ? normalGeometry().size() : this->size();
  settings.setValue("Width", size.width());
  settings.setValue("Height", size.height());
  settings.setValue("Maximized", isMaximized());
  settings.setValue("Chart", m_chartShown->isChecked());
  QStringList sizes;
  for (const int n : m_splitter->sizes()) sizes << QString::number(n);
  settings.setValue("Splitter", sizes.join(','));
  settings.endGroup();
  settings.sync();
}

void CMainFrame::BuildMenus(bool developerMenu) {
  QMenu* file = menuBar()->addMenu("&File");
  QAction* exit = file->addAction("E&xit", this, [this] { close(); });
  exit->setObjectName("exitAction");
  exit->setStatusTip("Quit the application; prompts to save documents");

  QMenu* options = menuBar()->addMenu("&Options");
  options->setObjectName("optionsMenu");
  m_usePacked =
      options->addAction("&Use Packed K Files...", m_view, &CZentrovaView::UsePackedKFiles);
  m_usePacked->setObjectName("usePackedKAction");
  m_usePacked->setStatusTip(
      "Select the directory containing the packed K files to use for this run.");
  m_createPacked =
      options->addAction("&Create Packed K Files...", m_view, &CZentrovaView::CreatePackedKFiles);
  m_createPacked->setObjectName("createPackedKAction");
  m_createPacked->setStatusTip("Create packed K files for later usage.");
  options->addSeparator();
  m_engine = options->addAction("&Engine...", m_view, &CZentrovaView::EngineSettingsDialog);
  m_engine->setObjectName("engineAction");
  m_engine->setStatusTip("Threads, device, p limit and stop rate of the next run.");
  options->addSeparator();
  m_toBeFactored = options->addAction("Build To_Be_Factor List From Candidate List...", m_view,
                                      &CZentrovaView::BuildToBeFactoredList);
  m_toBeFactored->setObjectName("toBeFactoredAction");
  m_toBeFactored->setStatusTip(
      "Generate a to_be_factored list from items missing in the candiate list.");
  options->addSeparator();
  QMenu* priority = options->addMenu("Priority Class");
  auto* group = new QActionGroup(this);
  const struct {
    const char* text;
    const char* name;
    int value;
  } classes[] = {{"&Normal", "priorityNormalAction", 2},
                 {"&Below Normal", "priorityBelowNormalAction", 1},
                 {"&Idle", "priorityIdleAction", 0}};
  for (const auto& c : classes) {
    QAction* a = priority->addAction(c.text);
    a->setObjectName(c.name);
    a->setCheckable(true);
    a->setChecked(c.value == m_view->Priority());
    group->addAction(a);
    const int value = c.value;
    connect(a, &QAction::triggered, this, [this, value] {
      // Refused: the menu shows the class still in force.
      if (!m_view->SetPriority(value)) {
        m_priority[static_cast<size_t>(m_view->Priority())]->setChecked(true);
      }
    });
    m_priority[static_cast<size_t>(c.value)] = a;
  }

  QMenu* view = menuBar()->addMenu("&View");
  QAction* bar = view->addAction("&Status Bar");
  bar->setObjectName("statusBarAction");
  bar->setCheckable(true);
  bar->setChecked(true);
  bar->setStatusTip("Show or hide the status bar");
  connect(bar, &QAction::toggled, statusBar(), &QStatusBar::setVisible);
  m_chartShown = view->addAction("&Progress Chart");
  m_chartShown->setObjectName("chartAction");
  m_chartShown->setCheckable(true);
  m_chartShown->setChecked(true);
  m_chartShown->setStatusTip("Show or hide the progress chart");
  connect(m_chartShown, &QAction::toggled, m_chart, &QWidget::setVisible);

  QMenu* help = menuBar()->addMenu("&Help");
  QAction* about = help->addAction("&About Zentrova...", this, &CMainFrame::About);
  about->setObjectName("aboutAction");
  about->setStatusTip("Display program information, version number and copyright");

  // The developer menu: reading k from one packed K file, and the benchmark.
  QMenu* dev = new QMenu("DevMen", this);
  dev->setObjectName("developerMenu");
  m_useKLog = dev->addAction("&Use K LogFile...", m_view, &CZentrovaView::UseKLogFile);
  m_useKLog->setObjectName("useKLogFileAction");
  m_useKLog->setStatusTip("Take K values from packed file rather than generate them.");
  dev->addSeparator();
  m_bench = dev->addAction("Bench Speeds", m_view, &CZentrovaView::BenchSpeeds);
  m_bench->setObjectName("benchSpeedsAction");
  m_bench->setStatusTip("Benchmark the speed on this processor.");
  if (developerMenu) menuBar()->insertMenu(help->menuAction(), dev);
}

void CMainFrame::UpdateMenus() {
  const MenuState s = MenusFor(m_view->JobRunning());
  m_bench->setEnabled(s.benchSpeeds);
  m_createPacked->setEnabled(s.createPackedK);
  m_usePacked->setEnabled(s.usePackedK);
  m_toBeFactored->setEnabled(s.toBeFactored);
  m_useKLog->setEnabled(s.useKLogFile);
  m_engine->setEnabled(!m_view->JobRunning());
}

void CMainFrame::SetDocumentTitle(const QString& title) {
  setWindowTitle(QString("%1 - %2").arg(kFrameTitle, title));
}

void CMainFrame::NewDocument() {
  if (m_view->JobRunning()) return;
  const CpuFeatures& cpu = GetCpuFeatures();
  SetDocumentTitle(QString::fromStdString(ProcessorTitle(cpu.vendor, cpu.maxLeaf, cpu.signature)));
  m_view->InitialUpdate();
}

void CMainFrame::OpenDocument() {
  if (m_view->JobRunning()) return;
  const QString path = UiPrompts::Current().ChooseOpenFile(this, "All Files (*)", true, QString());
  if (path.isEmpty()) return;
  SetDocumentTitle(QFileInfo(path).fileName());
  m_view->InitialUpdate();
}

void CMainFrame::ShowStatusText(const QString& text) {
  statusBar()->showMessage(text);
}

void CMainFrame::About() {
  QDialog box(this);
  box.setObjectName("aboutBox");
  box.setWindowTitle("About Zentrova");
  const DialogUnits du(&box);
  auto* icon = new QLabel(&box);
  icon->setPixmap(windowIcon().pixmap(32, 32));
  du.Place(icon, 11, 17, 20, 20);
  auto* text = new QLabel("Zentrova Version 2.1", &box);
  du.Place(text, 40, 10, 119, 8);
  // Under the box's own line, the build's version as `zentrova --version`
  // prints it; the box grows to hold it.
  auto* version = new QLabel(QString::fromStdString(cli::VersionText()), &box);
  version->setObjectName("versionLabel");
  version->setTextInteractionFlags(Qt::TextSelectableByMouse);
  const QSize need = version->sizeHint();
  version->setGeometry(du.X(40), du.Y(26), need.width(), need.height());
  box.setFixedSize(std::max(du.X(235), du.X(40) + need.width() + du.X(7)),
                   std::max(du.Y(79), du.Y(26) + need.height() + du.Y(7)));
  auto* ok = new QPushButton("OK", &box);
  ok->setObjectName("okButton");
  ok->setDefault(true);
  du.Place(ok, 178, 7, 50, 14);
  connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
  box.exec();
}

void CMainFrame::ShutDown(int signal) {
  m_view->StopForShutdown(
      QString("%1 received; finishing the current batch and saving, then closing.")
          .arg(signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "A stop signal"));
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (m_view->JobRunning()) {
    UiPrompts::Current().Tell(this, kCloseRefused);
    event->ignore();
    return;
  }
  SaveWindow();
  event->accept();
}

}  // namespace zentrova
