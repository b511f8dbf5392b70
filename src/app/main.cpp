// zentrova-gui: the desktop program. "--developer" adds the developer menu
// (reading k from one packed K file, the benchmark). "--help" and
// "--version" answer on the terminal before any window (or display) is
// opened.
#include <cstdio>
#include <cstring>

#include "app/ZentrovaApp.h"
#include "cli/Version.h"

namespace {

constexpr const char* kUsage =
    "Usage: zentrova-gui [--developer]\n"
    "The desktop program of Zentrova, a sieve for generalized Fermat numbers b^N+1.\n"
    "\n"
    "  --developer  add the developer menu (k from one packed K file, the benchmark)\n"
    "  --help       print this and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Qt's own options (-platform, -style, ...) are taken too. The command-line\n"
    "program is zentrova (zentrova --help).\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\n", zentrova::cli::VersionText().c_str());
      return 0;
    }
  }
  zentrova::CZentrovaApp app(argc, argv);
  if (!app.InitInstance()) return 1;
  return zentrova::CZentrovaApp::exec();
}
