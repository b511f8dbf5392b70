// What `zentrova --version` prints: the version, the commit and the build.
#pragma once

#include <string>

namespace zentrova::cli {

// Lines of "name value": the project's version, the git commit checked out
// when CMake configured the build ("unknown" outside a git checkout), the
// build type, the kernel instruction sets compiled in (and those this
// processor runs), and whether OpenCL and MPI are compiled in.
std::string VersionText();
// The version alone, as its first line gives it ("0.1.0").
std::string VersionNumber();

}  // namespace zentrova::cli
