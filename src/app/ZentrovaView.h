// CZentrovaView: the form of the main window. It holds every parameter of a
// job, checks them on Start (front/), runs the job on its worker thread,
// gives it the 5-second tick and shows what it posts: log lines with their
// time stamps (also appended to the program log file), statistics, the range
// a resumed job read, and the end of the job, which restores the form and
// saves the parameter file. The program's start-up reads that file back.
// Under the template, a panel shows the runner's figures at each tick; each
// sample also goes out to whoever charts it, with the range of the job and,
// for a resume, the sieve's past read from its files. At the job's end the
// statistics and the panel show the state of its final save. The engine
// settings (threads, device, p limit, stop rate) come from the Engine dialog
// and are kept in the parameter file's "Engine" section.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>
#include <vector>

#include "app/ProgressPanel.h"
#include "app/SieveHistory.h"
#include "front/FormRules.h"
#include "front/JobRunner.h"
#include "sieve/JobSink.h"

namespace zentrova {

class CZentrovaView : public QWidget {
  Q_OBJECT

 public:
  explicit CZentrovaView(QWidget* parent = nullptr);
  ~CZentrovaView() override;

  // The folder of the parameter file and the program log (the user's
  // configuration folder unless set before the form is first shown).
  void SetFilesFolder(const QString& folder) { m_filesFolder = folder; }
  QString ParameterFilePath() const { return m_paramFile; }
  QString ProgramLogPath() const { return m_logFile; }

  bool JobRunning() const { return m_jobRunning; }
  const FormParams& Params() const { return m_form.params; }
  // The size of the form template, in pixels for the current font.
  QSize TemplateSize() const;
  // The template with the progress panel under it: the form's size in a
  // window of the default size.
  QSize FormDefaultSize() const;
  // The form's least size: as wide as the template, the log shorter (down
  // to a few lines), everything above it in its place.
  QSize FormMinimumSize() const;

  // A click on job button 0..4 (the wide-resume button is never enabled, so
  // only this way reaches choice 4).
  void ChooseJob(int choice);

  // The form's initial update again (a new document): the form written from
  // its fields, then the deferred start-up step. Nothing while a job runs.
  void InitialUpdate();

  // The engine settings of the next job.
  const EngineSettings& Engine() const { return m_form.engine; }
  // Sets them (as the dialog's OK does, checked first: false, keeping the
  // old ones, for settings that cannot be read) and writes them to the
  // parameter file once it is known.
  bool SetEngine(const EngineSettings& settings);

  // Menu commands.
  void EngineSettingsDialog();
  void BenchSpeeds();
  void UsePackedKFiles();
  void CreatePackedKFiles();
  void UseKLogFile();
  void BuildToBeFactoredList();
  // A stop signal to the program: a running job is asked to stop (a log
  // line says why), and ShutdownReady follows its end, after its final
  // save. Without a job, ShutdownReady comes at once.
  void StopForShutdown(const QString& why);
  // 2 Normal, 1 Below Normal, 0 Idle: the scheduling priority of every
  // thread of the program, a running job's workers included. False, with a
  // log line saying so, when the system refuses it (raising the priority
  // again may need privileges); the priority stays as it was.
  bool SetPriority(int choice);
  int Priority() const { return m_priority; }
  // A line in the log (and the program log), with its time stamp.
  void Log(const QString& text) { AddLogLine(text); }

 signals:
  // The running state changed (menus and the close guard follow it).
  void JobStateChanged(bool running);
  // The program may close: StopForShutdown was called and no job runs.
  void ShutdownReady();
  // The runner's figures at a tick, as the progress panel shows them, and
  // once more at the job's end.
  void ProgressSampled(const RunProgress& progress);
  // A resumed sieve's past, read from its files as the job starts (after
  // JobStateChanged).
  void HistoryRead(const std::vector<SieveHistoryPoint>& history);
  // The range of the running job: the form's for a new sieve, the files'
  // for a resume.
  void JobRange(int bMin, int bMax, int exponent);
  // The parameter file is known and has been read (once, at start-up).
  void ParameterFileReady();

