// The OpenCL driver's loader (libOpenCL.so.1, OpenCL.dll) is opened at run
// time, not linked: the program starts and runs every CPU job on a machine
// without any GPU driver, and says so when a GPU is asked for. The entry
// points the kernels' host code calls are defined here and forward to the
// library's; without the library they answer that no platform exists.
#pragma once

#include <string>

namespace zentrova {

// Whether the OpenCL loader library was found (opened on first use).
bool OpenClLibraryFound();

// The library names tried, for messages ("libOpenCL.so.1", "OpenCL.dll").
std::string OpenClLibraryNames();

}  // namespace zentrova
