#include "app/UiPrompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include "front/FormRules.h"

namespace zentrova {

namespace {

class QtPrompts : public UiPrompts {
 public:
  void Tell(QWidget* parent, const QString& text, const QString& caption, Icon icon) override {
    QMessageBox box(icon == Icon::kInformation ? QMessageBox::Information : QMessageBox::NoIcon,
                    caption.isEmpty() ? QString(kAppTitle) : caption, text, QMessageBox::Ok,
                    parent);
    box.exec();
  }
  bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) override {
    return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
  }
  QString ChooseOpenFile(QWidget* parent, const QString& filter, bool mustExist,
                         const QString& initialName) override {
    QFileDialog dialog(parent, QString(), QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (!initialName.isEmpty()) dialog.selectFile(initialName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().front();
  }
  QString ChooseSaveFile(QWidget* parent, const QString& filter) override {
    // Start asks about replacing a file, not the dialog.
    return QFileDialog::getSaveFileName(parent, QString(), QString(), filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
  }
};

UiPrompts* g_installed = nullptr;

}  // namespace

UiPrompts& UiPrompts::Current() {
  static QtPrompts toolkit;
  return g_installed != nullptr ? *g_installed : toolkit;
}

void UiPrompts::Install(UiPrompts* prompts) {
  g_installed = prompts;
}

}  // namespace zentrova