 protected:
  void showEvent(QShowEvent* event) override;
  // The form keeps the template's places at its minimum size; the room a
  // larger window gives goes to the file fields and the group boxes
  // (across) and to the log (across and down); the progress panel stays
  // under the log.
  void resizeEvent(QResizeEvent* event) override;

 private:
  enum FileField { kFactorIn, kFactorOut, kSieveIn, kSieveOut, kProthLog, kReport, kFileFields };

  void BuildControls();
  // Captions wider than the template gives them (at a larger font) get the
  // room they need: a label grows towards the side away from its text's
  // alignment, the file fields give up width to their captions.
  void FitCaptions();
  void PlaceGrowingControls();
  void StartUp();
  void WideMathToggled();
  void ApplyLayout(int choice);
  void StartOrStop();
  void ChooseFile(FileField field);
  // Exchange between controls and fields in the fixed order; false when a
  // number field held no integer (the reading stopped there).
  bool ReadForm();
  void WriteForm();
  void SaveParameters();
  void LoadParameters();
  // The last Start's fields from the parameter file, once, at start-up: a
  // key that is missing, or a number that is not one, keeps its default; a
  // file that is missing or cannot be read leaves every default.
  void RestoreParameters();
  // The engine settings the same way, from their own section.
  void SaveEngineSettings();
  void RestoreEngineSettings();
  // Starts the job of the command with the form's fields as they stand.
  void StartJob(int32_t command, bool fromStart);
  // The history of a resume from the files it reads; nothing for another
  // job or files that cannot be read.
  void ReadHistory(int32_t command, std::vector<SieveHistoryPoint>& points);
  // The last sample of an ended job: the statistics of its final save.
  void ShowFinalState();
  void OnTick();
  void OnJobMessage(const QString& text);
  void EndOfJob();
  void AddLogLine(const QString& text);
  void SetParameterControlsEnabled(bool enabled);
  QLineEdit* NumberEdit(int x, int y, int w, const char* name);

  FormRun m_form;
  bool m_jobRunning = false;
  bool m_startedUp = false;
  bool m_restored = false;
  bool m_shutdownAfterJob = false;
  int m_priority = 2;
  int32_t m_command = -1;  // of the job running or last run
  QString m_filesFolder;
  QString m_paramFile;
  QString m_logFile;
  std::unique_ptr<JobSink> m_sink;
  std::unique_ptr<JobRunner> m_job;
  QTimer m_tick;
  // Between ticks, so that the runner has a p to measure growth from at the
  // first tick (as the command line has) and a stop rate acts sooner.
  QTimer m_poll;
  // The outputs of the last sieve job (from the parameter file until one
  // runs): what "Resume Old Sieve" offers as its inputs.
  std::string m_lastFactorOut, m_lastSieveOut;
  // Runs for a moment from a click on Stop; once Stop has turned back into
  // Start, Start ignores clicks while it runs, so the second click of a
  // double click on Stop cannot open an overwrite question. Anything the
  // user does to the form in between (a job choice, the wide toggle, a file
  // chosen, a field typed in) ends it: the next click is meant.
  QTimer* m_startGuard = nullptr;

  // The controls that follow the window's size, with their places at the
  // default size (the template's).
  enum Growth { kGrowAcross = 1, kMoveAcross = 2, kGrowDown = 4, kMoveDown = 8 };
  struct GrowingControl {
    QWidget* widget;
    QRect atDefault;
    int growth;
  };
  std::vector<GrowingControl> m_growing;
  int m_logShrink = 0;  // how much shorter than the template's the log may get

  std::array<QRadioButton*, 5> m_choice{};
  std::array<QLineEdit*, kFileFields> m_fileEdit{};
  std::array<QPushButton*, kFileFields> m_chooseButton{};
  QLineEdit* m_exponent = nullptr;
  QLineEdit* m_bMin = nullptr;
  QLineEdit* m_bMax = nullptr;
  QLineEdit* m_saveMinutes = nullptr;
  QCheckBox* m_wideMath = nullptr;
  QCheckBox* m_disableSse2 = nullptr;
  QPushButton* m_start = nullptr;
  QListWidget* m_log = nullptr;
  QLineEdit* m_bsLeft = nullptr;
  QLineEdit* m_currentP = nullptr;
  CProgressPanel* m_progress = nullptr;
};

}  // namespace zentrova
