// The four modal dialogs driven through their controls: OK's checks and their
// texts, the Choose buttons, Cancel, and the exchange between fields and
// controls. Message boxes and file dialogs are answered by FakePrompts.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "app/PackedKDialogs.h"
#include "app/ToBeFactoredDialog.h"
#include "gui/CaptionFit.h"
#include "gui/FakePrompts.h"

using namespace zentrova;

namespace {

// Also notes each open dialog as "<initial name> existing|any".
class Prompts : public test::FakePrompts {
 public:
  QStringList opened;
  QString ChooseOpenFile(QWidget* p, const QString& f, bool must, const QString& i) override {
    opened << i + (must ? " existing" : " any");
    return FakePrompts::ChooseOpenFile(p, f, must, i);
  }
};

const QString kPkk = "open Packed K Files (*.pkk);;All Files (*)";
const QString kTxt = "Text Files (*.txt);;All Files (*)";

// A dialog of the kind "file", "create", "select" or "tbf", its fields set.
std::unique_ptr<FormDialog> Make(const QString& kind) {
  if (kind == "file") {
    auto d = std::make_unique<CPackedKFileSelection>();
    d->m_fileName = "/old.pkk";
    return d;
  }
  if (kind == "create") {
    auto d = std::make_unique<CCreatePackedKFile>();
    d->m_directory = "/old", d->m_exponent = 16384, d->m_ln = 14;
    return d;
  }
  if (kind == "select") {
    auto d = std::make_unique<CSelectKFileDirectory>();
    d->m_exponent = 16384, d->m_directory = "/old", d->m_ln = 14;
    return d;
  }
  auto d = std::make_unique<CToBeFactored>();
  d->m_inputFile = "/in.txt", d->m_outputFile = "/out.txt";
  d->m_bMin = 2, d->m_bMax = 9, d->m_exponent = 8;
  return d;
}

// The fields in exchange order, joined by "|".
QString Fields(QDialog* d) {
  if (auto* f = qobject_cast<CPackedKFileSelection*>(d)) return f->m_fileName;
  if (auto* c = qobject_cast<CCreatePackedKFile*>(d))
    return QString("%1|%2|%3").arg(c->m_directory).arg(c->m_exponent).arg(c->m_ln);
  if (auto* s = qobject_cast<CSelectKFileDirectory*>(d))
    return QString("%1|%2|%3").arg(s->m_exponent).arg(s->m_directory).arg(s->m_ln);
  auto* t = qobject_cast<CToBeFactored*>(d);
  return QString("%1|%2|%3|%4|%5")
      .arg(t->m_inputFile, t->m_outputFile)
      .arg(t->m_bMin)
      .arg(t->m_bMax)
      .arg(t->m_exponent);
}

QLineEdit* Edit(QWidget* d, const QString& name) {
  auto* w = d->findChild<QLineEdit*>(name);
  if (w == nullptr) qFatal("no edit %s", qPrintable(name));
  return w;
}

// Shows the dialog, types the "edit=text" entries and presses the button.
void Drive(QDialog* d, const QStringList& entries, const QString& button) {
  d->show();
  for (const QString& e : entries) {
    Edit(d, e.section('=', 0, 0))->clear();
    QTest::keyClicks(Edit(d, e.section('=', 0, 0)), e.section('=', 1));
  }
  auto* b = d->findChild<QPushButton*>(button);
  if (b == nullptr) qFatal("no button %s", qPrintable(button));
  QTest::mouseClick(b, Qt::LeftButton);
}

// A data row of the given values.
template <class... T>
void Row(const QString& name, const T&... values) {
  (QTest::newRow(qPrintable(name)) << ... << values);
}

QStringList Told(const QString& text) {
  return text.isEmpty() ? QStringList() : QStringList{"tell |none: " + text};
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  // OK: each check in order with its text (the dialog stays open), and the
  // fields read. A number that is no integer stops the reading there: the
  // fields read before it change, the later ones keep their values.
  void okChecks_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("refusal");  // "": accepted
    QTest::addColumn<QString>("fields");
    for (const QString kind : {"create", "select"}) {
      auto row = [&](const char* name, const QString& directory, const QString& exponent,
                     const char* refusal, int ln) {
        const QString fields = kind == "create" ? "%1|%2|%3" : "%2|%1|%3";
        Row(kind + ": " + name, kind,
            QStringList{"directoryEdit=" + directory, "exponentEdit=" + exponent}, QString(refusal),
            fields.arg(directory, exponent).arg(ln));
      };
      row("empty directory first", "", "100", "A packed file directory name is required.", 14);
      row("4096", "/k", "4096", "The minimum exponent supported by this sieve is 8192.", 12);
      row("100", "/k", "100", "Exponent 100 is not a proper power of 2 for GFN testing.", 30);
      row("8192", "/k", "8192", "", 13);
      row("2^30", "/k", "1073741824", "", 30);
    }
    const QString noInteger = "Please enter an integer.";
    Row("create: directory, then exponent", "create",
        QStringList{"directoryEdit=/new", "exponentEdit=8192x"}, noInteger, "/new|16384|14");
    Row("select: exponent, then directory", "select",
        QStringList{"directoryEdit=/new", "exponentEdit=x"}, noInteger, "16384|/old|14");
    Row("tbf: both names empty", "tbf", QStringList{"inputEdit=", "outputEdit="},
        "An output file name is required.", "||2|9|8");
    Row("tbf: no input", "tbf", QStringList{"inputEdit="}, "An input file name is required.",
        "|/out.txt|2|9|8");
    Row("tbf: b Min 0", "tbf", QStringList{"bMinEdit=0"}, "A b Min value must be specified.",
        "/in.txt|/out.txt|0|9|8");
    Row("tbf: b Max < 0", "tbf", QStringList{"bMaxEdit=-5"}, "A b Max value must be specified.",
        "/in.txt|/out.txt|2|-5|8");
    Row("tbf: exponent 0", "tbf", QStringList{"exponentEdit=0"},
        "A exponent value must be specified.", "/in.txt|/out.txt|2|9|0");
    Row("tbf: reversed range, odd exponent, no such file", "tbf",
        QStringList{"inputEdit=/no/such", "bMinEdit=10", "bMaxEdit=5", "exponentEdit=3"}, "",
        "/no/such|/out.txt|10|5|3");
    Row("tbf: names, then b Min", "tbf",
        QStringList{"inputEdit=/i", "outputEdit=/o", "bMinEdit=x", "bMaxEdit=7"}, noInteger,
        "/i|/o|2|9|8");
    Row("tbf: b Max, then exponent", "tbf",
        QStringList{"bMinEdit=4", "bMaxEdit=5.5", "exponentEdit=16"}, noInteger,
        "/in.txt|/out.txt|4|9|8");
  }
  void okChecks() {
    QFETCH(QString, kind);
    QFETCH(QStringList, entries);
    QFETCH(QString, refusal);
    QFETCH(QString, fields);
    Prompts prompts;
    auto d = Make(kind);
    Drive(d.get(), entries, "okButton");
    QCOMPARE(prompts.events, Told(refusal));
    QCOMPARE(d->isVisible(), !refusal.isEmpty());
    QCOMPARE(d->result(), int(refusal.isEmpty() ? QDialog::Accepted : QDialog::Rejected));
    QCOMPARE(Fields(d.get()), fields);
  }

