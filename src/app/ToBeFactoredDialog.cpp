#include "app/ToBeFactoredDialog.h"

#include <QLineEdit>
#include <QPushButton>

#include "app/UiPrompts.h"
#include "front/FormRules.h"

namespace zentrova {

namespace {
constexpr const char* kTextFilter = "Text Files (*.txt);;All Files (*)";
}  // namespace

CToBeFactored::CToBeFactored(QWidget* parent)
    : FormDialog(parent, "Build To_Be_Factored List", 381, 194) {
  AddText("descriptionText",
          "This function takes a candiate file and a range.  It outputs all numbers in the range "
          "but not in the candidate file.",
          7, 7, 367, 24);
  AddLabel("inputLabel", "Input Candidate File:", 7, 71, 86, 8, true);
  m_inputEdit = AddEdit("inputEdit", 97, 69, 208, 14);
  QPushButton* chooseInput = AddButton("inputChooseButton", "Choose", 315, 69);
  connect(chooseInput, &QPushButton::clicked, this, &CToBeFactored::OnChooseInput);
  AddLabel("outputLabel", "Output ToBeFactored:", 7, 94, 86, 8, true);
  m_outputEdit = AddEdit("outputEdit", 97, 92, 208, 14);
  QPushButton* chooseOutput = AddButton("outputChooseButton", "Choose", 315, 92);
  connect(chooseOutput, &QPushButton::clicked, this, &CToBeFactored::OnChooseOutput);
  AddLabel("bMinLabel", "b Min:", 7, 124, 25, 8, false);
  m_bMinEdit = AddEdit("bMinEdit", 38, 122, 47, 14);
  AddLabel("bMaxLabel", "b Max:", 107, 124, 25, 8, false);
  m_bMaxEdit = AddEdit("bMaxEdit", 138, 122, 47, 14);
  AddLabel("exponentLabel", "Exponent:", 209, 124, 35, 8, false);
  m_exponentEdit = AddEdit("exponentEdit", 250, 122, 47, 14);
  AddOkCancel(125, 200, 166);
}

void CToBeFactored::WriteDialog() {
  m_inputEdit->setText(m_inputFile);
  m_outputEdit->setText(m_outputFile);
  m_bMinEdit->setText(QString::number(m_bMin));
  m_bMaxEdit->setText(QString::number(m_bMax));
  m_exponentEdit->setText(QString::number(m_exponent));
}

bool CToBeFactored::ReadDialog() {
  m_inputFile = m_inputEdit->text();
  m_outputFile = m_outputEdit->text();
  return ReadInteger(m_bMinEdit, m_bMin) && ReadInteger(m_bMaxEdit, m_bMax) &&
         ReadInteger(m_exponentEdit, m_exponent);
}

void CToBeFactored::OnOK() {
  if (!ReadDialog()) return;
  ToBeFactoredInput in;
  in.inputFile = m_inputFile.toStdString();
  in.outputFile = m_outputFile.toStdString();
  in.bMin = m_bMin;
  in.bMax = m_bMax;
  in.exponent = m_exponent;
  const std::string refusal = CheckToBeFactoredDialog(in);
  if (!refusal.empty()) {
    UiPrompts::Current().Tell(this, QString::fromStdString(refusal));
    return;
  }
  accept();
}

std::function<void()> CToBeFactored::FieldsRestorer() {
  return [this, input = m_inputFile, output = m_outputFile, bMin = m_bMin, bMax = m_bMax,
          exponent = m_exponent] {
    m_inputFile = input;
    m_outputFile = output;
    m_bMin = bMin;
    m_bMax = bMax;
    m_exponent = exponent;
  };
}

void CToBeFactored::OnChooseInput() {
  ReadDialog();
  const QString path = UiPrompts::Current().ChooseOpenFile(this, kTextFilter, true, QString());
  if (path.isEmpty()) {
    UiPrompts::Current().Tell(this, "Input file selection has been cancelled.", kCancelCaption,
                              UiPrompts::Icon::kInformation);
    return;
  }
  m_inputFile = path;
  WriteDialog();
}

// Unlike the input's Choose, this one reads nothing from the other controls
// and writes only the output name back.
void CToBeFactored::OnChooseOutput() {
  const QString path = UiPrompts::Current().ChooseSaveFile(this, kTextFilter);
  if (path.isEmpty()) {
    UiPrompts::Current().Tell(this, "Output file selection has been cancelled.", kCancelCaption,
                              UiPrompts::Icon::kInformation);
    return;
  }
  m_outputFile = path;
  m_outputEdit->setText(m_outputFile);
}

}  // namespace zentrova
