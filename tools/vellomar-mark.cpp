// vellomar-mark: writes marked files, the other direction of what StringTable
// reads. A marked file is "_PW_", the text up to its first record marker as
// it is, and everything from that marker on stored as its complement. With
// --decode it goes the other way, so that a marked file can be edited.
#include <cstdio>
#include <string>
#include <vector>

#include "text/text.h"
#include "tools/command_line.h"
#include "tools/decode.h"
#include "tools/files.h"
#include "tools/mark.h"
#include "tools/output.h"

namespace {

using namespace vellomar::tool;

constexpr const char *kTool = "vellomar-mark";

enum OptionIndex { plainBreaks, force, decode, strict, optionCount };
static_assert(optionCount <= GivenOptions::kMostOptions, "more options than GivenOptions holds");
constexpr OptionRule kOptions[optionCount] = {{"plain-breaks", 0, false},
                                              {"force", 0, false},
                                              {"decode", 'd', false},
                                              {"strict", 0, false}};

struct Options : GivenOptions {
    const char *input = nullptr;
    const char *output = nullptr;
    Breaks breaks() const { return given[plainBreaks] ? Breaks::plain : Breaks::scrambled; }
};

// --decode --strict: the decoded text would not mark back into INPUT.
constexpr int kNotBackStatus = 3;

constexpr const char *kUsage =
    "usage: vellomar-mark [--plain-breaks] [--force] INPUT OUTPUT\n"
    "       vellomar-mark --decode [--strict] [--force] INPUT OUTPUT\n"
    "  Writes OUTPUT as the marked file of the record text INPUT (head, then\n"
    "  marker lines and bodies, CR LF line breaks): \"_PW_\", the head as it is,\n"
    "  and everything from the first record marker on stored scrambled.\n"
    "  Options and operands go in any order; \"--\" ends the options.\n"
    "  --plain-breaks  store the line break before each record marker and the\n"
    "                  final line break plain\n"
    "  --force         replace OUTPUT if it exists (never INPUT itself); the\n"
    "                  new OUTPUT keeps the old one's permissions\n"
    "  -d, --decode    the other way: write OUTPUT as the record text of the\n"
    "                  marked file INPUT, say how INPUT stores its line breaks\n"
    "                  and whether marking the text again gives back INPUT\n"
    "  --strict        with --decode: exit 3 when it would not come back\n"
    "  -h, --help      print this and exit\n"
    "  --version       print the version and exit\n"
    "Editing a marked file:\n"
    "  vellomar-mark --decode examples/marked.txt /tmp/record.txt\n"
    "  (edit /tmp/record.txt)\n"
    "  vellomar-mark --force /tmp/record.txt /tmp/marked.txt\n"
    "  (with --plain-breaks where --decode says so)\n";

// The command line, or the status to exit with at once.
bool parseOptions(int argc, char **argv, Options *options, int *exitStatus) {
    const CommandLineRules rules = {kTool, kUsage, kOptions, optionCount, {"INPUT", "OUTPUT"}};
    std::vector<const char *> operands;
    if (!readCommandLine(rules, argc, argv, options, &operands, exitStatus))
        return false;
    options->input = operands[0];
    options->output = operands[1];
    // Decoding finds the storing in the file; --strict is about decoding.
    const bool decoding = options->given[decode];
    if (decoding ? options->given[plainBreaks] : options->given[strict]) {
        *exitStatus = usageError(kTool, decoding ? "--plain-breaks does not go with --decode"
                                                 : "--strict goes only with --decode");
        return false;
    }
    return true;
}

int refuse(const char *path, const std::string &why) {
    std::fprintf(stderr, "vellomar-mark: %s: %s\n", path, why.c_str());
    return 1;
}

// Why OUTPUT may not be written, or "" when it may.
std::string whyNotWritten(const Options &options, OutputPath existing) {
    switch (existing) {
    case OutputPath::theInput:
        return std::string("is the input ") + options.input + " itself; it is never overwritten";
    case OutputPath::folder:
        return "is a folder";
    case OutputPath::notRegular:
        return "not a regular file (a device, FIFO, socket, or a link to nothing); only regular "
               "files are written, even with --force";
    case OutputPath::file:
        return options.given[force] ? "" : "exists (--force replaces it)";
    case OutputPath::nothing:
        break;
    }
    return "";
}

int writeOutput(const Options &options, const std::string &bytes) {
    std::string why;
    switch (replaceFile(options.output, bytes, options.given[force], &why)) {
    case Written::ok:
        return 0;
    case Written::exists:
        return refuse(options.output, "exists (--force replaces it)");
    case Written::failed:
        break;
    }
    return refuse(options.output, why);
}

// --decode: writes the record text, then says what marking it again gives.
// The exit status says only whether OUTPUT was written, unless --strict.
int decodeInput(const Options &options, const std::string &file) {
    const Decoding decoding = decodeFile(file);
    switch (decoding.status) {
    case DecodeStatus::notMarked:
        return refuse(options.input, "not a marked file: it does not begin with \"_PW_\"");
    case DecodeStatus::tooLong:
        return refuse(options.input, "too long: StringTable reads files under 4 GiB only");
    case DecodeStatus::ok:
        break;
    }
    const int status = writeOutput(options, decoding.text);
    if (status != 0)
        return status;
    std::printf("%s: %zu bytes, the record text of %s\n%s", options.output,
                decoding.text.size(), options.input, describe(decoding).c_str());
    return options.given[strict] && !decoding.comesBack ? kNotBackStatus : 0;
}

// The hint about LF line breaks, only for a text that has one: in an empty
// text or a CR LF one without markers it would send the user the wrong way.
std::string whyNoMarker(const std::string &text) {
    std::string why = "no record marker (a CR LF line break followed by \"@=\"), so nothing to "
                      "scramble";
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1))
        if (lf == 0 || text[lf - 1] != '\r')
            return why + "; a text with LF line breaks must be converted to CR LF first";
    return why;
}

int markInput(const Options &options, const std::string &text) {
    const Marking marking = markText(text, options.breaks());
    switch (marking.status) {
    case Status::noMarker:
        return refuse(options.input, whyNoMarker(text));
    case Status::tooLong:
        return refuse(options.input, "too long: a marked file must stay under 4 GiB");
    case Status::wouldNotComeBack:
        return refuse(options.input, whyNotBack(text, marking));
    case Status::ok:
        break;
    }
    const int status = writeOutput(options, marking.bytes);
    if (status == 0)
        std::printf("%s: %zu bytes, marked; scrambled from byte %zu\n", options.output,
                    marking.bytes.size(), marking.scrambledFrom + vellomar::kMarkLength);
    return status;
}

int markFile(int argc, char **argv) {
    Options options;
    int exitStatus = 0;
    if (!parseOptions(argc, argv, &options, &exitStatus))
        return exitStatus;
    std::string text;
    FileId input;
    std::string why;
    if (!readRegularFile(options.input, &text, &input, &why))
        return refuse(options.input, why);
    why = whyNotWritten(options, classifyOutput(options.output, input));
    if (!why.empty())
        return refuse(options.output, why);
    return options.given[decode] ? decodeInput(options, text) : markInput(options, text);
}

} // namespace

int main(int argc, char **argv) {
    return runTool(kTool, markFile, argc, argv);
}
