// CMainFrame: the main window around the form: the File, Options, View and
// Help menus (and the developer menu when asked for), the status bar with
// the menu prompts, the title with the processor's identification, the
// progress chart beside the form (fed from the form's samples; the two share
// a splitter, so a wider window widens both), and the close guard that keeps
// the program from ending under a running job. The window's size, the
// splitter and whether the chart is shown are kept in the parameter file's
// "Window" section from one session to the next.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <QSplitter>
#include <array>

#include "app/ProgressChart.h"
#include "app/ZentrovaView.h"

namespace zentrova {

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit CMainFrame(bool developerMenu, QWidget* parent = nullptr);

  CZentrovaView* View() const { return m_view; }
  CProgressChart* Chart() const { return m_chart; }
  // Shows the text in the status bar's message pane.
  void ShowStatusText(const QString& text);
  // The About box, modal.
  void About();
  // Ctrl+N: a new (empty) document: the title again and the form's initial
  // update. Ctrl+O: any file picked becomes the document, unread: its name
  // is the title.
  void NewDocument();
  void OpenDocument();
  // A stop signal (SIGINT, SIGTERM): a running job stops with its final save,
  // then the window closes; without a job it closes at once.
  void ShutDown(int signal);
  // The size of a new window: the form at its default size with the chart
  // at its least width beside it, within the screen's free area.
  QSize DefaultSize() const;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus(bool developerMenu);
  void SetDocumentTitle(const QString& title);
  void UpdateMenus();
  // The window's section of the parameter file: read once the form has found
  // the file, written when the window closes.
  void RestoreWindow();
  void SaveWindow();

  CZentrovaView* m_view;
  CProgressChart* m_chart = nullptr;
  QSplitter* m_splitter = nullptr;
  QAction* m_chartShown = nullptr;
  QAction* m_engine = nullptr;
  QAction* m_usePacked = nullptr;
  QAction* m_createPacked = nullptr;
  QAction* m_toBeFactored = nullptr;
  QAction* m_bench = nullptr;
  QAction* m_useKLog = nullptr;
  std::array<QAction*, 3> m_priority{};  // Idle, Below Normal, Normal (by value)
};

}  // namespace zentrova
