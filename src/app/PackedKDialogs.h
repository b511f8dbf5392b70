// The modal dialogs of the packed K files: choosing a packed K file, creating
// a new one, and choosing the folder where they are kept. FormDialog, their
// base, is shared with the to-be-factored dialog.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace zentrova {

// A fixed-size dialog laid out in dialog units whose data lives in public
// fields: the caller sets them before exec() and reads them after Accepted.
// The controls are written from the fields each time the dialog is shown;
// Cancel (button, Escape or the close box) puts back the fields as they were
// when it was shown.
class FormDialog : public QDialog {
  Q_OBJECT

 public:
  // Controls from the fields.
  virtual void WriteDialog() = 0;
  // Fields from the controls, in the dialog's exchange order; false, after
  // telling the user, at the first number field that holds no integer (the
  // fields after it keep their values).
  virtual bool ReadDialog() = 0;

  void reject() override;

 protected:
  // title, and the size cx×cy in dialog units.
  FormDialog(QWidget* parent, const QString& title, int cx, int cy);

  // Controls placed at x,y with size cx×cy in dialog units, created in tab
  // order.
  QLabel* AddText(const char* name, const QString& text, int x, int y, int cx, int cy);
  QLabel* AddLabel(const char* name, const QString& text, int x, int y, int cx, int cy,
                   bool rightAligned);
  QLineEdit* AddEdit(const char* name, int x, int y, int cx, int cy);
  QPushButton* AddButton(const char* name, const QString& text, int x, int y);
  // OK (calling OnOK) and Cancel, 50×14 each, on the row y.
  void AddOkCancel(int okX, int cancelX, int y);

  // Called once the controls are placed: a wrapped text taller than its
  // place at this font grows, and every control below it and the dialog
  // with it.
  void FitTexts();

  // What OK does: read the dialog and close with Accepted.
  virtual void OnOK();
  // A function that puts the fields back as they are now.
  virtual std::function<void()> FieldsRestorer() = 0;

  // The number in edit, or false after "Please enter an integer.".
  bool ReadInteger(const QLineEdit* edit, int32_t& value);

  void showEvent(QShowEvent* event) override;

 private:
  std::function<void()> m_restore;
};

// Chooses a packed K file to use.
class CPackedKFileSelection : public FormDialog {
  Q_OBJECT

 public:
  explicit CPackedKFileSelection(QWidget* parent = nullptr);

  QString m_fileName;

  void WriteDialog() override;
  bool ReadDialog() override;

 protected:
  std::function<void()> FieldsRestorer() override;

 private:
  void OnChoose();

  QLineEdit* m_fileEdit;
};

// The folder of an exponent's packed K files and the exponent, as the two
// dialogs below ask for them: Choose takes the folder of any file picked, OK
// checks both and sets m_ln.
class PackedKFolderDialog : public FormDialog {
  Q_OBJECT

 public:
  QString m_directory;
  int32_t m_exponent = 0;
  int32_t m_ln = 0;  // set by OK: the exponent's power of two

  void WriteDialog() override;
  bool ReadDialog() override;

 protected:
  // exponentFirst: the exponent is read before the folder (a number that is
  // no integer then leaves the folder as it was).
  PackedKFolderDialog(QWidget* parent, const QString& title, int cx, int cy, bool exponentFirst);
  // The two rows of fields, the folder's at y and the exponent's below it.
  void AddFolderFields(int y, bool labelsRight);
  void OnOK() override;
  std::function<void()> FieldsRestorer() override;

 private:
  bool m_exponentFirst;
  QLineEdit* m_directoryEdit = nullptr;
  QLineEdit* m_exponentEdit = nullptr;
};

// Chooses the folder and exponent of a new packed K file.
class CCreatePackedKFile : public PackedKFolderDialog {
  Q_OBJECT

 public:
  explicit CCreatePackedKFile(QWidget* parent = nullptr);
};

// Chooses the folder where the packed K files of an exponent are kept.
class CSelectKFileDirectory : public PackedKFolderDialog {
  Q_OBJECT

 public:
  explicit CSelectKFileDirectory(QWidget* parent = nullptr);
};

}  // namespace zentrova
