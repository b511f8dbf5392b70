// Answers the program's message boxes and file dialogs from a script and
// writes down what was shown, in order: "tell <caption>|<icon>: <text>",
// "ask <caption>: <text>", "open <filter>", "save <filter>".
#pragma once

#include <QStringList>
#include <QTest>

#include <deque>

#include "app/UiPrompts.h"

namespace zentrova::test {

class FakePrompts : public UiPrompts {
 public:
  FakePrompts() { UiPrompts::Install(this); }
  ~FakePrompts() override { UiPrompts::Install(nullptr); }

  QStringList events;
  std::deque<bool> answers;     // Yes/No, in order
  std::deque<QString> chosen;   // file dialogs' results, in order ("" = Cancel)
  QStringList initialNames;     // the initial name each open dialog was given

  void Tell(QWidget*, const QString& text, const QString& caption, Icon icon) override {
    events << QString("tell %1|%2: %3")
                  .arg(caption, icon == Icon::kInformation ? QString("info") : QString("none"),
                       text);
  }
  bool AskYesNo(QWidget*, const QString& text, const QString& caption) override {
    events << QString("ask %1: %2").arg(caption, text);
    if (answers.empty()) {
      QTest::qFail("unexpected question", __FILE__, __LINE__);
      return false;
    }
    const bool a = answers.front();
    answers.pop_front();
    return a;
  }
  QString ChooseOpenFile(QWidget*, const QString& filter, bool, const QString& initial) override {
    events << "open " + filter;
    initialNames << initial;
    return Next();
  }
  QString ChooseSaveFile(QWidget*, const QString& filter) override {
    events << "save " + filter;
    return Next();
  }

 private:
  QString Next() {
    if (chosen.empty()) return QString();
    QString c = chosen.front();
    chosen.pop_front();
    return c;
  }
};

}  // namespace zentrova::test
