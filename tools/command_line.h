// The tools' one option parser: getopt_long (glibc, mingw-w64), options and
// operands in any order, "--" ends the options, -h/--help and --version on
// every tool. A usage error is one line on standard error naming the bad
// argument, and exit status 2.
#ifndef VELLOMAR_TOOLS_COMMAND_LINE_H
#define VELLOMAR_TOOLS_COMMAND_LINE_H

#include <string>
#include <vector>

namespace vellomar {
namespace tool {

constexpr int kUsageStatus = 2;

// One option of a tool: its long name, its short letter (0 for none), and
// whether it takes a value ("--expect N", "--expect=N").
struct OptionRule {
    const char *name;
    char letter;
    bool takesValue;
};

// The options found, by their index in the tool's table. A tool whose
// options take values checks each value in takeValue.
struct GivenOptions {
    static constexpr int kMostOptions = 8;
    bool given[kMostOptions] = {};

    virtual bool takeValue(int index, const char *value);

  protected:
    ~GivenOptions() = default;
};

// What a tool's command line looks like: the options, and the names of its
// operands, which must all be given, in the order named here.
struct CommandLineRules {
    const char *tool;
    const char *usage; // what -h/--help prints
    const OptionRule *options;
    int optionCount;
    std::vector<const char *> operandNames;
};

// Parses argv: each option into *taker, the operands into *operands.
// True when the tool is to run; otherwise *exitStatus is the status to exit
// with: 0 once the usage or the version line is printed, kUsageStatus once
// the one line on the usage error is.
bool readCommandLine(const CommandLineRules &rules, int argc, char **argv, GivenOptions *taker,
                     std::vector<const char *> *operands, int *exitStatus);

// A usage error found after parsing (two options that do not go together):
// the one line, and kUsageStatus.
int usageError(const char *tool, const std::string &what);

} // namespace tool
} // namespace vellomar

#endif
