// The program's message boxes and file dialogs behind one interface, so that
// tests answer them without a user: the window and the dialogs never call
// QMessageBox or QFileDialog directly.
#pragma once

#include <QString>
#include <QWidget>

namespace zentrova {

class UiPrompts {
 public:
  enum class Icon { kNone, kInformation, kQuestion };
  virtual ~UiPrompts() = default;

  // An OK box; an empty caption means the application title.
  virtual void Tell(QWidget* parent, const QString& text, const QString& caption = QString(),
                    Icon icon = Icon::kNone) = 0;
  // A Yes/No box with the question icon; true for Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) = 0;
  // A file dialog; the chosen full path, or an empty string on Cancel.
  // filter is in Qt's form ("Text Files (*.txt);;All Files (*)").
  virtual QString ChooseOpenFile(QWidget* parent, const QString& filter, bool mustExist,
                                 const QString& initialName) = 0;
  virtual QString ChooseSaveFile(QWidget* parent, const QString& filter) = 0;

  // The prompts in use: the toolkit's by default; tests install their own.
  static UiPrompts& Current();
  static void Install(UiPrompts* prompts);  // nullptr: back to the toolkit's
};

}  // namespace zentrova
