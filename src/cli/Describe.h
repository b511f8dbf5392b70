// The program described from its own command line: the manual page and the
// shell completion are made from the same subcommands and options as
// --help, so that none of them can drift from the others. Hidden
// subcommands and options (an empty group) are left out of both.
//
// An option's value kind comes from its type name: FILE and DIR complete
// file and folder names, DEVICE the devices 'zentrova bench --device list'
// names, ISA the instruction-set levels, KERNEL (its option text) the GPU
// arithmetics.
#pragma once

#include <string>
#include <vector>

#include "cli/Subcommand.h"

namespace zentrova::cli {

// zentrova(1) in roff: the program's description, then a section per
// subcommand with its options. `date` is the page's date (YYYY-MM-DD).
std::string ManPage(const CLI::App& app, const std::string& version, const std::string& date);

// A bash completion script for the program named as `app` is: subcommands,
// each subcommand's options, and the values of the options whose kind is
// known. `isas` and `gpuKernels` are the values of --isa and --gpu-kernel.
std::string BashCompletion(const CLI::App& app, const std::vector<std::string>& isas,
                           const std::vector<std::string>& gpuKernels);

// The hidden subcommands `manpage` (zentrova(1), dated SOURCE_DATE_EPOCH's
// day for a reproducible package, else today, in UTC) and `completion bash`,
// which describe app as it stands when they run.
void AddDescribeCommands(CLI::App& app, Subcommands& commands);

}  // namespace zentrova::cli
