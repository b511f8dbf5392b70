// The dialog of the to-be-factored list: a candidate file, a range of b and
// an exponent in, the numbers of the range missing from the file out.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

#include "app/PackedKDialogs.h"

namespace zentrova {

class CToBeFactored : public FormDialog {
  Q_OBJECT

 public:
  explicit CToBeFactored(QWidget* parent = nullptr);

  QString m_inputFile;
  QString m_outputFile;
  int32_t m_bMin = 0;
  int32_t m_bMax = 0;
  int32_t m_exponent = 0;

  void WriteDialog() override;
  bool ReadDialog() override;

 protected:
  void OnOK() override;
  std::function<void()> FieldsRestorer() override;

 private:
  void OnChooseInput();
  void OnChooseOutput();

  QLineEdit* m_inputEdit;
  QLineEdit* m_outputEdit;
  QLineEdit* m_bMinEdit;
  QLineEdit* m_bMaxEdit;
  QLineEdit* m_exponentEdit;
};

}  // namespace zentrova
