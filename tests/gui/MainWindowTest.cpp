// The main window driven through its widgets: the layouts of the job
// choices, Start's checks, a real sieve started and stopped from the form,
// the parameter file and its reading at start-up, the close guard, a side
// job from the menu, the statistics and Start around a job's end, the form
// at other sizes, and the engine settings from their dialog to the job and
// through the parameter file. Then what must agree: the panels with the
// saved state once a job ends, the priority with every thread, the chart with
// a resumed sieve's files, the window with the last session, the inputs of a
// resume with the last job's outputs, and the version on the terminal and in
// About with the command line's.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <functional>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#include <map>
#include <set>

#include "app/MainFrame.h"
#include "app/ProgressChart.h"
#include "app/StopSignals.h"
#include "cli/Version.h"
#include "files/OutputLock.h"
#include "gui/CaptionFit.h"
#include "gui/FakePrompts.h"
#include "sieve/GfnThread.h"

namespace zentrova {

namespace {

class NullSink : public JobSink {
 public:
  void Post(std::string) override {}
};

// A sieve run to completion without the form: the files a resume starts
// from, and the uninterrupted run it must equal.
void RunSieve(bool wide, const QString& f, const QString& c, uint64_t pMax) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_strFactorOut = f.toStdString();
  job.m_strSieveOut = c.toStdString();
  job.m_nBMin = 2;
  job.m_nBMax = 4000;
  job.m_nExponent = 1024;
  job.m_nLn = 10;
  job.m_pMax = pMax;
  job.m_threads = 2;
  NullSink sink;
  CGfnThread thread(job, sink, wide ? 1 : 0);
  thread.Run();
  QVERIFY(!thread.Failed());
}

QByteArray Contents(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A factor file without its header's time of writing (two runs a second
// apart write different times).
QByteArray WithoutTime(QByteArray text) {
  const qsizetype eol = text.indexOf('\n');
  const qsizetype colon = text.lastIndexOf(" : ", eol);
  if (colon >= 0 && eol > colon) text.remove(colon, eol - colon);
  return text;
}

// The depth a candidate file records ("ABC $a^$b+1 // <p>").
uint64_t Depth(const QString& candidates) {
  const QByteArray first = Contents(candidates).split('\n').value(0);
  return first.mid(first.lastIndexOf(' ') + 1).toULongLong();
}

// The factor lines of a factor file, as (base, p) pairs, in either format:
// "b^N+1 has factor p" or "1*b^N + 1 factor : p".
std::set<std::pair<uint64_t, uint64_t>> Factors(const QString& path) {
  std::set<std::pair<uint64_t, uint64_t>> out;
  for (const QByteArray& line : Contents(path).split('\n')) {
    const QString text = QString::fromLatin1(line);
    const int caret = text.indexOf('^');
    const int colon = text.lastIndexOf(' ');
    if (caret < 1 || colon < 0 || !text.contains("factor")) continue;
    const QString base = text.left(caret).section('*', -1);
    out.insert({base.toULongLong(), text.mid(colon + 1).toULongLong()});
  }
  return out;
}

// The bases of a candidate file.
int64_t CandidateCount(const QString& path) {
  int64_t count = 0;
  for (const QByteArray& line : Contents(path).split('\n')) {
    if (!line.isEmpty() && !line.startsWith("ABC")) ++count;
  }
  return count;
}

#ifdef __linux__
// The nice value of every thread of this process.
QList<int> ThreadNices() {
  QList<int> nices;
  for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(task.toInt()));
    if (errno == 0) nices << nice;
  }
  return nices;
}

