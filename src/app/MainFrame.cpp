#include "app/MainFrame.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDockWidget>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <csignal>

#include "app/DialogUnits.h"
#include "app/UiPrompts.h"
#include "math/CpuFeatures.h"

namespace zentrova {

CMainFrame::CMainFrame(bool developerMenu, QWidget* parent)
    : QMainWindow(parent), m_view(new CZentrovaView(this)) {
  setObjectName("mainFrame");
  setCentralWidget(m_view);
  const CpuFeatures& cpu = GetCpuFeatures();
  SetDocumentTitle(QString::fromStdString(ProcessorTitle(cpu.vendor, cpu.maxLeaf, cpu.signature)));
  auto* newDoc = new QShortcut(QKeySequence::New, this);
  connect(newDoc, &QShortcut::activated, this, &CMainFrame::NewDocument);
  auto* openDoc = new QShortcut(QKeySequence::Open, this);
  connect(openDoc, &QShortcut::activated, this, &CMainFrame::OpenDocument);
  statusBar()->setObjectName("statusBar");
  statusBar()->showMessage("Ready");
  // The chart beside the form: a new job starts an empty one, and the last
  // job's stays until then, to be looked at or saved.
  auto* dock = new QDockWidget("Progress Chart", this);
  dock->setObjectName("chartDock");
  dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                    QDockWidget::DockWidgetFloatable);
  m_chart = new CProgressChart(dock);
  dock->setWidget(m_chart);
  addDockWidget(Qt::RightDockWidgetArea, dock);
  connect(m_view, &CZentrovaView::ProgressSampled, m_chart, &CProgressChart::Add);
  connect(m_view, &CZentrovaView::JobStateChanged, m_chart, [this](bool running) {
    if (running) m_chart->Clear();
  });
  BuildMenus(developerMenu);
  connect(m_view, &CZentrovaView::JobStateChanged, this, [this] { UpdateMenus(); });
  connect(m_view, &CZentrovaView::ShutdownReady, this, [this] {
    close();
    QCoreApplication::quit();
  });
  UpdateMenus();
  // The frame takes the form's size and the chart's least width beside it
  // (never more than the screen offers).
  adjustSize();
  resize(m_view->FormMinimumSize().width() + dock->minimumSizeHint().width(),
         m_view->FormMinimumSize().height() + menuBar()->sizeHint().height() +
             statusBar()->sizeHint().height());
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
    connect(a, &QAction::triggered, this, [this, value] { m_view->SetPriority(value); });
    m_priority[static_cast<size_t>(c.value)] = a;
  }

  QMenu* view = menuBar()->addMenu("&View");
  QAction* bar = view->addAction("&Status Bar");
  bar->setObjectName("statusBarAction");
  bar->setCheckable(true);
  bar->setChecked(true);
  bar->setStatusTip("Show or hide the status bar");
  connect(bar, &QAction::toggled, statusBar(), &QStatusBar::setVisible);
  QAction* chart = findChild<QDockWidget*>("chartDock")->toggleViewAction();
  chart->setText("&Progress Chart");
  chart->setObjectName("chartAction");
  chart->setStatusTip("Show or hide the progress chart");
  view->addAction(chart);

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
  box.setFixedSize(du.X(235), du.Y(79));
  auto* icon = new QLabel(&box);
  icon->setPixmap(windowIcon().pixmap(32, 32));
  du.Place(icon, 11, 17, 20, 20);
  auto* text = new QLabel("Zentrova Version 2.1", &box);
  du.Place(text, 40, 10, 119, 8);
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
  event->accept();
}

}  // namespace zentrova