  void choosers_data() {
    for (const char* c : {"kind", "button", "chosen", "edit", "shown"})
      QTest::addColumn<QString>(c);  // chosen "" = Cancel; shown: in the edit and its field
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("opened");
    const QString cancelled = "tell Exit|info: File selection has been cancelled.";
    const QStringList any{"AnyName.pkk any"}, existing{" existing"}, none;
    Row("file: the full path", "file", "chooseButton", "/d/e/a.pkk", "fileNameEdit", "/d/e/a.pkk",
        QStringList{kPkk}, existing);
    Row("file: cancel", "file", "chooseButton", "", "fileNameEdit", "/old.pkk",
        QStringList{kPkk, cancelled}, existing);
    for (const QString kind : {"create", "select"}) {
      Row(kind + ": the folder", kind, "chooseButton", "/d/e/AnyName.pkk", "directoryEdit", "/d/e",
          QStringList{kPkk}, any);
      Row(kind + ": cancel", kind, "chooseButton", "", "directoryEdit", "/old",
          QStringList{kPkk, cancelled}, any);
    }
    Row("input: the full path", "tbf", "inputChooseButton", "/t/c.txt", "inputEdit", "/t/c.txt",
        QStringList{"open " + kTxt}, existing);
    Row("input: cancel", "tbf", "inputChooseButton", "", "inputEdit", "/in.txt",
        QStringList{"open " + kTxt, "tell Exit|info: Input file selection has been cancelled."},
        existing);
    Row("output: the full path", "tbf", "outputChooseButton", "/t/o.txt", "outputEdit", "/t/o.txt",
        QStringList{"save " + kTxt}, none);
    Row("output: cancel", "tbf", "outputChooseButton", "", "outputEdit", "/out.txt",
        QStringList{"save " + kTxt, "tell Exit|info: Output file selection has been cancelled."},
        none);
  }
  void choosers() {
    QFETCH(QString, kind);
    QFETCH(QString, button);
    QFETCH(QString, chosen);
    QFETCH(QString, edit);
    QFETCH(QString, shown);
    QFETCH(QStringList, events);
    QFETCH(QStringList, opened);
    Prompts prompts;
    prompts.chosen = {chosen};
    auto d = Make(kind);
    Drive(d.get(), {}, button);
    QCOMPARE(prompts.events, events);
    QCOMPARE(prompts.opened, opened);
    QCOMPARE(Edit(d.get(), edit)->text(), shown);
    QVERIFY(Fields(d.get()).split('|').contains(shown));
    QVERIFY(d->isVisible());
  }

