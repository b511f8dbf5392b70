#include "cli/Describe.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "cli/Commands.h"
#include "cli/Version.h"
#include "gpu/OpenClBackend.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova::cli {

namespace {

std::vector<const CLI::App*> ShownSubcommands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

std::vector<const CLI::Option*> Options(const CLI::App& app) {
  return app.get_options(
      [](const CLI::Option* o) { return !o->get_group().empty() && !o->get_lnames().empty(); });
}

std::string LongName(const CLI::Option* o) {
  return "--" + o->get_lnames().front();
}

bool TakesValue(const CLI::Option* o) {
  return o->get_items_expected_min() > 0;
}

// The value's kind, as --help shows it: the option text, else the type name.
std::string ValueKind(const CLI::Option* o) {
  return o->get_option_text().empty() ? o->get_type_name() : o->get_option_text();
}

// Text for roff: backslashes escaped, hyphens as minus signs where they are
// options, and a line that would start with a control character guarded.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    lineStart = c == '\n';
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  return out;
}

// The text with its lines joined: roff fills paragraphs itself, and keeps
// lines that start with blanks (the examples) as they are.
std::string Paragraphs(const std::string& text) {
  std::istringstream lines(text);
  std::string line, out;
  bool verbatim = false;
  while (std::getline(lines, line)) {
    const bool indented = !line.empty() && line[0] == ' ';
    if (indented && !verbatim) out += ".nf\n";
    if (!indented && verbatim) out += ".fi\n";
    verbatim = indented;
    if (line.empty()) {
      out += ".PP\n";
    } else {
      out += Roff(line) + "\n";
    }
  }
  if (verbatim) out += ".fi\n";
  return out;
}

std::string OptionEntry(const CLI::Option* o) {
  std::string head = ".TP\n.B " + Roff(LongName(o));
  if (TakesValue(o)) {
    std::string kind = ValueKind(o);
    if (kind.empty()) kind = "VALUE";
    head += " \\fI" + Roff(kind) + "\\fR";
  }
  std::string entry = head + "\n" + Roff(o->get_description());
  if (o->get_required()) entry += " (required)";
  return entry + "\n";
}

std::string Words(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

}  // namespace

std::string ManPage(const CLI::App& app, const std::string& version, const std::string& date) {
  const std::string name = app.get_name();
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::string description = app.get_description();
  const std::string summary = description.substr(0, description.find('\n'));
  std::string page = ".\\\" Made by '" + name + " manpage' from the program's own options.\n";
  page +=
      ".TH " + upper + " 1 \"" + date + "\" \"" + name + " " + version + "\" \"User Commands\"\n";
  page += ".SH NAME\n" + Roff(summary) + "\n";
  page += ".SH SYNOPSIS\n.B " + Roff(name) + "\n\\fICOMMAND\\fR [\\fIOPTIONS\\fR]\n.br\n.B " +
          Roff(name) +
          "\n[\\fB\\-\\-help\\fR] [\\fB\\-\\-help\\-all\\fR] [\\fB\\-\\-version\\fR]\n";
  page += ".SH DESCRIPTION\n" + Paragraphs(description.substr(summary.size() + 1));
  page += ".SH OPTIONS\n";
  for (const CLI::Option* o : Options(app)) page += OptionEntry(o);
  page += ".SH COMMANDS\n";
  for (const CLI::App* sub : ShownSubcommands(app)) {
    page += ".SS \"" + Roff(name + " " + sub->get_name()) + " [OPTIONS]\"\n";
    page += Paragraphs(sub->get_description());
    for (const CLI::Option* o : Options(*sub)) page += OptionEntry(o);
  }
  page += ".SH FILES\n.TP\n.I ~/.cache/zentrova\nThe GPU calibration of each device and driver.\n";
  page += ".SH SEE ALSO\n.BR zentrova\\-gui (1)\n";
  return page;
}

