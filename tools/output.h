// How the tools end. What they print on standard output is what they hand
// back: output that did not all arrive (a full disk, a closed standard
// output) is a failure, never a success; and running out of memory is a
// message, never an abort.
#ifndef VELLOMAR_TOOLS_OUTPUT_H
#define VELLOMAR_TOOLS_OUTPUT_H

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace vellomar {
namespace tool {

// status, or 1 with a message when standard output could not be written or
// flushed. The message is given once, however often this is asked.
inline int finishOutput(const char *tool, int status) {
    static bool reported = false;
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return status;
    if (reported)
        return 1;
    reported = true;
    const int error = errno;
    std::fprintf(stderr, "%s: cannot write to standard output%s%s\n", tool, error != 0 ? ": " : "",
                 error != 0 ? std::strerror(error) : "");
    return 1;
}

// A tool's main: body's status, 1 with one message when memory runs out
// anywhere (never an abort), and the output's own failure as above.
inline int runTool(const char *tool, int (*body)(int, char **), int argc, char **argv) {
    int status;
    try {
        status = body(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", tool);
        return 1;
    }
    return finishOutput(tool, status);
}

} // namespace tool
} // namespace vellomar

#endif