// CAP_SYS_NICE in this thread's effective set (capabilities are a thread's
// own on Linux): off, an unprivileged user's refusal comes to a test run as
// root. False when the thread is not permitted it.
bool SetNiceCapability(bool on) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned bit = 1u << (CAP_SYS_NICE % 32);
  __user_cap_data_struct& d = data[CAP_SYS_NICE / 32];
  if ((d.permitted & bit) == 0) return false;
  d.effective = on ? (d.effective | bit) : (d.effective & ~bit);
  return syscall(SYS_capset, &header, data) == 0;
}
#endif

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  std::unique_ptr<CMainFrame> m_frame;
  std::unique_ptr<test::FakePrompts> m_prompts;

  template <typename T>
  T* W(const char* name) {
    T* w = m_frame->findChild<T*>(name);
    if (w == nullptr) qFatal("no widget %s", name);
    return w;
  }
  QLineEdit* Edit(const char* name) { return W<QLineEdit>(name); }
  QString Path(const char* name) { return m_dir.filePath(name); }
  QStringList LogTexts() {
    QStringList out;
    auto* list = W<QListWidget>("logList");
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
  }
  // The enabled state of the form's fields, in a fixed order.
  QString Enabled() {
    QString s;
    for (const char* n :
         {"factorInEdit", "factorOutEdit", "sieveInEdit", "sieveOutEdit", "prothLogEdit",
          "reportEdit", "exponentEdit", "wideMathCheck", "saveMinutesEdit"}) {
      QWidget* w = W<QWidget>(n);
      s += w->isEnabled() ? '1' : '0';
    }
    return s;
  }
  void WaitForEnd() { QTRY_VERIFY_WITH_TIMEOUT(!m_frame->View()->JobRunning(), 30000); }
  // The window as drawn now, to <name>.png in the folder that
  // ZENTROVA_SCREENSHOTS names (none without it).
  void Shot(const char* name) {
    const QString folder = qEnvironmentVariable("ZENTROVA_SCREENSHOTS");
    if (folder.isEmpty()) return;
    QApplication::processEvents();
    QVERIFY(m_frame->grab().save(QDir(folder).filePath(QString(name) + ".png")));
  }

  // The Engine dialog of a frame, opened from its menu, while drive runs on
  // it; closed with Cancel afterwards if drive left it open.
  static void WithEngineDialog(CMainFrame& frame, const std::function<void(QDialog&)>& drive) {
    bool driven = false;
    QTimer::singleShot(0, &frame, [&] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr || dialog->objectName() != "engineDialog") return;
      drive(*dialog);
      driven = true;
      if (dialog->isVisible()) dialog->reject();
    });
    frame.findChild<QAction*>("engineAction")->trigger();
    QVERIFY(driven);
  }
  // The dialog's controls set, then OK; whether the dialog closed.
  static bool EngineOk(QDialog& d, int threads, const char* device, const char* pMax,
                       const char* stopRate) {
    d.findChild<QSpinBox*>("threadsSpin")->setValue(threads);
    auto* combo = d.findChild<QComboBox*>("deviceCombo");
    combo->setCurrentIndex(combo->findData(QString(device)));
    d.findChild<QLineEdit*>("pMaxEdit")->setText(pMax);
    d.findChild<QLineEdit*>("stopRateEdit")->setText(stopRate);
    QTest::mouseClick(d.findChild<QPushButton*>("okButton"), Qt::LeftButton);
    return !d.isVisible();
  }
  // The dialog's controls as "threads|device|p limit|stop rate".
  static QString EngineShown(QDialog& d) {
    return QString("%1|%2|%3|%4")
        .arg(d.findChild<QSpinBox*>("threadsSpin")->value())
        .arg(d.findChild<QComboBox*>("deviceCombo")->currentText(),
             d.findChild<QLineEdit*>("pMaxEdit")->text(),
             d.findChild<QLineEdit*>("stopRateEdit")->text());
  }
  void FillNewSieve(const QString& f, const QString& c) {
    QTest::mouseClick(W<QRadioButton>("newSieveRadio"), Qt::LeftButton);
    Edit("factorOutEdit")->setText(f);
    Edit("sieveOutEdit")->setText(c);
    Edit("exponentEdit")->setText("1024");
    Edit("bMinEdit")->setText("2");
    Edit("bMaxEdit")->setText("4000");
  }

 private slots:
  void init() {
    QVERIFY(m_dir.isValid());
    m_prompts = std::make_unique<test::FakePrompts>();
    m_frame = std::make_unique<CMainFrame>(false);
    m_frame->View()->SetFilesFolder(m_dir.path());
    m_frame->show();
    QTRY_VERIFY(!LogTexts().isEmpty());  // the deferred start-up step has run
  }
  void cleanup() {
    m_frame.reset();
    m_prompts.reset();
  }

  void startUpCheckesNewSieveAndLogsTheBanner() {
    QVERIFY(W<QRadioButton>("newSieveRadio")->isChecked());
    QVERIFY(!W<QRadioButton>("resumeWideRadio")->isEnabled());
    QVERIFY(QRegularExpression("^Zentrova Build 213 \\d\\d/\\d\\d \\d\\d:\\d\\d$")
                .match(LogTexts().front())
                .hasMatch());
    QFile log(m_frame->View()->ProgramLogPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().startsWith("Zentrova Build 213 "));
    QVERIFY(m_frame->windowTitle().startsWith("Zentrova - Zentrova for Athlon and P4 - CPU="));
  }

  // factorIn, factorOut, sieveIn, sieveOut, prothLog, report, numbers,
  // wide math, minutes per save.
  void layoutOfEachChoiceAndOfTheWideToggle() {
    struct Case {
      const char* radio;
      bool wide;
      const char* enabled;
    };
    const Case cases[] = {
        {"newSieveRadio", false, "010100111"},         {"resumeSieveRadio", false, "111100011"},
        {"resumeSieveRadio", true, "011100011"},       {"reportRadio", false, "100011011"},
        {"buildFromFactorsRadio", false, "110100111"}, {"buildFromFactorsRadio", true, "100100111"},
        {"newSieveRadio", true, "010100111"},
    };
    for (const Case& c : cases) {
      if (W<QCheckBox>("wideMathCheck")->isChecked() != c.wide) {
        QTest::mouseClick(W<QCheckBox>("wideMathCheck"), Qt::LeftButton);
      }
      QTest::mouseClick(W<QRadioButton>(c.radio), Qt::LeftButton);
      QCOMPARE(Enabled(), QString(c.enabled));
      QCOMPARE(W<QPushButton>("startButton")->text(), QString("Start"));
    }
    // The toggle alone switches the one field that depends on it.
    QTest::mouseClick(W<QRadioButton>("resumeSieveRadio"), Qt::LeftButton);
    QVERIFY(!Edit("factorInEdit")->isEnabled());
    QTest::mouseClick(W<QCheckBox>("wideMathCheck"), Qt::LeftButton);
    QVERIFY(Edit("factorInEdit")->isEnabled());
    m_frame->View()->ChooseJob(kChoiceResumeWide);
    QCOMPARE(Enabled(), QString("000000000"));
    QCOMPARE(W<QPushButton>("startButton")->text(), QString("Resume"));
  }

  void startChecksInOrderWithTheirTexts() {
    auto* start = W<QPushButton>("startButton");
    m_prompts->answers = {true, true, true, true};  // replace both outputs, twice
    Edit("exponentEdit")->setText("x");
    QTest::mouseClick(start, Qt::LeftButton);
    Edit("exponentEdit")->setText("1000");
    Edit("factorOutEdit")->setText(Path("f.txt"));
    QTest::mouseClick(start, Qt::LeftButton);
    Edit("sieveOutEdit")->setText(Path("c.txt"));
    QTest::mouseClick(start, Qt::LeftButton);
    Edit("exponentEdit")->setText("1024");
    QTest::mouseClick(start, Qt::LeftButton);
    Edit("bMinEdit")->setText("10");
    Edit("bMaxEdit")->setText("10");
    QTest::mouseClick(start, Qt::LeftButton);
    const auto ask = [this](const char* name) {
      return QString("ask %1: Output File %1 already exists, overwrite it?").arg(Path(name));
    };
    QCOMPARE(m_prompts->events,
             QStringList({"tell |none: Please enter an integer.",
                          "tell |none: A factoring output file name is required.",
                          "tell |none: An output file name is required.",
                          "tell |none: Exponent 1000 is not a proper power of 2 for GFN testing.",
                          "tell |none: A minimum b value is required.",
                          "tell |none: The maximum b value must be greater than the minimum B "
                          "value."}));
    // The creation tests leave nothing behind: a Start refused after Yes
    // must not have touched the files it asked about.
    QVERIFY(!QFile::exists(Path("f.txt")) && !QFile::exists(Path("c.txt")));
    QFile(Path("f.txt")).open(QIODevice::WriteOnly);
    QFile(Path("c.txt")).open(QIODevice::WriteOnly);
    // Existing outputs are asked about in order before the later checks.
    m_prompts->events.clear();
    m_prompts->answers = {true, true};
    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(m_prompts->events,
             QStringList({ask("f.txt"), ask("c.txt"),
                          "tell |none: The maximum b value must be greater than the minimum B "
                          "value."}));
    // No ends Start.
    m_prompts->events.clear();
    m_prompts->answers = {false};
    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(m_prompts->events, QStringList({ask("f.txt")}));
    QVERIFY(!m_frame->View()->JobRunning());
  }

  // The first check of each choice, through the form's own prompts.
  void eachChoiceStartsWithItsOwnCheck() {
    struct Case {
      const char* radio;
      QString event;
    };
    const Case cases[] = {
        {"resumeSieveRadio",
         "ask Question: Without a factoring input file, the factoring output file will not "
         "contain all the factors previously found.\r\nThe input file must be an output file "
         "from a previous run.\r\nDo you wish to continue without a factoring input file?"},
        {"reportRadio", "tell |none: A factoring input file name is required."},
        {"buildFromFactorsRadio", "tell |none: A factoring input file name is required."},
    };
    for (const Case& c : cases) {
      m_prompts->events.clear();
      m_prompts->answers = {false};
      QTest::mouseClick(W<QRadioButton>(c.radio), Qt::LeftButton);
      QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
      QCOMPARE(m_prompts->events.value(0), c.event);
      QVERIFY(!m_frame->View()->JobRunning());
    }
    // A new document runs the start-up step again: choice 0 and the banner.
    QTest::keyClick(m_frame.get(), Qt::Key_N, Qt::ControlModifier);
    QTRY_COMPARE(LogTexts().size(), 2);
    QVERIFY(W<QRadioButton>("newSieveRadio")->isChecked());
  }

  void newSieveStartedAndStoppedFromTheForm() {
    Edit("factorOutEdit")->setText(Path("run-f.txt"));
    Edit("sieveOutEdit")->setText(Path("run-c.txt"));
    Edit("exponentEdit")->setText("1024");
    Edit("bMinEdit")->setText("2");
    Edit("bMaxEdit")->setText("2000");
    Edit("saveMinutesEdit")->setText("60");
    auto* start = W<QPushButton>("startButton");
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(m_frame->View()->JobRunning());
    QCOMPARE(start->text(), QString("Stop"));
    QCOMPARE(Enabled(), QString("000000000"));
    QVERIFY(!W<QRadioButton>("reportRadio")->isEnabled());
    // The close guard holds while the job runs.
    QCloseEvent close;
    QApplication::sendEvent(m_frame.get(), &close);
    QVERIFY(!close.isAccepted());
    QVERIFY(m_prompts->events.contains(
        "tell |none: Zentrova application cannot be terminated when thread is running."));
    QVERIFY(!W<QAction>("benchSpeedsAction")->isEnabled());
    // The first tick after 5 s brings the statistics.
    QTRY_VERIFY_WITH_TIMEOUT(!Edit("bsLeftEdit")->text().isEmpty(), 9000);
    QVERIFY(Edit("bsLeftEdit")->text().toInt() < 1000);
    QVERIFY(!Edit("currentPEdit")->text().isEmpty());
    QTest::mouseClick(start, Qt::LeftButton);
    QTest::mouseClick(start, Qt::LeftButton);  // twice: still stopping
    WaitForEnd();
    QCOMPARE(start->text(), QString("Start"));
    QCOMPARE(Enabled(), QString("010100111"));
    QVERIFY(W<QAction>("benchSpeedsAction")->isEnabled());
    const QStringList log = LogTexts();
    QVERIFY(std::any_of(log.begin(), log.end(),
                        [](const QString& l) { return l.startsWith("Stop request received. "); }));
    // The pair on disk, and the parameter file with the names Start cleared.
    QFile candidates(Path("run-c.txt"));
    QVERIFY(candidates.open(QIODevice::ReadOnly));
    QVERIFY(candidates.readLine().startsWith("ABC $a^$b+1 // "));
    QSettings ini(m_frame->View()->ParameterFilePath(), QSettings::IniFormat);
    ini.beginGroup("Parameters");
    QCOMPARE(ini.childKeys().size(), 10);
    QCOMPARE(ini.value("FactorOutputFileName").toString(), Path("run-f.txt"));
    QCOMPARE(ini.value("FactorInputFileName").toString(), QString());
    QCOMPARE(ini.value("BMax").toString(), QString("2000"));
    QCOMPARE(ini.value("Exponent").toString(), QString("1024"));

    // "Resume Wide Sieve" reads them back, with wide math on.
    Edit("factorOutEdit")->setText("other.txt");
    Edit("bMaxEdit")->setText("5");
    m_frame->View()->ChooseJob(kChoiceResumeWide);
    QCOMPARE(Edit("factorOutEdit")->text(), Path("run-f.txt"));
    QCOMPARE(Edit("bMaxEdit")->text(), QString("2000"));
    QVERIFY(W<QCheckBox>("wideMathCheck")->isChecked());
  }

  // A resume in place (each output is its own input) answered Yes twice goes
  // on from the files' depth: its files equal those of one uninterrupted run
  // to the depth it stopped at, in both modes.
  void resumeInPlaceContinuesFromTheFiles() {
    for (const bool wide : {false, true}) {
      const QString f = Path(wide ? "wf.txt" : "f.txt"), c = Path(wide ? "wc.txt" : "c.txt");
      RunSieve(wide, f, c, 2000000);
      const uint64_t before = Depth(c);
      QVERIFY(before > 1900000);
      const auto factorsBefore = Factors(f);
      m_prompts->events.clear();
      m_prompts->answers = {true, true};
      QTest::mouseClick(W<QRadioButton>("resumeSieveRadio"), Qt::LeftButton);
      if (W<QCheckBox>("wideMathCheck")->isChecked() != wide) {
        QTest::mouseClick(W<QCheckBox>("wideMathCheck"), Qt::LeftButton);
      }
      Edit("factorInEdit")->setText(wide ? QString() : f);
      Edit("factorOutEdit")->setText(f);
      Edit("sieveInEdit")->setText(c);
      Edit("sieveOutEdit")->setText(c);
      auto* start = W<QPushButton>("startButton");
      QTest::mouseClick(start, Qt::LeftButton);
      QVERIFY2(m_frame->View()->JobRunning(), qPrintable(m_prompts->events.join('\n')));
      QTest::qWait(1500);
      QTest::mouseClick(start, Qt::LeftButton);
      WaitForEnd();
      const uint64_t after = Depth(c);
      QVERIFY2(after > before, qPrintable(LogTexts().join('\n')));
      // Nothing found before is lost.
      const auto factorsAfter = Factors(f);
      QVERIFY(std::includes(factorsAfter.begin(), factorsAfter.end(), factorsBefore.begin(),
                            factorsBefore.end()));
      // The same as one run to that depth.
      const QString rf = Path("ref-f.txt"), rc = Path("ref-c.txt");
      RunSieve(wide, rf, rc, after);
      QCOMPARE(Contents(c), Contents(rc));
      QCOMPARE(factorsAfter, Factors(rf));
    }
  }

  // A Start refused by a check after the overwrite questions were answered
  // Yes, and a Start pointed at the outputs of a running sieve, leave every
  // file as it was.
  void refusedStartsLeaveTheFilesAlone() {
    const QString f = Path("f.txt"), c = Path("c.txt");
    RunSieve(false, f, c, 1000000);
    const QByteArray factors = Contents(f), candidates = Contents(c);
    struct Case {
      const char* exponent;
      const char* bMax;
      QString refusal;
    };
    const Case cases[] = {
        {"1000", "4000", "Exponent 1000 is not a proper power of 2 for GFN testing."},
        {"1024", "2", "The maximum b value must be greater than the minimum B value."},
    };
    for (const Case& k : cases) {
      m_prompts->events.clear();
      m_prompts->answers = {true, true};
      Edit("exponentEdit")->setText(k.exponent);
      Edit("bMinEdit")->setText("2");
      Edit("bMaxEdit")->setText(k.bMax);
      Edit("factorOutEdit")->setText(f);
      Edit("sieveOutEdit")->setText(c);
      QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
      QCOMPARE(m_prompts->events.last(), "tell |none: " + k.refusal);
      QVERIFY(!m_frame->View()->JobRunning());
      QCOMPARE(Contents(f), factors);
      QCOMPARE(Contents(c), candidates);
    }

    // Another run holds c.txt (here: a second program in this process).
    CMainFrame other(false);
    other.View()->SetFilesFolder(m_dir.filePath("other"));
    other.show();
    QTRY_VERIFY(other.findChild<QListWidget*>("logList")->count() > 0);  // started up
    m_prompts->events.clear();
    m_prompts->answers = {true, true};
    Edit("exponentEdit")->setText("1024");
    Edit("bMaxEdit")->setText("4000");
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    QVERIFY(m_frame->View()->JobRunning());
    QTRY_VERIFY(QFile::exists(c + ".lock"));  // the job has claimed its outputs
    auto* otherStart = other.findChild<QPushButton*>("startButton");
    other.findChild<QLineEdit*>("exponentEdit")->setText("1024");
    other.findChild<QLineEdit*>("bMinEdit")->setText("2");
    other.findChild<QLineEdit*>("bMaxEdit")->setText("4000");
    other.findChild<QLineEdit*>("factorOutEdit")->setText(Path("f2.txt"));
    other.findChild<QLineEdit*>("sieveOutEdit")->setText(c);
    const QByteArray running = Contents(c);
    m_prompts->events.clear();
    m_prompts->answers = {true};
    QTest::mouseClick(otherStart, Qt::LeftButton);
    QVERIFY(!other.View()->JobRunning());
    QCOMPARE(m_prompts->events,
             QStringList({QString("tell |none: Output file %1 is in use by another run (%1.lock is "
                                  "locked).")
                              .arg(c)}));
    QCOMPARE(Contents(c), running);
    QVERIFY(!QFile::exists(Path("f2.txt")));
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    WaitForEnd();
  }

  // SIGTERM and SIGINT stop a running job with its final save, then close the
  // window.
  void stopSignalsEndTheJobWithItsSave() {
    StopSignals stopSignals;
    connect(&stopSignals, &StopSignals::Received, m_frame.get(), &CMainFrame::ShutDown);
    for (const int signal : {SIGTERM, SIGINT}) {
      m_frame->show();
      const QString c = Path(signal == SIGTERM ? "term-c.txt" : "int-c.txt");
      Edit("exponentEdit")->setText("1024");
      Edit("bMinEdit")->setText("2");
      Edit("bMaxEdit")->setText("4000");
      Edit("factorOutEdit")->setText(Path(signal == SIGTERM ? "term-f.txt" : "int-f.txt"));
      Edit("sieveOutEdit")->setText(c);
      QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
      QVERIFY(m_frame->View()->JobRunning());
      QTest::qWait(1000);
      QVERIFY(!QFile::exists(c));  // no save yet: the next is an hour away
      std::raise(signal);
      QTRY_VERIFY_WITH_TIMEOUT(!m_frame->isVisible(), 30000);
      QVERIFY(!m_frame->View()->JobRunning());
      const QStringList log = LogTexts();
      QVERIFY2(log.filter(signal == SIGTERM ? "SIGTERM received; finishing the current batch and "
                                             "saving, then closing."
                                           : "SIGINT received; ")
                       .size() == 1,
               qPrintable(log.join('\n')));
      const QString written = log.filter(" p value written to " + c).value(0);
      QVERIFY2(!written.isEmpty(), qPrintable(log.join('\n')));
      QVERIFY(Depth(c) > 1000000);
      QVERIFY(written.contains(QString(" %1 p value written to ").arg(Depth(c))));
    }
  }

  void toBeFactoredListFromTheMenu() {
    QFile in(Path("in.txt"));
    QVERIFY(in.open(QIODevice::WriteOnly));
    in.write("ABC $a^$b+1 // 5\n4 32\n8 32\n");
    in.close();
    QTimer::singleShot(0, this, [this] {
      QWidget* dialog = QApplication::activeModalWidget();
      QVERIFY(dialog != nullptr);
      dialog->findChild<QLineEdit*>("inputEdit")->setText(Path("in.txt"));
      dialog->findChild<QLineEdit*>("outputEdit")->setText(Path("tbf.txt"));
      dialog->findChild<QLineEdit*>("bMinEdit")->setText("2");
      dialog->findChild<QLineEdit*>("bMaxEdit")->setText("10");
      dialog->findChild<QLineEdit*>("exponentEdit")->setText("32");
      dialog->findChild<QPushButton*>("okButton")->click();
    });
    W<QAction>("toBeFactoredAction")->trigger();
    WaitForEnd();
    QFile out(Path("tbf.txt"));
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), QByteArray("ABC $a^$b+1 // 1\n2 32\n6 32\n10 32\n"));
    // The dialog's values reach the form when the job ends.
    QCOMPARE(Edit("sieveOutEdit")->text(), Path("tbf.txt"));
    QCOMPARE(Edit("bMaxEdit")->text(), QString("10"));
  }

  // The parameter file of the last Start fills the form when the program
  // starts; what is missing or damaged in it leaves the defaults.
  void lastStartRestoredAtStartUp() {
    const char* fields[] = {"factorInEdit", "factorOutEdit",  "sieveInEdit", "sieveOutEdit",
                            "prothLogEdit", "reportEdit",     "bMaxEdit",    "bMinEdit",
                            "exponentEdit", "saveMinutesEdit"};
    const QByteArray full =
        "[Parameters]\nFactorInputFileName=/runs/fin.txt\nFactorOutputFileName=/runs/f.txt\n"
        "SieveInputFileName=/runs/cin.txt\nSieveOutputFileName=/runs/c.txt\n"
        "ProthLogFileName=/runs/p.log\nReportFileName=/runs/r.txt\nBMax=500000\nBMin=100\n"
        "Exponent=2048\nSaveFileMinutes=15\n";
    struct Case {
      const char* name;
      QByteArray contents;   // empty: no file
      QStringList expected;  // in the order of fields
    };
    const QStringList defaults = {"", "", "", "", "", "", "0", "0", "0", "60"};
    const Case cases[] = {
        {"missing", "", defaults},
        {"whole",
         full,
         {"/runs/fin.txt", "/runs/f.txt", "/runs/cin.txt", "/runs/c.txt", "/runs/p.log",
          "/runs/r.txt", "500000", "100", "2048", "15"}},
        {"some keys",
         "[Parameters]\nFactorOutputFileName=/runs/f.txt\nBMax=9000\n",
         {"", "/runs/f.txt", "", "", "", "", "9000", "0", "0", "60"}},
        {"numbers that are not",
         "[Parameters]\nSieveOutputFileName=/runs/c.txt\nBMax=99999999999\nBMin=x1\n"
         "Exponent=\nSaveFileMinutes=30\n",
         {"", "", "", "/runs/c.txt", "", "", "0", "0", "0", "30"}},
        {"another section", "[Other]\nBMax=9000\nExponent=64\n", defaults},
        {"bytes", QByteArray("\x00\xff[[\x01=\n\x7f\x80=]]\r\n\xfe", 16), defaults},
    };
    for (const Case& c : cases) {
      const QString folder = m_dir.filePath(QString("restore-%1").arg(c.name));
      QVERIFY(QDir().mkpath(folder));
      if (!c.contents.isEmpty()) {
        QFile ini(QDir(folder).filePath("zentrova.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(c.contents);
      }
      CMainFrame frame(false);
      frame.View()->SetFilesFolder(folder);
      frame.show();
      QTRY_VERIFY(frame.findChild<QListWidget*>("logList")->count() > 0);  // started up
      QStringList shown;
      for (const char* f : fields) shown << frame.findChild<QLineEdit*>(f)->text();
      QCOMPARE(shown, c.expected);
      QVERIFY(frame.findChild<QRadioButton*>("newSieveRadio")->isChecked());
    }
  }

  // A new job starts with empty statistics and progress figures, not with
  // the last job's; its own come with the first tick.
  void statisticsClearedWhenAJobStarts() {
    Edit("factorOutEdit")->setText(Path("stats-f.txt"));
    Edit("sieveOutEdit")->setText(Path("stats-c.txt"));
    Edit("exponentEdit")->setText("1024");
    Edit("bMinEdit")->setText("2");
    Edit("bMaxEdit")->setText("4000");
    Edit("bsLeftEdit")->setText("1999");
    Edit("currentPEdit")->setText("123456789");
    Edit("pRateEdit")->setText("5000");
    Edit("basesLeftEdit")->setText("1999 / 2001");
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    QVERIFY(m_frame->View()->JobRunning());
    for (const char* n : {"bsLeftEdit", "currentPEdit", "pRateEdit", "basesLeftEdit"}) {
      QVERIFY2(Edit(n)->text().isEmpty(), n);
    }
    // The first tick brings the runner's figures to the panel.
    QTRY_VERIFY_WITH_TIMEOUT(!Edit("pRateEdit")->text().isEmpty(), 9000);
    QVERIFY(QRegularExpression("^\\d+$").match(Edit("pRateEdit")->text()).hasMatch());
    QVERIFY2(QRegularExpression("^\\d+ / \\d+$").match(Edit("basesLeftEdit")->text()).hasMatch(),
             qPrintable(Edit("basesLeftEdit")->text()));
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    WaitForEnd();
  }

  // The second click of a double click on Stop lands on Start once the job
  // has ended: it is ignored while the guard runs, so it asks nothing. The
  // guard ends when it runs out or when the user does anything to the form.
  void startIgnoresClicksJustAfterStop() {
    auto* guard = m_frame->View()->findChild<QTimer*>("startGuardTimer");
    QVERIFY(guard != nullptr);
    QVERIFY(guard->interval() > 0);
    guard->setInterval(3600 * 1000);  // this test decides when it runs out
    const QString f = Path("guard-f.txt"), c = Path("guard-c.txt");
    auto* start = W<QPushButton>("startButton");
    struct Case {
      const char* name;
      std::function<void()> endGuard;
    };
    const Case cases[] = {
        {"runs out", [guard] { guard->stop(); }},
        {"a job choice",
         [this] { QTest::mouseClick(W<QRadioButton>("newSieveRadio"), Qt::LeftButton); }},
        {"typing",
         [this] {
           QTest::keyClick(Edit("bMaxEdit"), Qt::Key_End);
           QTest::keyClick(Edit("bMaxEdit"), Qt::Key_0);
           QTest::keyClick(Edit("bMaxEdit"), Qt::Key_Backspace);
         }},
        {"the wide toggle",
         [this] {
           QTest::mouseClick(W<QCheckBox>("wideMathCheck"), Qt::LeftButton);
           QTest::mouseClick(W<QCheckBox>("wideMathCheck"), Qt::LeftButton);
         }},
    };
    for (const Case& k : cases) {
      Edit("factorOutEdit")->setText(f);
      Edit("sieveOutEdit")->setText(c);
      Edit("exponentEdit")->setText("1024");
      Edit("bMinEdit")->setText("2");
      Edit("bMaxEdit")->setText("4000");
      m_prompts->answers = {true, true};  // the files exist from the second case on
      QTest::mouseClick(start, Qt::LeftButton);
      QVERIFY2(m_frame->View()->JobRunning(), k.name);
      QVERIFY(!guard->isActive());
      QTest::mouseClick(start, Qt::LeftButton);  // Stop
      QVERIFY(guard->isActive());
      WaitForEnd();
      QCOMPARE(start->text(), QString("Start"));
      QVERIFY(QFile::exists(f) && QFile::exists(c));  // the final save
      m_prompts->events.clear();
      m_prompts->answers = {true, true};
      QTest::mouseClick(start, Qt::LeftButton);
      QCOMPARE(m_prompts->events, QStringList());
      QVERIFY(!m_frame->View()->JobRunning());
      // Once the guard has ended, Start asks as ever.
      k.endGuard();
      QVERIFY2(!guard->isActive(), k.name);
      m_prompts->answers = {false};
      QTest::mouseClick(start, Qt::LeftButton);
      QCOMPARE(
          m_prompts->events,
          QStringList({QString("ask %1: Output File %1 already exists, overwrite it?").arg(f)}));
      QVERIFY(!m_frame->View()->JobRunning());
    }
  }

  // Every caption of the form fits its control, at the font in use and at
  // the fonts and sizes of test::CaptionFonts.
  void captionsFitTheirControls() {
    const QStringList clipped = test::ClippedCaptions(m_frame->View());
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join("; ")));
    for (const QFont& font : test::CaptionFonts()) {
      const test::ApplicationFont use(font);
      CMainFrame frame(false);
      frame.View()->SetFilesFolder(m_dir.filePath("fonts"));
      frame.show();
      const QStringList atFont = test::ClippedCaptions(frame.View());
      QVERIFY2(atFont.isEmpty(), qPrintable(font.toString() + ": " + atFont.join("; ")));
    }
  }

  // A larger window gives its room to the file fields and the group boxes
  // (across) and to the log (across and down); the rest stays in place, and
  // the minimum size is the template's. (The chart hidden: beside the form
  // it takes a share of the width, see chartSharesTheRoom.)
  void formGrowsWithTheWindow() {
    CZentrovaView* view = m_frame->View();
    W<QAction>("chartAction")->setChecked(false);
    QTRY_COMPARE(view->width(), W<QSplitter>("mainSplitter")->width());
    QCOMPARE(view->minimumSize(), view->FormMinimumSize());
    QCOMPARE(view->minimumSize().width(), view->TemplateSize().width());
    const char* names[] = {"logList",    "factorOutEdit", "factorOutChoose", "startButton",
                           "jobGroup",   "exponentEdit",  "newSieveRadio",   "wideMathCheck",
                           "bsLeftEdit", "currentPEdit",  "progressGroup"};
    std::map<QString, QRect> before;
    for (const char* n : names) before[n] = W<QWidget>(n)->geometry();
    const QSize minimum = view->size();
    m_frame->resize(m_frame->size() + QSize(240, 160));
    QTRY_COMPARE(view->size(), minimum + QSize(240, 160));
    const auto grown = [&](const char* n, int dx, int dy, int dw, int dh) {
      return before[n].adjusted(dx, dy, dx + dw, dy + dh) == W<QWidget>(n)->geometry();
    };
    struct Case {
      const char* name;
      int dx, dy, dw, dh;
    };
    const Case cases[] = {
        {"logList", 0, 0, 240, 160},       {"factorOutEdit", 0, 0, 240, 0},
        {"factorOutChoose", 240, 0, 0, 0}, {"startButton", 240, 0, 0, 0},
        {"jobGroup", 0, 0, 240, 0},        {"exponentEdit", 0, 0, 0, 0},
        {"newSieveRadio", 0, 0, 0, 0},     {"wideMathCheck", 0, 0, 0, 0},
        {"bsLeftEdit", 0, 0, 0, 0},        {"currentPEdit", 0, 0, 0, 0},
    };
    for (const Case& c : cases) QVERIFY2(grown(c.name, c.dx, c.dy, c.dw, c.dh), c.name);
    QVERIFY2(test::ClippedCaptions(view).isEmpty(),
             qPrintable(test::ClippedCaptions(view).join("; ")));
    // Back to the least size: every control where it was.
    m_frame->resize(m_frame->size() - QSize(240, 160));
    QTRY_COMPARE(view->size(), minimum);
    for (const char* n : names) QCOMPARE(W<QWidget>(n)->geometry(), before[n]);
  }

  // The Engine dialog refuses what a job could not take, and what it accepts
  // reaches the job: the threads and the device in the run's first line, the
  // p limit in files equal to those of the engine's own run to that limit,
  // the stop rate in a run that ends by it, its samples on the chart.
  void engineSettingsReachTheJob() {
    const QString pLimit =
        "tell |none: The p limit must be a whole number from 1 to below 2^94 (such as 1e15), or "
        "empty for no limit.";
    const QString stopRate =
        "tell |none: The stop rate must be from 1e-06 to 1e+09 seconds, or 0 for none.";
    const struct {
      const char *pMax, *stopRate;
      QString refusal;
    } refused[] = {{"1.5", "", pLimit},     {"0", "", pLimit},        {"2e94", "", pLimit},
                   {"3e6", "1e-9", stopRate}, {"3e6", "soon", stopRate}, {"3e6", "-5", stopRate}};
    QStringList told, expected;
    bool accepted = false;
    WithEngineDialog(*m_frame, [&](QDialog& d) {
      for (const auto& r : refused) {
        m_prompts->events.clear();
        if (EngineOk(d, 3, "auto", r.pMax, r.stopRate)) return;
        told << m_prompts->events;
        expected << r.refusal;
      }
      accepted = EngineOk(d, 3, "auto", "3e6", "");
    });
    QCOMPARE(told, expected);
    QVERIFY(accepted);
    QCOMPARE(m_frame->View()->Engine(), (EngineSettings{3, "auto", "3e6", 0}));

    // A run to the p limit ends by itself, with the files of the engine's
    // own run to 3000000.
    const QString f = Path("limit-f.txt"), c = Path("limit-c.txt");
    FillNewSieve(f, c);
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    QVERIFY(m_frame->View()->JobRunning());
    WaitForEnd();
    const QStringList log = LogTexts();
    QVERIFY2(log.filter(QRegularExpression("^Kernel .*, 3 threads, on the CPU \\(no GPU found\\), "))
                     .size() == 1,
             qPrintable(log.join('\n')));
    const QString rf = Path("ref-f.txt"), rc = Path("ref-c.txt");
    RunSieve(false, rf, rc, 3000000);
    QCOMPARE(Contents(c), Contents(rc));
    QCOMPARE(WithoutTime(Contents(f)), WithoutTime(Contents(rf)));

    // The smallest stop rate ends an unlimited run at the first tick.
    WithEngineDialog(*m_frame, [&](QDialog& d) { EngineOk(d, 1, "cpu", "", "1e-6"); });
    QCOMPARE(m_frame->View()->Engine(), (EngineSettings{1, "cpu", "", 1e-6}));
    m_prompts->answers = {true, true};  // replace both outputs
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    QVERIFY(m_frame->View()->JobRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!m_frame->View()->JobRunning(), 30000);
    const QStringList stopped = LogTexts().mid(log.size());
    QVERIFY2(stopped.filter(QRegularExpression("^Kernel .*, 1 thread, on the CPU, ")).size() == 1,
             qPrintable(stopped.join('\n')));
    QVERIFY2(stopped.filter(QRegularExpression("^Stopping: one factor per .* above --stop-rate "
                                               "1e-06 s\\."))
                     .size() == 1,
             qPrintable(stopped.join('\n')));
    // The tick's sample reached the chart as it reached the panel.
    const QList<QPointF> bases = m_frame->Chart()->BasesLeft();
    QCOMPARE(bases.size(), 1);
    QCOMPARE(QString::number(bases.back().y()), Edit("basesLeftEdit")->text().section(' ', 0, 0));
    QVERIFY(bases.back().x() > 3000000);
  }

  // The dialog's settings go to the parameter file's Engine section (the
  // form's ten keys stay alone in theirs) and come back at the next start;
  // what is missing or damaged there leaves the defaults.
  void engineSettingsSurviveSaveAndRestore() {
    WithEngineDialog(*m_frame, [](QDialog& d) { EngineOk(d, 2, "auto", "1e20", "600"); });
    {
      QSettings ini(m_frame->View()->ParameterFilePath(), QSettings::IniFormat);
      QVERIFY(ini.childGroups().contains("Engine"));
      if (ini.childGroups().contains("Parameters")) {
        QCOMPARE(ini.value("Parameters/BMax").toString(), QString("4000"));
        ini.beginGroup("Parameters");
        QCOMPARE(ini.childKeys().size(), 10);
        ini.endGroup();
      }
      ini.beginGroup("Engine");
      QStringList keys = ini.childKeys();
      keys.sort();
      QCOMPARE(keys, QStringList({"Device", "GpuKernel", "PMax", "StopRate", "Threads"}));
      QCOMPARE(ini.value("PMax").toString(), QString("1e20"));
    }
    {
      CMainFrame next(false);
      next.View()->SetFilesFolder(m_dir.path());
      next.show();
      QTRY_VERIFY(next.findChild<QListWidget*>("logList")->count() > 0);
      QCOMPARE(next.View()->Engine(), (EngineSettings{2, "auto", "1e20", 600}));
      QString shown;
      WithEngineDialog(next, [&](QDialog& d) { shown = EngineShown(d); });
      QCOMPARE(shown,
               QString("2|auto (the first graphics card, else the processor)|1e20|600"));
    }

    const EngineSettings defaults;
    const struct {
      const char* name;
      QByteArray contents;
      EngineSettings expected;
      QString shown;
    } cases[] = {
        {"some keys", "[Engine]\nThreads=4\nStopRate=0.5\n", {4, "cpu", "", 0.5},
         "4|cpu (the processor)||0.5"},
        {"damaged", "[Engine]\nThreads=5000\nDevice=cuda:1\nPMax=1.5\nStopRate=-3\n", defaults,
         "0|cpu (the processor)||"},
        {"another section", "[Parameters]\nThreads=4\nDevice=gpu\n", defaults,
         "0|cpu (the processor)||"},
        {"a device of another machine", "[Engine]\nDevice=opencl:7\nPMax=6.04e23\n",
         {0, "opencl:7", "6.04e23", 0}, "0|opencl:7 (not found)|6.04e23|"},
        {"a GPU kernel", "[Engine]\nDevice=gpu\nGpuKernel=mont32x3\n",
         {0, "gpu", "", 0, "mont32x3"}, "0|gpu (the first graphics card)||"},
    };
    for (const auto& c : cases) {
      const QString folder = m_dir.filePath(QString("engine-%1").arg(c.name));
      QVERIFY(QDir().mkpath(folder));
      QFile ini(QDir(folder).filePath("zentrova.ini"));
      QVERIFY(ini.open(QIODevice::WriteOnly));
      ini.write(c.contents);
      ini.close();
      CMainFrame frame(false);
      frame.View()->SetFilesFolder(folder);
      frame.show();
      QTRY_VERIFY(frame.findChild<QListWidget*>("logList")->count() > 0);
      QVERIFY2(frame.View()->Engine() == c.expected, c.name);
      QString shown;
      WithEngineDialog(frame, [&](QDialog& d) { shown = EngineShown(d); });
      QVERIFY2(shown == c.shown, qPrintable(QString("%1: %2").arg(c.name, shown)));
    }
  }

  // When a job ends, stopped or at its p limit, the statistics and the panel
  // show the state of its final save: the same b's left and p as the files,
  // the final save as the last one, no time to the p limit. The first tick
  // has P/day (the runner is polled between ticks, as on the command line).
  void panelsAgreeWhenAJobEnds() {
    struct Case {
      const char* name;
      const char* pMax;
      bool stop;  // by the button, after the first tick; else at the limit
    };
    const Case cases[] = {{"stopped", "1e13", true}, {"p limit", "3e6", false}};
    for (const Case& k : cases) {
      QVERIFY(m_frame->View()->SetEngine(EngineSettings{2, "cpu", k.pMax, 0}));
      const QString f = Path("agree-f.txt"), c = Path("agree-c.txt");
      FillNewSieve(f, c);
      m_prompts->answers = {true, true};  // the second case replaces the first's files
      QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
      QVERIFY2(m_frame->View()->JobRunning(), k.name);
      if (k.stop) {
        QTRY_VERIFY_WITH_TIMEOUT(!Edit("pRateEdit")->text().isEmpty(), 9000);
        QVERIFY2(Edit("petaPerDayEdit")->text().toDouble() > 0,
                 qPrintable(Edit("petaPerDayEdit")->text()));
        QVERIFY2(Edit("toPMaxEdit")->text().contains(':'), qPrintable(Edit("toPMaxEdit")->text()));
        QTRY_VERIFY_WITH_TIMEOUT(m_frame->Chart()->BasesLeft().size() >= 2, 9000);
        Shot("chart-running");
        QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
      }
      WaitForEnd();
      const QString depth = QString::number(Depth(c));
      const QString left = QString::number(CandidateCount(c));
      const QString shown = QString("%1 | %2 | %3 | %4 | %5")
                                .arg(Edit("bsLeftEdit")->text(), Edit("currentPEdit")->text(),
                                     Edit("basesLeftEdit")->text(), Edit("lastSaveEdit")->text(),
                                     Edit("toPMaxEdit")->text());
      QVERIFY2(Edit("bsLeftEdit")->text() == left, qPrintable(shown));
      QVERIFY2(Edit("currentPEdit")->text().remove(',') == depth, qPrintable(shown));
      QVERIFY2(Edit("basesLeftEdit")->text().startsWith(left + " / "), qPrintable(shown));
      QVERIFY2(Edit("lastSaveEdit")->text().startsWith(depth + " at "), qPrintable(shown));
      QVERIFY2(Edit("toPMaxEdit")->text().isEmpty(), qPrintable(shown));
      // The chart ends there too.
      const QList<QPointF> bases = m_frame->Chart()->BasesLeft();
      QVERIFY(!bases.isEmpty());
      QCOMPARE(QString::number(static_cast<uint64_t>(bases.back().x())), depth);
      QCOMPARE(QString::number(bases.back().y()), left);
      if (k.stop) Shot("panels-after-stop");
    }
  }

  // Options > Priority Class reaches every thread of the program, the
  // running job's workers among them, at once. Raising it again is refused
  // to a user without the privilege: the log says so and the menu keeps the
  // class in force.
  void priorityReachesEveryThread() {
#ifndef __linux__
    QSKIP("threads are listed under /proc on Linux");
#else
    const qsizetype threadsBefore = ThreadNices().size();
    QVERIFY(m_frame->View()->SetEngine(EngineSettings{3, "cpu", "", 0}));
    FillNewSieve(Path("nice-f.txt"), Path("nice-c.txt"));
    m_prompts->answers = {true, true};
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    QVERIFY(m_frame->View()->JobRunning());
    // The job's thread and its three workers.
    QTRY_VERIFY_WITH_TIMEOUT(ThreadNices().size() >= threadsBefore + 4, 9000);
    W<QAction>("priorityIdleAction")->trigger();
    QCOMPARE(ThreadNices(), QList<int>(ThreadNices().size(), 19));
    QVERIFY(W<QAction>("priorityIdleAction")->isChecked());

    // Without the privilege (dropped here when the test runs with it).
    const bool dropped = SetNiceCapability(false);
    rlimit limit{};
    getrlimit(RLIMIT_NICE, &limit);
    const qsizetype lines = LogTexts().size();
    W<QAction>("priorityNormalAction")->trigger();
    const QStringList said = LogTexts().mid(lines);
    const QString refusal =
        "The system refused priority class Normal (Permission denied): raising the priority "
        "again needs privileges this user does not have.  The program keeps priority class "
        "Idle. ";
    if (ThreadNices() == QList<int>(ThreadNices().size(), 0)) {
      // An allowance for this user (RLIMIT_NICE) let it through.
      QVERIFY(limit.rlim_cur >= 20);
      QVERIFY2(said.isEmpty(), qPrintable(said.join('\n')));
      QVERIFY(W<QAction>("priorityNormalAction")->isChecked());
    } else {
      QCOMPARE(ThreadNices(), QList<int>(ThreadNices().size(), 19));
      QCOMPARE(said.size(), 1);
      QVERIFY2(said.front().startsWith(refusal), qPrintable(said.front()));
      QVERIFY(W<QAction>("priorityIdleAction")->isChecked());
      QCOMPARE(m_frame->View()->Priority(), 0);
    }
    if (dropped) {
      // With the privilege back, Normal again for every thread.
      QVERIFY(SetNiceCapability(true));
      W<QAction>("priorityNormalAction")->trigger();
      QCOMPARE(ThreadNices(), QList<int>(ThreadNices().size(), 0));
      QVERIFY(W<QAction>("priorityNormalAction")->isChecked());
      QCOMPARE(m_frame->View()->Priority(), 2);
    }
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    WaitForEnd();
#endif
  }

  // A resume draws the sieve's past from its files before its own samples:
  // after each p of a factor line, the bases of the candidate file plus those
  // struck above that p (counted here from the factor lines), in both modes.
  void chartKeepsAResumedSievesPast() {
    QVERIFY(m_frame->View()->SetEngine(EngineSettings{2, "cpu", "", 0}));
    for (const bool wide : {false, true}) {
      const QString f = Path(wide ? "hist-wf.txt" : "hist-f.txt");
      const QString c = Path(wide ? "hist-wc.txt" : "hist-c.txt");
      RunSieve(wide, f, c, 50000000000);
      const uint64_t depth = Depth(c);
      const int64_t left = CandidateCount(c);
      std::vector<uint64_t> struck;
      for (const auto& [b, p] : Factors(f)) {
        if (p <= depth) struck.push_back(p);
      }
      QVERIFY(struck.size() > 100);
      m_prompts->answers = {true, true};
      QTest::mouseClick(W<QRadioButton>("resumeSieveRadio"), Qt::LeftButton);
      if (W<QCheckBox>("wideMathCheck")->isChecked() != wide) {
        QTest::mouseClick(W<QCheckBox>("wideMathCheck"), Qt::LeftButton);
      }
      Edit("factorInEdit")->setText(wide ? QString() : f);
      Edit("factorOutEdit")->setText(f);
      Edit("sieveInEdit")->setText(c);
      Edit("sieveOutEdit")->setText(c);
      QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
      QVERIFY(m_frame->View()->JobRunning());
      const QList<QPointF> past = m_frame->Chart()->BasesLeft();
      QVERIFY2(past.size() > 50, qPrintable(QString::number(past.size())));
      QCOMPARE(past.back(), QPointF(static_cast<double>(depth), static_cast<double>(left)));
      for (const QPointF& point : past) {
        const auto p = static_cast<uint64_t>(point.x());
        const auto above = std::count_if(struck.begin(), struck.end(),
                                         [p](uint64_t q) { return q > p; });
        QCOMPARE(static_cast<int64_t>(point.y()), left + static_cast<int64_t>(above));
      }
      QCOMPARE(m_frame->Chart()->Expected().size(), past.size());
      // The run's own points follow, its factors per hour from the resume on.
      QTRY_VERIFY_WITH_TIMEOUT(m_frame->Chart()->BasesLeft().size() > past.size(), 9000);
      QCOMPARE(m_frame->Chart()->Title(), QString("b^1024+1, b = 2 to 4000"));
      QVERIFY(m_frame->Chart()->BasesLeft().back().x() > static_cast<double>(depth));
      for (const QPointF& q : m_frame->Chart()->FactorsPerHour()) {
        QVERIFY(q.x() > static_cast<double>(depth));
      }
      if (wide) Shot("chart-after-resume");
      QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
      WaitForEnd();
    }
    // Saved as PNG from its button: the log names the file.
    m_prompts->chosen = {Path("resumed.png")};
    QTest::mouseClick(W<QPushButton>("saveChartButton"), Qt::LeftButton);
    QVERIFY(QFile::exists(Path("resumed.png")));
    QCOMPARE(LogTexts().last().section(' ', 0, -3),
             "Chart written to " + Path("resumed.png") + ".");
  }

  // "Resume Old Sieve" offers the files the last sieve wrote as its inputs,
  // from this session's job or from the parameter file, as long as they
  // are there.
  void resumeOffersTheLastJobsFiles() {
    QVERIFY(m_frame->View()->SetEngine(EngineSettings{2, "cpu", "", 0}));
    const QString f = Path("offer-f.txt"), c = Path("offer-c.txt");
    FillNewSieve(f, c);
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    QVERIFY(m_frame->View()->JobRunning());
    QTest::mouseClick(W<QPushButton>("startButton"), Qt::LeftButton);
    WaitForEnd();
    QTest::mouseClick(W<QRadioButton>("newSieveRadio"), Qt::LeftButton);
    Edit("factorInEdit")->setText("old-f.txt");
    Edit("sieveInEdit")->setText("old-c.txt");
    QTest::mouseClick(W<QRadioButton>("resumeSieveRadio"), Qt::LeftButton);
    QCOMPARE(Edit("factorInEdit")->text(), f);
    QCOMPARE(Edit("sieveInEdit")->text(), c);
    QCOMPARE(Edit("factorOutEdit")->text(), f);  // a resume in place, as offered
    QCOMPARE(Edit("sieveOutEdit")->text(), c);
    struct Case {
      const char* name;
      bool filesThere;
      QString factorIn, sieveIn;
    };
    const Case cases[] = {{"the next session", true, f, c},
                          {"the files gone", false, QString(), QString()}};
    for (const Case& k : cases) {
      if (!k.filesThere) QVERIFY(QFile::remove(f) && QFile::remove(c));
      CMainFrame next(false);
      next.View()->SetFilesFolder(m_dir.path());
      next.show();
      QTRY_VERIFY(next.findChild<QListWidget*>("logList")->count() > 0);
      QTest::mouseClick(next.findChild<QRadioButton*>("resumeSieveRadio"), Qt::LeftButton);
      QVERIFY2(next.findChild<QLineEdit*>("factorInEdit")->text() == k.factorIn, k.name);
      QVERIFY2(next.findChild<QLineEdit*>("sieveInEdit")->text() == k.sieveIn, k.name);
    }
  }

  // The least window fits a 1366x768 screen with a panel of 40 pixels and a
  // title bar of 30: the log and the chart are shorter, the form above the
  // log as at the default size. A wider window widens the chart.
  void smallestWindowFitsASmallScreen() {
    W<QAction>("chartAction")->setChecked(true);
    const char* names[] = {"jobGroup",    "factorOutEdit", "startButton", "exponentEdit",
                           "wideMathCheck", "bsLeftEdit",  "currentPEdit", "logList"};
    std::map<QString, QRect> standard;
    m_frame->resize(m_frame->DefaultSize());
    QTRY_COMPARE(m_frame->size(), m_frame->DefaultSize());
    for (const char* n : names) standard[n] = W<QWidget>(n)->geometry();
    m_frame->resize(1, 1);
    const QSize least = m_frame->size();
    qInfo("least window %dx%d, default %dx%d", least.width(), least.height(),
          m_frame->DefaultSize().width(), m_frame->DefaultSize().height());
    QVERIFY2(least.width() <= 1366 && least.height() <= 768 - 40 - 30,
             qPrintable(QString("%1x%2").arg(least.width()).arg(least.height())));
    CZentrovaView* view = m_frame->View();
    for (const char* n : names) {
      if (QString(n) != "logList") QVERIFY2(W<QWidget>(n)->geometry() == standard[n], n);
    }
    const QRect log = W<QWidget>("logList")->geometry();
    QVERIFY(log.top() == standard["logList"].top() && log.height() < standard["logList"].height());
    QVERIFY(log.height() >= 2 * W<QWidget>("logList")->fontMetrics().height());
    QVERIFY(W<QWidget>("progressGroup")->geometry().top() > log.bottom());
    QVERIFY(W<QWidget>("progressGroup")->geometry().bottom() < view->height());
    QVERIFY2(test::ClippedCaptions(view).isEmpty(),
             qPrintable(test::ClippedCaptions(view).join("; ")));
    QVERIFY(m_frame->Chart()->isVisible());
    // 400 pixels more.
    const int formWidth = view->width(), chartWidth = m_frame->Chart()->width();
    m_frame->resize(least + QSize(400, 0));
    QTRY_COMPARE(m_frame->Chart()->width(), chartWidth + 400);
    QCOMPARE(view->width(), formWidth);
  }

  // The window's size, the splitter and whether the chart is shown come back
  // in the next session (from the parameter file), within the screen.
  void windowIsRemembered() {
    const QString folder = m_dir.filePath("window");
    QVERIFY(QDir().mkpath(folder));
    // Half way between the least window and the screen.
    const QSize screen = m_frame->screen()->availableGeometry().size();
    const QSize least = m_frame->minimumSizeHint();
    if (screen.width() < least.width() + 40 || screen.height() < least.height() + 40) {
      QSKIP("the screen is smaller than the least window (see tests/CMakeLists.txt)");
    }
    const QSize size = (least + screen) / 2;
    struct Case {
      const char* name;
      bool chart;
    };
    for (const Case& k : {Case{"chart shown", true}, Case{"chart hidden", false}}) {
      QList<int> sizes;
      {
        CMainFrame first(false);
        first.View()->SetFilesFolder(folder);
        first.show();
        QTRY_VERIFY(first.findChild<QListWidget*>("logList")->count() > 0);
        first.resize(size);
        auto* splitter = first.findChild<QSplitter*>("mainSplitter");
        QTRY_COMPARE(first.size(), size);
        splitter->setSizes({splitter->sizes()[0] - 40, splitter->sizes()[1] + 40});
        sizes = splitter->sizes();
        first.findChild<QAction*>("chartAction")->setChecked(k.chart);
        QVERIFY(first.close());
      }
      CMainFrame next(false);
      next.View()->SetFilesFolder(folder);
      next.show();
      QTRY_VERIFY(next.findChild<QListWidget*>("logList")->count() > 0);
      QTRY_COMPARE(next.size(), size);
      QVERIFY2(next.findChild<QAction*>("chartAction")->isChecked() == k.chart, k.name);
      QVERIFY2(next.Chart()->isVisible() == k.chart, k.name);
      next.findChild<QAction*>("chartAction")->setChecked(true);
      QTRY_COMPARE(next.findChild<QSplitter*>("mainSplitter")->sizes(), sizes);
    }
  }

  // --help and --version answer on the terminal without a display (a window
  // would fail there); About shows the same version beside the box's text.
  void versionOnTheTerminalAndInAbout() {
    const struct {
      const char* option;
      QString starts;
    } cases[] = {{"--help", "Usage: zentrova-gui [--developer]\n"},
                 {"--version", QString::fromStdString(cli::VersionText()) + "\n"}};
    for (const auto& c : cases) {
      QProcess program;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.remove("DISPLAY");
      env.remove("WAYLAND_DISPLAY");
      env.insert("QT_QPA_PLATFORM", "xcb");
      program.setProcessEnvironment(env);
      program.start(ZENTROVA_GUI_PROGRAM, {c.option});
      QVERIFY(program.waitForFinished(10000));
      QCOMPARE(program.exitStatus(), QProcess::NormalExit);
      QCOMPARE(program.exitCode(), 0);
      const QString out = QString::fromUtf8(program.readAllStandardOutput());
      QVERIFY2(out.startsWith(c.starts), qPrintable(out));
      QCOMPARE(program.readAllStandardError(), QByteArray());
    }
    QString seen;
    QTimer::singleShot(0, this, [&seen] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      for (const QLabel* l : box->findChildren<QLabel*>()) {
        if (!l->text().isEmpty()) seen += l->text() + "|";
        if (!box->rect().contains(l->geometry())) seen += "(outside)";
      }
      const QStringList clipped = test::ClippedCaptions(box);
      if (!clipped.isEmpty()) seen += clipped.join(";");
      box->accept();
    });
    W<QAction>("aboutAction")->trigger();
    QCOMPARE(seen, "Zentrova Version 2.1|" + QString::fromStdString(cli::VersionText()) + "|");
  }

  // The README's picture: the window as it renders here, when asked for.
  void screenshot() {
    const QByteArray target = qgetenv("ZENTROVA_SCREENSHOT");
    if (target.isEmpty()) QSKIP("ZENTROVA_SCREENSHOT names no file");
    QVERIFY(m_frame->grab().save(QString::fromLocal8Bit(target)));
  }
};

}  // namespace zentrova

QTEST_MAIN(zentrova::MainWindowTest)
#include "MainWindowTest.moc"
