#include "app/PackedKDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <algorithm>

#include "app/DialogUnits.h"
#include "app/UiPrompts.h"
#include "front/FormRules.h"

namespace zentrova {

// --- FormDialog -----------------------------------------------------------------

FormDialog::FormDialog(QWidget* parent, const QString& title, int cx, int cy) : QDialog(parent) {
  setWindowTitle(title);
  const DialogUnits du(this);
  setFixedSize(du.X(cx), du.Y(cy));
}

QLabel* FormDialog::AddText(const char* name, const QString& text, int x, int y, int cx, int cy) {
  QLabel* label = AddLabel(name, text, x, y, cx, cy, false);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QLabel* FormDialog::AddLabel(const char* name, const QString& text, int x, int y, int cx, int cy,
                             bool rightAligned) {
  auto* label = new QLabel(text, this);
  label->setObjectName(name);
  label->setAlignment((rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
  DialogUnits(this).Place(label, x, y, cx, cy);
  return label;
}

QLineEdit* FormDialog::AddEdit(const char* name, int x, int y, int cx, int cy) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(name);
  DialogUnits(this).Place(edit, x, y, cx, cy);
  return edit;
}

QPushButton* FormDialog::AddButton(const char* name, const QString& text, int x, int y) {
  auto* button = new QPushButton(text, this);
  button->setObjectName(name);
  DialogUnits(this).Place(button, x, y, 50, 14);
  return button;
}

void FormDialog::AddOkCancel(int okX, int cancelX, int y) {
  QPushButton* ok = AddButton("okButton", "OK", okX, y);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
  QPushButton* cancel = AddButton("cancelButton", "Cancel", cancelX, y);
  connect(cancel, &QPushButton::clicked, this, &FormDialog::reject);
}

void FormDialog::FitTexts() {
  QList<QLabel*> texts;
  for (QLabel* l : findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
    if (l->wordWrap()) texts << l;
  }
  std::sort(texts.begin(), texts.end(), [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
  int grown = 0;
  for (QLabel* text : texts) {
    const int extra = text->heightForWidth(text->width()) - text->height();
    if (extra <= 0) continue;
    const int below = text->y() + text->height();
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (w != text && w->y() >= below) w->move(w->x(), w->y() + extra);
    }
    text->resize(text->width(), text->height() + extra);
    grown += extra;
  }
  if (grown > 0) setFixedSize(width(), height() + grown);
}

void FormDialog::OnOK() {
  if (ReadDialog()) accept();
}

bool FormDialog::ReadInteger(const QLineEdit* edit, int32_t& value) {
  if (ParseIntegerField(edit->text().toStdString(), value)) return true;
  UiPrompts::Current().Tell(this, kNotAnInteger);
  return false;
}

void FormDialog::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) {
    m_restore = FieldsRestorer();
    WriteDialog();
  }
  QDialog::showEvent(event);
}

void FormDialog::reject() {
  if (m_restore) m_restore();
  QDialog::reject();
}

namespace {

constexpr const char* kPackedKFilter = "Packed K Files (*.pkk);;All Files (*)";

// Choose of the two directory dialogs: any file of the folder picks the folder
// (the dialog offers a made-up name, so that OK alone takes the folder shown).
void ChooseDirectory(FormDialog* dialog, QString& directory) {
  dialog->ReadDialog();
  const QString path =
      UiPrompts::Current().ChooseOpenFile(dialog, kPackedKFilter, false, "AnyName.pkk");
  if (path.isEmpty()) {
    UiPrompts::Current().Tell(dialog, kSelectionCancelled, kCancelCaption,
                              UiPrompts::Icon::kInformation);
    return;
  }
  directory = QString::fromStdString(DirectoryOfChosenPath(path.toStdString()));
  dialog->WriteDialog();
}

// OK of the two directory dialogs: true when the dialog may close.
bool CheckDirectoryAndExponent(FormDialog* dialog, const QString& directory, int32_t exponent,
                               int32_t& ln) {
  const std::string refusal = CheckPackedKDialog(directory.toStdString(), exponent, ln);
  if (refusal.empty()) return true;
  UiPrompts::Current().Tell(dialog, QString::fromStdString(refusal));
  return false;
}

}  // namespace

// --- CPackedKFileSelection ----------------------------------------------------------

CPackedKFileSelection::CPackedKFileSelection(QWidget* parent)
    : FormDialog(parent, "Packed K File Selection", 372, 111) {
  AddLabel("fileLabel", "Packed K File:", 5, 37, 60, 8, true);
  m_fileEdit = AddEdit("fileNameEdit", 70, 35, 225, 14);
  QPushButton* choose = AddButton("chooseButton", "Choose", 305, 35);
  connect(choose, &QPushButton::clicked, this, &CPackedKFileSelection::OnChoose);
  AddOkCancel(115, 190, 80);
  FitTexts();
}

void CPackedKFileSelection::WriteDialog() {
  m_fileEdit->setText(m_fileName);
}

bool CPackedKFileSelection::ReadDialog() {
  m_fileName = m_fileEdit->text();
  return true;
}

std::function<void()> CPackedKFileSelection::FieldsRestorer() {
  return [this, fileName = m_fileName] { m_fileName = fileName; };
}

void CPackedKFileSelection::OnChoose() {
  ReadDialog();
  const QString path = UiPrompts::Current().ChooseOpenFile(this, kPackedKFilter, true, QString());
  if (path.isEmpty()) {
    UiPrompts::Current().Tell(this, kSelectionCancelled, kCancelCaption,
                              UiPrompts::Icon::kInformation);
    return;
  }
  m_fileName = path;
  WriteDialog();
}

// --- PackedKFolderDialog -------------------------------------------------------------------

PackedKFolderDialog::PackedKFolderDialog(QWidget* parent, const QString& title, int cx, int cy,
                                         bool exponentFirst)
    : FormDialog(parent, title, cx, cy), m_exponentFirst(exponentFirst) {}

void PackedKFolderDialog::AddFolderFields(int y, bool labelsRight) {
  AddLabel("directoryLabel", "Packed K Directory:", 7, y + 2, 78, 8, labelsRight);
  m_directoryEdit = AddEdit("directoryEdit", 89, y, 208, 14);
  QPushButton* choose = AddButton("chooseButton", "Choose", 307, y);
  connect(choose, &QPushButton::clicked, this, [this] { ChooseDirectory(this, m_directory); });
  AddLabel("exponentLabel", "Exponent:", 7, y + 21, 78, 8, labelsRight);
  m_exponentEdit = AddEdit("exponentEdit", 89, y + 19, 55, 14);
}

void PackedKFolderDialog::WriteDialog() {
  m_directoryEdit->setText(m_directory);
  m_exponentEdit->setText(QString::number(m_exponent));
}

bool PackedKFolderDialog::ReadDialog() {
  if (m_exponentFirst && !ReadInteger(m_exponentEdit, m_exponent)) return false;
  m_directory = m_directoryEdit->text();
  return m_exponentFirst || ReadInteger(m_exponentEdit, m_exponent);
}

void PackedKFolderDialog::OnOK() {
  if (ReadDialog() && CheckDirectoryAndExponent(this, m_directory, m_exponent, m_ln)) accept();
}

std::function<void()> PackedKFolderDialog::FieldsRestorer() {
  return [this, directory = m_directory, exponent = m_exponent, ln = m_ln] {
    m_directory = directory;
    m_exponent = exponent;
    m_ln = ln;
  };
}

// --- CCreatePackedKFile -----------------------------------------------------------------

CCreatePackedKFile::CCreatePackedKFile(QWidget* parent)
    : PackedKFolderDialog(parent, "Create A New Packed K File", 372, 125, false) {
  AddText("directoryHelpText",
          "Use the choose button to move to the correct directory where the packed K files for "
          "the entered exponent are to be stored.  Select any file in that directory to select "
          "the directory.",
          10, 7, 349, 19);
  AddText("namingText",
          "If no packed files exist, the first one will be created.  If packed files exist, the "
          "sequence will automatically be extended.  The files are named lnXXpiNNNNN.pkk where XX "
          "is the b^2^XX of the exponent and NNNNN is the sequence number of the file.",
          7, 29, 349, 29);
  AddFolderFields(62, true);
  AddOkCancel(117, 192, 104);
  FitTexts();
}

// --- CSelectKFileDirectory ------------------------------------------------------------------

CSelectKFileDirectory::CSelectKFileDirectory(QWidget* parent)
    : PackedKFolderDialog(parent, "Select K File Directory", 372, 141, true) {
  AddText("directoryHelpText",
          "Use the choose button to move to the correct directory where the packed K files for "
          "the entered exponent are stored.  Select any file in that directory to select the "
          "directory.",
          10, 7, 349, 19);
  AddText("namingText",
          "The files are named lnXXpiNNNNN.pkk where XX is the b^2^XX of the exponent and NNNNN "
          "is the sequence number of the file.",
          10, 25, 349, 19);
  AddText("exponentHelpText",
          "The exponent is entered here to generate the file name, and to double check the "
          "exponent entered when the start button is selected on the main screen (new sieve) or "
          "exponent from the saved file (continue seive).",
          10, 44, 349, 20);
  AddFolderFields(76, false);
  AddOkCancel(117, 192, 118);
  FitTexts();
}

}  // namespace zentrova