std::string BashCompletion(const CLI::App& app, const std::vector<std::string>& isas,
                           const std::vector<std::string>& gpuKernels) {
  const std::string name = app.get_name();
  std::string function = "_" + name + "_complete";
  std::replace(function.begin(), function.end(), '-', '_');
  // Every option that takes a value, by kind.
  std::map<std::string, std::set<std::string>> byKind;
  std::vector<std::string> commands;
  std::string perCommand;
  const auto collect = [&byKind](const CLI::App& from, std::vector<std::string>& words) {
    for (const CLI::Option* o : Options(from)) {
      words.push_back(LongName(o));
      if (TakesValue(o)) byKind[ValueKind(o)].insert(LongName(o));
    }
  };
  std::vector<std::string> top;
  collect(app, top);
  for (const CLI::App* sub : ShownSubcommands(app)) {
    commands.push_back(sub->get_name());
    std::vector<std::string> words;
    collect(*sub, words);
    perCommand += "    " + sub->get_name() + ") words=\"" + Words(words) + "\" ;;\n";
  }
  const auto names = [&byKind](const std::string& kind) {
    const auto it = byKind.find(kind);
    std::string out;
    if (it == byKind.end()) return out;
    for (const std::string& n : it->second) out += (out.empty() ? "" : "|") + n;
    return out;
  };
  std::set<std::string> typed;
  for (const auto& [kind, options] : byKind) {
    if (kind == "FILE" || kind == "DIR" || kind == "DEVICE" || kind == "ISA" || kind == "KERNEL") {
      continue;
    }
    typed.insert(options.begin(), options.end());
  }
  std::string others;
  for (const std::string& n : typed) others += (others.empty() ? "" : "|") + n;

  std::string s = "# bash completion for " + name + ", made by '" + name +
                  " completion bash' from the program's own options.\n"
                  "# Load it with: source <(" +
                  name + " completion bash)\n";
  s += function + "() {\n";
  s += "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n";
  s += "  local command= words= i\n";
  s += "  for ((i = 1; i < COMP_CWORD; i++)); do\n";
  s += "    case ${COMP_WORDS[i]} in\n";
  s += "      " + [&] {
    std::string alt;
    for (const std::string& c : commands) alt += (alt.empty() ? "" : "|") + c;
    return alt;
  }() + ") command=${COMP_WORDS[i]}; break ;;\n";
  s += "    esac\n  done\n";
  s += "  case $prev in\n";
  if (!names("FILE").empty()) {
    s += "    " + names("FILE") +
         ")\n      compopt -o filenames 2>/dev/null\n"
         "      COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
  }
  if (!names("DIR").empty()) {
    s += "    " + names("DIR") +
         ")\n      compopt -o filenames 2>/dev/null\n"
         "      COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n";
  }
  if (!names("DEVICE").empty()) {
    s += "    " + names("DEVICE") +
         ")\n      words=\"cpu auto gpu list $(\"${COMP_WORDS[0]}\" bench --device list "
         "2>/dev/null | awk '/^[a-z]+:[0-9]+ / {print $1}')\"\n"
         "      COMPREPLY=($(compgen -W \"$words\" -- \"$cur\")); return ;;\n";
  }
  if (!names("ISA").empty()) {
    s += "    " + names("ISA") + ") COMPREPLY=($(compgen -W \"auto " + Words(isas) +
         " list\" -- \"$cur\")); return ;;\n";
  }
  if (!names("KERNEL").empty()) {
    s += "    " + names("KERNEL") + ") COMPREPLY=($(compgen -W \"" + Words(gpuKernels) +
         "\" -- \"$cur\")); return ;;\n";
  }
  if (!others.empty()) s += "    " + others + ") return ;;  # a number or a name to type\n";
  s += "  esac\n";
  s += "  case $command in\n";
  s += "    \"\") words=\"" + Words(commands) + " " + Words(top) + "\" ;;\n";
  s += perCommand;
  s += "  esac\n";
  s += "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n";
  s += "}\n";
  s += "complete -F " + function + " " + name + "\n";
  return s;
}

namespace {

// The manual page's date: SOURCE_DATE_EPOCH's (for a reproducible
// package), else today's, in UTC.
std::string ManPageDate() {
  std::time_t at = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    const long long value = std::strtoll(epoch, &end, 10);
    if (end != epoch && *end == '\0' && value >= 0) at = static_cast<std::time_t>(value);
  }
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &at);
#else
  gmtime_r(&at, &utc);
#endif
  char date[16];
  return std::string(date, std::strftime(date, sizeof date, "%Y-%m-%d", &utc));
}

}  // namespace

void AddDescribeCommands(CLI::App& app, Subcommands& commands) {
  // Hidden, as tools of the build and the installer.
  CLI::App* manPage =
      app.add_subcommand("manpage", "Print the manual page zentrova(1) in roff")->group("");
  commands.push_back({manPage, [&app] {
                        std::fputs(ManPage(app, VersionNumber(), ManPageDate()).c_str(), stdout);
                        return kExitOk;
                      }});
  CLI::App* completion =
      app.add_subcommand("completion", "Print the shell completion script (bash)")->group("");
  auto shell = std::make_shared<std::string>();
  completion->add_option("shell", *shell, "The shell: bash")
      ->required()
      ->check(CLI::IsMember({"bash"}));
  commands.push_back({completion, [&app, shell] {
                        std::vector<std::string> isas, kernels;
                        for (const Isa isa : KernelIsas()) {
                          if (isa != Isa::kAuto) isas.emplace_back(IsaName(isa));
                        }
                        for (const GpuArithmetic& a : GpuArithmetics()) kernels.push_back(a.name);
                        std::fputs(BashCompletion(app, isas, kernels).c_str(), stdout);
                        return kExitOk;
                      }});
}

}  // namespace zentrova::cli
