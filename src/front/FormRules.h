// What the desktop form decides, without a toolkit: which controls each job
// choice enables, how a number field is read, the parameter file's keys, the
// job messages as the form shows them, the log line's time stamp, the menu
// items' states, the dialogs' OK checks and the job record of every caller
// that starts a job. The Qt layer draws, asks and forwards; the tests check
// these rules directly.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "front/EngineSettings.h"
#include "front/StartChecks.h"
#include "sieve/JobMessage.h"
#include "sieve/SieveJob.h"

namespace zentrova {

// --- texts -------------------------------------------------------------------

inline constexpr const char* kAppTitle = "Athlon and P4 Optimized Zentrova";
inline constexpr const char* kFrameTitle = "Zentrova";
inline constexpr const char* kBuildBanner = "Zentrova Build 213";
inline constexpr const char* kNotAnInteger = "Please enter an integer.";
inline constexpr const char* kCloseRefused =
    "Zentrova application cannot be terminated when thread is running.";
inline constexpr const char* kThreadFailed = "Sieve thread failed to create.";
inline constexpr const char* kSelectionCancelled = "File selection has been cancelled.";
inline constexpr const char* kCancelCaption = "Exit";

// --- field availability ----------------------------------------------------------

// Which controls a job choice enables (a file field and its Choose button
// together; "numbers" are Exponent, b Min and b Max), and Start's text.
struct FormLayout {
  bool factorIn = false, factorOut = false, sieveIn = false, sieveOut = false;
  bool prothLog = false, report = false, numbers = false, wideMath = false;
  bool saveMinutes = false;
  std::string startText = "Start";
  bool operator==(const FormLayout&) const = default;
};

// The layout of a choice with "Wide Range Math" as given (choices 1 and 3
// depend on it); any choice outside 1..4 gets the layout of 0.
FormLayout LayoutFor(int32_t choice, bool wideMath);

// --- number fields ---------------------------------------------------------------

// A signed 32-bit integer, blanks around it allowed, an optional sign; false
// for anything else (the form then shows kNotAnInteger and stops reading).
bool ParseIntegerField(const std::string& text, int32_t& value);

// --- parameter file -------------------------------------------------------------

inline constexpr const char* kParameterSection = "Parameters";

// The ten keys with their values, in the order they are written and read.
std::vector<std::pair<std::string, std::string>> ParameterEntries(const FormParams& form);
// Sets the field of one key (texts verbatim, numbers as integers with 0 for
// anything else); an unknown key changes nothing.
void ApplyParameter(FormParams& form, const std::string& key, const std::string& value);

// --- job messages ------------------------------------------------------------------

// A job message as the form shows it (the protocol's own reading).
using ShownMessage = JobMessage;

// The log list's line: the text and the local time as " %m/%d %H:%M".
std::string LogLineWithTime(const std::string& text, std::time_t when);

// --- menus and the window title -------------------------------------------------------

struct MenuState {
  bool benchSpeeds, createPackedK, usePackedK, toBeFactored, useKLogFile;
};
MenuState MenusFor(bool jobRunning);

// "Zentrova for Athlon and P4 - CPU=<vendor>[ Family.Model.Step=f.m.s]".
std::string ProcessorTitle(const std::string& vendor, unsigned maxLeaf, unsigned signature);

// --- dialogs --------------------------------------------------------------------------

// The folder of a path chosen in a file dialog: everything before its last
// "/" (empty when there is none).
std::string DirectoryOfChosenPath(const std::string& path);

// The OK check of the two packed K directory dialogs: the refusal's text, or
// empty when the dialog may close; ln receives the power of two reached.
std::string CheckPackedKDialog(const std::string& directory, int32_t exponent, int32_t& ln);

struct ToBeFactoredInput {
  std::string inputFile, outputFile;
  int32_t bMin = 0, bMax = 0, exponent = 0;
};
// The OK check of the to-be-factored dialog: the refusal's text or empty.
std::string CheckToBeFactoredDialog(const ToBeFactoredInput& in);

// --- starting a job ----------------------------------------------------------------------

// Everything the form holds beyond FormParams that a job record takes.
struct FormRun {
  FormParams params;
  bool sse2Present = true;
  bool disableSse2 = false;  // the "Disable SSE2 on P4" box when the form was last read
  EngineSettings engine;     // the Engine dialog's, checked when it was accepted or read
  DeviceProvider* devices = nullptr;  // where a device other than the CPU is opened (not owned)
};

// The job record of each caller: Start (choices 0..4, after the checks), the
// benchmark (30: wide math off, saves every 3600 minutes, vector kernels on),
// the packed K creation (31) and the to-be-factored list (32), whose dialogs
// have set the form's fields already. Every job runs on the engine settings'
// threads; Start's jobs and the packed K creation take the rest of them (p
// limit, device, stop rate) as the command line's sieves and `pack` do,
// while the benchmark keeps its fixed range. Returns the wide-math switch to
// run with.
int32_t JobForCommand(const FormRun& form, int32_t command, SieveJob& job);

}  // namespace zentrova
