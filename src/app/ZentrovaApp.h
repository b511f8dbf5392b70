// CZentrovaApp: the application object. InitInstance names the program (its
// configuration folder follows the name), sets the window icon, and creates
// and shows the main frame, and turns SIGINT and SIGTERM into a stop with
// the final save before the program closes.
#pragma once

#include <QApplication>
#include <memory>

#include "app/MainFrame.h"
#include "app/StopSignals.h"

namespace zentrova {

class CZentrovaApp : public QApplication {
 public:
  CZentrovaApp(int& argc, char** argv);
  ~CZentrovaApp() override;

  // False when the main frame cannot be made; the program then ends.
  bool InitInstance();
  CMainFrame* Frame() const { return m_frame.get(); }

 private:
  std::unique_ptr<CMainFrame> m_frame;
  std::unique_ptr<StopSignals> m_stopSignals;  // SIGINT, SIGTERM: stop, save, close
};

}  // namespace zentrova
