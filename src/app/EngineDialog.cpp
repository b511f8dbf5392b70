#include "app/EngineDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/UiPrompts.h"
#include "front/RemovalRate.h"
#include "gpu/OpenClBackend.h"
#include "sieve/WorkerPool.h"

namespace zentrova {

CEngineDialog::CEngineDialog(const std::vector<DeviceInfo>& devices, QWidget* parent)
    : QDialog(parent) {
  setObjectName("engineDialog");
  setWindowTitle("Engine");
  m_threads = new QSpinBox(this);
  m_threads->setObjectName("threadsSpin");
  m_threads->setRange(0, config::kMaxThreads);
  m_threads->setSpecialValueText(QString("all (%1)").arg(HardwareThreads()));
  m_device = new QComboBox(this);
  m_device->setObjectName("deviceCombo");
  m_device->addItem("cpu (the processor)", "cpu");
  m_device->addItem("auto (the first graphics card, else the processor)", "auto");
  m_device->addItem("gpu (the first graphics card)", "gpu");
  for (const DeviceInfo& d : devices) {
    m_device->addItem(QString::fromStdString(d.Id() + ": " + d.name + " (" + d.platform + ")"),
                      QString::fromStdString(d.Id()));
  }
  m_gpuKernel = new QComboBox(this);
  m_gpuKernel->setObjectName("gpuKernelCombo");
  m_gpuKernel->addItem("fastest (calibrated on the device)", QString());
  for (const GpuArithmetic& a : GpuArithmetics()) {
    m_gpuKernel->addItem(QString::fromStdString(a.name + ": " + a.what), QString::fromStdString(a.name));
  }
  m_pMax = new QLineEdit(this);
  m_pMax->setObjectName("pMaxEdit");
  m_pMax->setPlaceholderText("none");
  m_stopRate = new QLineEdit(this);
  m_stopRate->setObjectName("stopRateEdit");
  m_stopRate->setPlaceholderText("off");

  auto* form = new QFormLayout;
  form->addRow("&Threads:", m_threads);
  form->addRow("&Device:", m_device);
  form->addRow("&GPU kernel:", m_gpuKernel);
  form->addRow("&p limit:", m_pMax);
  form->addRow("&Stop rate (seconds per factor):", m_stopRate);
  auto* note = new QLabel(
      QString("A run stops before the first p above the p limit. With a stop rate, it stops once "
              "finding a factor takes longer than that, as the time the last %1 factors took: "
              "set it to the time your primality tester takes for one candidate. The settings "
              "apply to the next Start.")
          .arg(config::kRateFactors),
      this);
  note->setObjectName("engineNote");
  note->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName("okButton");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancelButton");
  connect(buttons, &QDialogButtonBox::accepted, this, &CEngineDialog::OnOK);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(note);
  layout->addWidget(buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 60);
}

void CEngineDialog::SetSettings(const EngineSettings& s) {
  m_settings = s;
  m_threads->setValue(s.threads);
  const QString device = QString::fromStdString(s.device);
  int index = m_device->findData(device);
  if (index < 0) {
    m_device->addItem(device + " (not found)", device);
    index = m_device->count() - 1;
  }
  m_device->setCurrentIndex(index);
  const QString kernel = QString::fromStdString(s.gpuKernel);
  int kernelIndex = m_gpuKernel->findData(kernel);
  if (kernelIndex < 0) {
    m_gpuKernel->addItem(kernel + " (not in this build)", kernel);
    kernelIndex = m_gpuKernel->count() - 1;
  }
  m_gpuKernel->setCurrentIndex(kernelIndex);
  m_pMax->setText(QString::fromStdString(s.pMax));
  m_stopRate->setText(s.stopRateSeconds > 0 ? QString::number(s.stopRateSeconds, 'g', 12)
                                            : QString());
}

bool CEngineDialog::ReadSettings(EngineSettings& s, std::string& refusal) const {
  s.threads = m_threads->value();
  s.device = m_device->currentData().toString().toStdString();
  s.gpuKernel = m_gpuKernel->currentData().toString().toStdString();
  s.pMax = m_pMax->text().trimmed().toStdString();
  const QString rate = m_stopRate->text().trimmed();
  s.stopRateSeconds = 0;
  if (!rate.isEmpty() && !ApplyEngineEntry(s, "StopRate", rate.toStdString())) {
    refusal = EngineRefusal(EngineField::kStopRate);
    return false;
  }
  // The same reading as the job's: what passes here reaches the job as is.
  SieveJob scratch;
  refusal = EngineRefusal(ApplyEngineSettings(s, nullptr, scratch));
  return refusal.empty();
}

void CEngineDialog::OnOK() {
  EngineSettings s;
  std::string refusal;
  if (!ReadSettings(s, refusal)) {
    UiPrompts::Current().Tell(this, QString::fromStdString(refusal));
    return;
  }
  m_settings = s;
  accept();
}

}  // namespace zentrova
