#include "tools/command_line.h"

#include <getopt.h>

#include <cstdio>

namespace vellomar {
namespace tool {

namespace {

// getopt_long's values for the two options every tool has: past any char.
constexpr int kHelpValue = 0x100;
constexpr int kVersionValue = 0x101;
// The tool's own long options: 0x200 + index.
constexpr int kFirstOptionValue = 0x200;

std::vector<option> longOptions(const OptionRule *options, int count) {
    std::vector<option> table;
    for (int i = 0; i < count; ++i)
        table.push_back({options[i].name, options[i].takesValue ? required_argument : no_argument,
                         nullptr, kFirstOptionValue + i});
    table.push_back({"help", no_argument, nullptr, kHelpValue});
    table.push_back({"version", no_argument, nullptr, kVersionValue});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

// The leading ':' has getopt_long tell a missing value from an unknown
// option, and keep quiet: the message is ours.
std::string shortOptions(const OptionRule *options, int count) {
    std::string letters = ":h";
    for (int i = 0; i < count; ++i) {
        if (options[i].letter == 0)
            continue;
        letters += options[i].letter;
        if (options[i].takesValue)
            letters += ':';
    }
    return letters;
}

int indexOfLetter(const OptionRule *options, int count, int letter) {
    for (int i = 0; i < count; ++i)
        if (options[i].letter != 0 && options[i].letter == letter)
            return i;
    return -1;
}

// What getopt_long's answer means for this tool: the option's index, or -1.
int optionIndex(const OptionRule *options, int count, int found) {
    if (found >= kFirstOptionValue && found < kFirstOptionValue + count)
        return found - kFirstOptionValue;
    return indexOfLetter(options, count, found);
}

// The argument getopt_long stopped at. Its implementations leave optind in
// different places after a missing value, so the option is named from
// optopt where it says which one it was.
std::string offendingArgument(char **argv, const OptionRule *options, int count) {
    if (optopt >= kFirstOptionValue && optopt < kFirstOptionValue + count)
        return std::string("--") + options[optopt - kFirstOptionValue].name;
    if (optopt > 0 && optopt < kHelpValue)
        return std::string("-") + static_cast<char>(optopt);
    return argv[optind - 1];
}

enum class Parsed { run, help, version, bad };

Parsed badOperands(const char *tool, const std::vector<const char *> &operandNames,
                   const std::vector<const char *> &operands) {
    const size_t wanted = operandNames.size();
    if (operands.size() > wanted)
        usageError(tool, std::string("unexpected argument '") + operands[wanted] + "'");
    else
        usageError(tool, std::string("missing ") + operandNames[operands.size()]);
    return Parsed::bad;
}

Parsed parseCommandLine(const CommandLineRules &rules, int argc, char **argv,
                        GivenOptions *taker, std::vector<const char *> *operands) {
    const char *tool = rules.tool;
    const OptionRule *options = rules.options;
    const int optionCount = rules.optionCount;
    const std::vector<option> table = longOptions(options, optionCount);
    const std::string letters = shortOptions(options, optionCount);
    opterr = 0;
    optind = 1;
    for (;;) {
        const int found = getopt_long(argc, argv, letters.c_str(), table.data(), nullptr);
        if (found == -1)
            break;
        if (found == 'h' || found == kHelpValue)
            return Parsed::help;
        if (found == kVersionValue)
            return Parsed::version;
        const int index = optionIndex(options, optionCount, found);
        if (found == ':' || index < 0) {
            const std::string argument = offendingArgument(argv, options, optionCount);
            usageError(tool, found == ':' ? "'" + argument + "' needs a value"
                                          : "unknown option '" + argument + "'");
            return Parsed::bad;
        }
        taker->given[index] = true;
        if (optarg != nullptr && !taker->takeValue(index, optarg)) {
            usageError(tool, std::string("bad value '") + optarg + "' for --" +
                                 options[index].name);
            return Parsed::bad;
        }
    }
    operands->assign(argv + optind, argv + argc);
    if (operands->size() != rules.operandNames.size())
        return badOperands(tool, rules.operandNames, *operands);
    return Parsed::run;
}

} // namespace

bool GivenOptions::takeValue(int, const char *) { return true; }

bool readCommandLine(const CommandLineRules &rules, int argc, char **argv, GivenOptions *taker,
                     std::vector<const char *> *operands, int *exitStatus) {
    *exitStatus = 0;
    switch (parseCommandLine(rules, argc, argv, taker, operands)) {
    case Parsed::run:
        return true;
    case Parsed::help:
        std::fputs(rules.usage, stdout);
        break;
    case Parsed::version:
        std::printf("%s %s\n", rules.tool, VELLOMAR_VERSION);
        break;
    case Parsed::bad:
        *exitStatus = kUsageStatus;
        break;
    }
    return false;
}

int usageError(const char *tool, const std::string &what) {
    std::fprintf(stderr, "%s: %s (%s --help shows the usage)\n", tool, what.c_str(), tool);
    return kUsageStatus;
}

} // namespace tool
} // namespace vellomar
