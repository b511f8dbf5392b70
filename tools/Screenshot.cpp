// zentrova-screenshot OUT.png [SECONDS]: the README's picture of the desktop
// program with a run in progress. It starts a real wide sieve from the form
// (b^65536+1, even b from 2 to 2000000, p up to 2e13 on two threads), lets it
// run SECONDS (default 60: a dozen ticks on the panel and the chart), grabs
// the window, then stops the run (its files are written to a temporary
// folder and removed). Run it with QT_QPA_PLATFORM=offscreen
// (scripts/screenshot.sh does).
#include <QApplication>
#include <QCheckBox>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFont>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <cstdlib>

#include "app/MainFrame.h"

namespace {

// Runs the event loop until done() or the time is up; false on the latter.
template <typename Done>
bool WaitFor(Done done, int milliseconds) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > milliseconds) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(20);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("zentrova");
  QApplication::setApplicationDisplayName("Zentrova");
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: zentrova-screenshot OUT.png [SECONDS]\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const int seconds = argc == 3 ? std::atoi(argv[2]) : 60;
  if (seconds < 1) {
    std::fprintf(stderr, "zentrova-screenshot: SECONDS must be at least 1\n");
    return 2;
  }
  QFont font("DejaVu Sans");
  font.setPointSizeF(9);
  QApplication::setFont(font);
  QTemporaryDir dir;
  if (!dir.isValid()) return 1;

  zentrova::CMainFrame frame(false);
  zentrova::CZentrovaView* view = frame.View();
  view->SetFilesFolder(dir.path());
  // Room for the progress figures and the chart beside the form.
  frame.resize(frame.width() + 260, frame.height());
  frame.resizeDocks({frame.findChild<QDockWidget*>("chartDock")}, {480}, Qt::Horizontal);
  frame.show();
  if (!WaitFor([&] { return frame.findChild<QListWidget*>("logList")->count() > 0; }, 10000)) {
    return 1;
  }
  frame.findChild<QRadioButton*>("newSieveRadio")->click();
  frame.findChild<QCheckBox*>("wideMathCheck")->setChecked(true);
  const struct {
    const char* name;
    QString text;
  } fields[] = {{"factorOutEdit", dir.filePath("factors.txt")},
                {"sieveOutEdit", dir.filePath("candidates.txt")},
                {"exponentEdit", "65536"},
                {"bMinEdit", "2"},
                {"bMaxEdit", "2000000"},
                {"saveMinutesEdit", "60"}};
  for (const auto& f : fields) frame.findChild<QLineEdit*>(f.name)->setText(f.text);
  view->SetEngine(zentrova::EngineSettings{2, "cpu", "2e13", 0});
  frame.findChild<QPushButton*>("startButton")->click();
  if (!view->JobRunning()) {
    std::fprintf(stderr, "zentrova-screenshot: the run did not start\n");
    return 1;
  }
  WaitFor([] { return false; }, seconds * 1000);
  const bool saved = view->JobRunning() && frame.grab().save(out, "PNG");
  frame.findChild<QPushButton*>("startButton")->click();  // Stop, with the final save
  WaitFor([&] { return !view->JobRunning(); }, 60000);
  if (!saved) {
    std::fprintf(stderr, "zentrova-screenshot: could not write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %d ticks on the chart\n", argv[1],
              static_cast<int>(frame.Chart()->BasesLeft().size()));
  return 0;
}