  // What was typed is read before Choose (or a refused OK) writes the
  // controls; Cancel then puts the fields back as they were.
  void cancelKeepsFields_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("during");
    Row("file", "file", "chooseButton", QStringList{"fileNameEdit=/x"}, "/n/AnyName.pkk");
    Row("create", "create", "chooseButton", QStringList{"exponentEdit=8192"}, "/n|8192|14");
    Row("select, refused OK", "select", "okButton", QStringList{"exponentEdit=100"}, "100|/old|30");
    Row("tbf", "tbf", "inputChooseButton", QStringList{"outputEdit=/o", "bMaxEdit=77"},
        "/n/AnyName.pkk|/o|2|77|8");
  }
  void cancelKeepsFields() {
    QFETCH(QString, kind);
    QFETCH(QString, button);
    QFETCH(QStringList, entries);
    QFETCH(QString, during);
    Prompts prompts;
    prompts.chosen = {"/n/AnyName.pkk"};
    auto d = Make(kind);
    const QString before = Fields(d.get());
    Drive(d.get(), entries, button);
    QCOMPARE(Fields(d.get()), during);
    QTest::mouseClick(d->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    QCOMPARE(d->result(), int(QDialog::Rejected));
    QVERIFY(!d->isVisible());
    QCOMPARE(Fields(d.get()), before);
  }

  // The controls show the fields the dialog was opened with (the file names
  // are seen in the choosers' Cancel cases).
  void writtenOnShow() {
    for (const QString kind : {"create", "select", "tbf"}) {
      auto d = Make(kind);
      d->show();
      const bool tbf = kind == "tbf";
      QCOMPARE(Edit(d.get(), "exponentEdit")->text(), tbf ? "8" : "16384");
      QCOMPARE(Edit(d.get(), tbf ? "bMinEdit" : "directoryEdit")->text(), tbf ? "2" : "/old");
      if (tbf) QCOMPARE(Edit(d.get(), "bMaxEdit")->text(), "9");
    }
  }

  // Every caption and text of each dialog fits its control, at the font in
  // use and at the fonts and sizes of test::CaptionFonts, and no control is
  // pushed out of the dialog to make room.
  void captionsFitTheirControls() {
    for (const QFont& font : test::CaptionFonts()) {
      const test::ApplicationFont use(font);
      for (const QString kind : {"file", "create", "select", "tbf"}) {
        auto d = Make(kind);
        d->show();
        const QStringList clipped = test::ClippedCaptions(d.get());
        QVERIFY2(clipped.isEmpty(),
                 qPrintable(kind + " at " + font.toString() + ": " + clipped.join("; ")));
        for (const QWidget* w : d->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
          QVERIFY2(d->rect().contains(w->geometry()), qPrintable(kind + " " + w->objectName()));
        }
      }
    }
  }
};

QTEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
