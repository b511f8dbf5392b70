// zentrova-gui: the desktop program. "--developer" adds the developer menu
// (reading k from one packed K file, the benchmark).
#include "app/ZentrovaApp.h"

int main(int argc, char** argv) {
  zentrova::CZentrovaApp app(argc, argv);
  if (!app.InitInstance()) return 1;
  return zentrova::CZentrovaApp::exec();
}
