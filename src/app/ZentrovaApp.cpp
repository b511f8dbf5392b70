#include "app/ZentrovaApp.h"

#include <QIcon>
#include <QStringList>

// The built-in resources (the icon) live in a static library.
static void InitResources() {
  Q_INIT_RESOURCE(zentrova);
}

namespace zentrova {

CZentrovaApp::CZentrovaApp(int& argc, char** argv) : QApplication(argc, argv) {
  InitResources();
  setApplicationName("zentrova");
  setApplicationDisplayName("Zentrova");
}

CZentrovaApp::~CZentrovaApp() = default;

bool CZentrovaApp::InitInstance() {
  // The installed icon of the desktop's theme, else the one built in.
  setWindowIcon(QIcon::fromTheme("zentrova", QIcon(":/zentrova.png")));
  const bool developer = arguments().contains("--developer");
  m_frame = std::make_unique<CMainFrame>(developer);
  m_stopSignals = std::make_unique<StopSignals>();
  connect(m_stopSignals.get(), &StopSignals::Received, m_frame.get(), &CMainFrame::ShutDown);
  m_frame->show();
  return true;
}

}  // namespace zentrova
