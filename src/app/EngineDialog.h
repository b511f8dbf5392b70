// CEngineDialog: the engine settings of the next run (front/EngineSettings.h)
// as the command line's --threads, --device, --p-max and --stop-rate give
// them: worker threads, the device (the CPU, "auto", "gpu", or one of the
// devices this build found), the p limit (whole numbers or 1e15-style) and
// the stop rate in seconds per factor. OK refuses a setting that cannot be
// read with a message saying which; the caller keeps the settings and writes
// them to the parameter file.
#pragma once

#include <QDialog>
#include <vector>

#include "front/EngineSettings.h"

class QComboBox;
class QLineEdit;
class QSpinBox;

namespace zentrova {

class CEngineDialog : public QDialog {
  Q_OBJECT

 public:
  // devices: the device enumeration's list, offered after cpu, auto and gpu.
  explicit CEngineDialog(const std::vector<DeviceInfo>& devices, QWidget* parent = nullptr);

  // Controls from settings; a device that is not in the list is added to it
  // as "(not found)", so that a setting of another machine stays visible.
  void SetSettings(const EngineSettings& settings);
  // Settings from the controls, as they stand; false when the p limit or
  // the stop rate cannot be read (the refusal in `refusal`).
  bool ReadSettings(EngineSettings& settings, std::string& refusal) const;
  // The settings OK accepted.
  const EngineSettings& Settings() const { return m_settings; }

 private:
  void OnOK();

  EngineSettings m_settings;
  QSpinBox* m_threads = nullptr;
  QComboBox* m_device = nullptr;
  QComboBox* m_gpuKernel = nullptr;
  QLineEdit* m_pMax = nullptr;
  QLineEdit* m_stopRate = nullptr;
};

}  // namespace zentrova
