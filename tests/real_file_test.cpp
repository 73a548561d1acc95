// StringTable on real files that go wrong in real ways, through the POSIX
// layer: no permission, awkward names, things that are not regular files and
// must not hold the call up, sparse files at and just under 4 GiB, files that
// end before their measured length, reads interrupted by a signal, and a
// standard error the box cannot write to.
#include "library/string_table.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "cases/case_check.h"
#include "fake_box.h"
#include "temp_folder.h"
#include "vellomar.h"

namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

const vellomar::OsLayer kOs = fakebox::realFilesWithFakeBox();

#ifdef VELLOMAR_COVERAGE
extern "C" void __gcov_dump();
#endif

// Ends a forked child. _exit skips what runs at exit, where a coverage
// build writes its counts: they are written first, or what the child ran
// would not count as tested.
[[noreturn]] void endChild(int status) {
#ifdef VELLOMAR_COVERAGE
    __gcov_dump();
#endif
    _exit(status);
}

Call call(const std::string &path, uint32_t expectedSize, uint32_t recordMode = 0) {
    return callFilled(
        [](uint8_t *buffer, uint32_t size, uint16_t *table, const char *name, uint32_t mode) {
            return vellomar::readStringTable(kOs, buffer, size, table, name, mode);
        },
        path, expectedSize, recordMode);
}

// Things that are not regular files, or not there: a silent 0 that comes at
// once. A call that blocked would hang here, so each runs on its own thread
// and is waited for a while; a FIFO left blocking is then let go by opening
// its other end.
TEST(RealFiles, NonRegularPathsReturnAtOnce) {
    TempFolder folder;
    const std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string fedFifo = folder.path() + "/fifo with a writer";
    ASSERT_EQ(mkfifo(fedFifo.c_str(), 0600), 0);
    // Read and write, so that opening it does not wait for a reader.
    const int writer = open(fedFifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "abc\r\n", 5), 5);
    const std::string link = folder.path() + "/dangling";
    ASSERT_EQ(symlink((folder.path() + "/nowhere").c_str(), link.c_str()), 0);

    const std::string paths[] = {fifo, fedFifo, folder.path(), "", folder.path() + "/missing",
                                 link, "/dev/null", "/dev/zero"};
    for (const std::string &path : paths) {
        SCOPED_TRACE("'" + path + "'");
        fakebox::reset();
        auto pending = std::async(std::launch::async, [&path] { return call(path, 5); });
        if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the call blocked";
            const int release = open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (release >= 0)
                close(release);
        }
        const Call c = pending.get();
        EXPECT_EQ(c.result, 0u);
        EXPECT_TRUE(untouched(c));
        EXPECT_TRUE(fakebox::shown.empty());
    }
    // Nothing was taken out of the FIFO.
    char left[8] = {};
    EXPECT_EQ(read(writer, left, sizeof left), 5);
    EXPECT_EQ(std::string(left, 5), "abc\r\n");
    close(writer);
}

// The file's mode forbids reading. root reads it anyway, so as root the call
// runs in a child that has given up root first.
TEST(RealFiles, PermissionDeniedIsSilent) {
    TempFolder folder;
    ASSERT_EQ(chmod(folder.path().c_str(), 0755), 0);
    const std::string file = folder.write("secret.txt", "abc\r\ndef");
    ASSERT_EQ(chmod(file.c_str(), 0), 0);

    // 0: as expected. 1-4: what went wrong. 10: still readable here.
    auto attempt = [&file]() -> int {
        const int probe = open(file.c_str(), O_RDONLY);
        if (probe >= 0) {
            close(probe);
            return 10;
        }
        if (errno != EACCES)
            return 10;
        fakebox::reset();
        const Call c = call(file, 8);
        if (c.result != 0)
            return 1;
        if (!untouched(c))
            return 2;
        if (!fakebox::shown.empty())
            return 3;
        return 0;
    };

    int outcome;
    if (geteuid() != 0) {
        outcome = attempt();
    } else {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const uid_t nobody = 65534;
            if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
                setresuid(nobody, nobody, nobody) != 0)
                endChild(11);
            endChild(attempt());
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
        outcome = WEXITSTATUS(status);
    }
    if (outcome == 10 || outcome == 11)
        GTEST_SKIP() << "cannot make the file unreadable here (outcome " << outcome << ")";
    EXPECT_NE(outcome, 1) << "an unreadable file gave a count";
    EXPECT_NE(outcome, 2) << "an unreadable file changed the buffer or table";
    EXPECT_NE(outcome, 3) << "an unreadable file showed a box";
    EXPECT_EQ(outcome, 0);
}

// Names are bytes: spaces, UTF-8 and bytes that are no UTF-8 at all.
TEST(RealFiles, NamesWithSpacesAndNonAsciiBytes) {
    TempFolder folder;
    const std::string names[] = {
        "name with spaces.txt",
        "caf\xC3\xA9 \xE2\x82\xAC.txt",
        "latin1 \xE9\xFF\xFE name.txt",
        " leading and trailing space ",
    };
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        fakebox::reset();
        const std::string path = folder.write(name, "hdr\r\n@=A\r\nbody");
        const Call c = call(path, 14, 1);
        ASSERT_EQ(c.result, 3u);
        EXPECT_EQ(std::vector<uint16_t>(c.table.begin(), c.table.begin() + 5),
                  (std::vector<uint16_t>{3, 5, 5, 6, VELLOMAR_END_MARKER}));
        EXPECT_EQ(std::string(c.buffer.begin(), c.buffer.end() - 1), "hdr\r\n@=A\r\nbody");
        EXPECT_TRUE(fakebox::shown.empty());
    }
}

// Sparse files, so that nothing is written to disk: lengths the 32-bit size
// can and cannot carry.
struct SparseCase {
    const char *name;
    uint64_t length;
    const char *box; // nullptr: silent
};

TEST(RealFiles, SparseFilesAtFourGiB) {
    TempFolder folder;
    const SparseCase cases[] = {
        // Longer than expected but still measurable: reported, not read.
        {"4 GiB - 1", k4GiB - 1, "DLL error: -1"},
        // The longest text the box can get.
        {"2 GiB", k4GiB / 2, "DLL error: -2147483648"},
        {"4 GiB", k4GiB, nullptr},
        // The low 32 bits alone would pass for the expected size.
        {"4 GiB + 16", k4GiB + 16, nullptr},
    };
    for (const SparseCase &sparse : cases) {
        SCOPED_TRACE(sparse.name);
        const std::string path = folder.path() + "/sparse";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const int truncated = ftruncate(fd, static_cast<off_t>(sparse.length));
        close(fd);
        if (truncated != 0)
            GTEST_SKIP() << "this file system cannot hold a sparse file of " << sparse.name;
        fakebox::reset();
        const Call c = call(path, 16);
        EXPECT_EQ(c.result, 0u);
        EXPECT_TRUE(untouched(c)) << "nothing is read from a file too long to read";
        if (sparse.box != nullptr) {
            ASSERT_EQ(fakebox::shown.size(), 1u);
            EXPECT_EQ(fakebox::shown[0].text, sparse.box);
        } else {
            EXPECT_TRUE(fakebox::shown.empty());
        }
    }
}

// Runs work in a child process, which has `seconds` to finish, and gives back
// what it wrote to the descriptor it was handed. A child that loops forever
// is ended by its alarm, so the test fails instead of hanging.
std::string inChild(const std::function<void(int out)> &work, unsigned seconds = 10) {
    int ends[2];
    if (pipe(ends) != 0)
        return "[no pipe]";
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        alarm(seconds);
        work(ends[1]);
        endChild(0);
    }
    close(ends[1]);
    std::string written;
    char chunk[256];
    ssize_t got;
    while ((got = read(ends[0], chunk, sizeof chunk)) != 0)
        if (got > 0)
            written.append(chunk, static_cast<size_t>(got));
        else if (errno != EINTR)
            break;
    close(ends[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return written + "[no child]";
    if (WIFSIGNALED(status))
        return written + "[ended by signal " + std::to_string(WTERMSIG(status)) + "]";
    return written;
}

void put(int out, const std::string &text) {
    if (write(out, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        _exit(12);
}

// What a call gave, as one line to compare.
std::string outcomeOf(const vellomar::OsLayer &os, const std::string &path,
                      uint32_t expectedSize) {
    fakebox::reset();
    std::vector<uint8_t> buffer(expectedSize, kBufferFill);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
    const uint32_t result = vellomar::readStringTable(os, buffer.data(), expectedSize,
                                                      table.data(), path.c_str(), 0);
    std::string outcome = "result " + std::to_string(result);
    for (const fakebox::Shown &box : fakebox::shown)
        outcome += ", box '" + box.text + "'";
    return outcome;
}

// A descriptor that read() refuses (EBADF): open for writing only.
bool openForWritingOnly(const char *fileName, vellomar::OsFile *file) {
    const int fd = open(fileName, O_WRONLY | O_CLOEXEC);
    *file = fd;
    return fd >= 0;
}

// A file that ends before the length it was measured at, or whose read
// fails: the read stops there, and the box tells how many bytes arrived.
TEST(RealFiles, ReadStopsAtEndOfFile) {
    TempFolder folder;
    struct ShortCase {
        std::string name;
        vellomar::OsLayer os;
        std::string path;
        uint32_t expectedSize;
        std::string outcome;
    };
    std::vector<ShortCase> cases;
    vellomar::OsLayer unreadable = kOs;
    unreadable.open = openForWritingOnly;
    cases.push_back({"a read that fails", unreadable, folder.write("ten.txt", "abc\r\ndef\r\n"),
                     10, "result 0, box 'DLL error: 0'"});
    // A kernel file that says 4096 bytes and holds a few.
    const std::string kernelFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat info;
    if (stat(kernelFile.c_str(), &info) == 0) {
        std::string content;
        if (FILE *in = std::fopen(kernelFile.c_str(), "rb")) {
            char chunk[8192];
            size_t got;
            while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
                content.append(chunk, got);
            std::fclose(in);
        }
        if (static_cast<size_t>(info.st_size) > content.size())
            cases.push_back({kernelFile, kOs, kernelFile, static_cast<uint32_t>(info.st_size),
                             "result 0, box 'DLL error: " + std::to_string(content.size()) +
                                 "'"});
    }
    for (const ShortCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(inChild([&c](int out) { put(out, outcomeOf(c.os, c.path, c.expectedSize)); }),
                  c.outcome);
    }
}

// A pipe stands in for a file whose read blocks: the call must take the
// bytes that come after a signal has cut into the read.
int blockingFile = -1;
std::atomic<int> signalsCaught{0};

bool openBlockingFile(const char *, vellomar::OsFile *file) {
    *file = blockingFile;
    return true;
}

bool fiveBytes(vellomar::OsFile, uint64_t *length) {
    *length = 5;
    return true;
}

void countSignal(int) { ++signalsCaught; }

// Whether the thread tid sits in a system call on the descriptor (its first
// argument), as /proc tells. The call is known by its descriptor, not by its
// number: under qemu-user /proc shows the host's number, not the program's.
bool blockedOn(long tid, int descriptor) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1; // "running" when in none
    std::string firstArgument;
    return static_cast<bool>(in >> number >> firstArgument) && number >= 0 &&
           std::strtol(firstArgument.c_str(), nullptr, 16) == descriptor;
}

// Waits, with no clock, until `ready` holds or the call under test has
// returned: what the test then finds decides it, not how long anything took.
template <class Ready> void waitFor(Ready ready, const std::atomic<bool> &returned) {
    while (!ready() && !returned.load())
        std::this_thread::yield();
}

TEST(RealFiles, ReadGoesOnAfterASignal) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    blockingFile = ends[0];
    // The call closes its end; this one keeps the pipe open for the writer
    // even when the call gives up early.
    const int keptOpen = dup(ends[0]);
    ASSERT_GE(keptOpen, 0);
    vellomar::OsLayer os = kOs;
    os.open = openBlockingFile;
    os.size = fiveBytes;
    // No SA_RESTART: the signal makes the blocked read fail with EINTR.
    struct sigaction action = {}, saved = {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    signalsCaught = 0;
    const pthread_t caller = pthread_self();
    const long callerTid = syscall(SYS_gettid);
    std::atomic<bool> returned{false};
    // Each signal goes to a read that is blocked, and the next only once the
    // handler has run and the read is made again.
    std::thread writer([&, writeEnd = ends[1]] {
        const auto reading = [callerTid] { return blockedOn(callerTid, blockingFile); };
        for (int i = 0; i < 3; ++i) {
            waitFor(reading, returned);
            pthread_kill(caller, SIGUSR1);
            waitFor([i] { return signalsCaught.load() > i; }, returned);
        }
        waitFor(reading, returned);
        if (write(writeEnd, "ab\r\nc", 5) != 5)
            std::abort();
    });
    fakebox::reset();
    std::vector<uint8_t> buffer(5, kBufferFill);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
    const uint32_t result =
        vellomar::readStringTable(os, buffer.data(), 5, table.data(), "pipe", 0);
    returned = true;
    writer.join();
    close(ends[1]);
    close(keptOpen);
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(signalsCaught.load(), 3);
    EXPECT_EQ(result, 2u);
    EXPECT_TRUE(fakebox::shown.empty());
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "ab\r\nc");
    EXPECT_EQ(std::vector<uint16_t>(table.begin(), table.begin() + 4),
              (std::vector<uint16_t>{2, 4, 3, VELLOMAR_END_MARKER}));
}

// Whether the descriptor the call reads through would stay behind in a
// program that a host thread forks and execs meanwhile, taken while the
// call holds it.
bool closedOnExec = false;

bool sizeAndLookAtTheDescriptor(vellomar::OsFile file, uint64_t *length) {
    const int flags = fcntl(static_cast<int>(file), F_GETFD);
    closedOnExec = flags >= 0 && (flags & FD_CLOEXEC) != 0;
    return vellomar::platformOs.size(file, length);
}

// The box line's write cut into by a signal (no SA_RESTART) while standard
// error is a full pipe: the write is made again, and the whole line arrives
// once the pipe is drained.
std::string boxThroughAFullPipe(const std::string &file) {
    int ends[2];
    if (pipe(ends) != 0)
        return "[no pipe]";
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, 'f');
    size_t filled = 0;
    for (ssize_t wrote; (wrote = write(ends[1], filler.data(), filler.size())) > 0;)
        filled += static_cast<size_t>(wrote);
    fcntl(ends[1], F_SETFL, 0);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    struct sigaction action = {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    signalsCaught = 0;
    const pthread_t caller = pthread_self();
    const long callerTid = syscall(SYS_gettid);
    std::string drained;
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        const auto writing = [callerTid] { return blockedOn(callerTid, STDERR_FILENO); };
        waitFor(writing, returned);
        pthread_kill(caller, SIGUSR1);
        // Drained once the handler has run and the write is made again.
        waitFor([] { return signalsCaught.load() > 0; }, returned);
        waitFor(writing, returned);
        char chunk[4096];
        for (ssize_t got; (got = read(ends[0], chunk, sizeof chunk)) != 0;)
            if (got > 0)
                drained.append(chunk, static_cast<size_t>(got));
            else if (errno != EINTR)
                break;
    });
    vellomar::resetReport();
    std::vector<uint8_t> buffer(4);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    vellomar::readStringTable(vellomar::platformOs, buffer.data(), 4, table.data(), file.c_str(), 0);
    returned = true;
    close(STDERR_FILENO); // the reader's end of file
    reader.join();
    close(ends[0]);
    return "answer " + std::to_string(vellomar::lastReportAnswer()) + ", signals " +
           std::to_string(signalsCaught.load()) + ", line '" +
           (drained.size() >= filled ? drained.substr(filled) : "[filler lost]") + "'";
}

// The host process as it may be when it calls, each state made in a child
// of its own: what the call and the descriptors came to.
TEST(RealFiles, HostProcessStates) {
    TempFolder folder;
    const std::string file = folder.write("three.txt", "ab\r\ncd\r\nef");
    const std::string shortFile = folder.write("short.txt", "abc");
    struct State {
        const char *name;
        std::function<std::string()> run;
        std::string outcome;
    };
    const State states[] = {
        // The next open gets descriptor 0, a valid one.
        {"standard input closed",
         [&] {
             close(STDIN_FILENO);
             const std::string outcome = outcomeOf(kOs, file, 10);
             const int next = open(file.c_str(), O_RDONLY);
             return outcome + ", next descriptor " + std::to_string(next);
         },
         "result 3, next descriptor 0"},
        {"a thread forks and execs during the call",
         [&] {
             vellomar::OsLayer os = kOs;
             os.size = sizeAndLookAtTheDescriptor;
             closedOnExec = false;
             const std::string outcome = outcomeOf(os, file, 10);
             return outcome + (closedOnExec ? ", closed on exec" : ", inherited");
         },
         "result 3, closed on exec"},
        {"a signal cuts into the box line on a full standard error",
         [&] { return boxThroughAFullPipe(shortFile); },
         "answer 1, signals 1, line 'Tarvoni DLL: DLL error: 3\n'"},
        // The line has room for 128 bytes: a longer text is cut, the line
        // break kept.
        {"a box text longer than the line",
         [] {
             int ends[2];
             if (pipe(ends) != 0 || dup2(ends[1], STDERR_FILENO) < 0)
                 return std::string("[no pipe]");
             const int answer = vellomar::platformOs.messageBox(std::string(200, 'x').c_str(), "C");
             char line[256];
             const ssize_t got = read(ends[0], line, sizeof line);
             return "answer " + std::to_string(answer) + ", " + std::to_string(got) + " bytes, ending '" +
                    std::string(line + (got > 3 ? got - 3 : 0), line + (got > 0 ? got : 0)) + "'";
         },
         "answer 1, 128 bytes, ending 'xx\n'"},
        // The box adds SIGPIPE to the host's mask for its write: a signal
        // the host blocks, pending already, must not be let in meanwhile.
        {"a signal the host blocks is pending during the box",
         [] {
             struct sigaction action = {};
             action.sa_handler = countSignal;
             sigaction(SIGUSR2, &action, nullptr);
             sigset_t blocked, pending;
             sigemptyset(&blocked);
             sigaddset(&blocked, SIGUSR2);
             pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
             raise(SIGUSR2);
             signalsCaught = 0;
             const int devNull = open("/dev/null", O_WRONLY);
             dup2(devNull, STDERR_FILENO);
             const int answer = vellomar::platformOs.messageBox("DLL error: 3", "Tarvoni DLL");
             sigpending(&pending);
             return "answer " + std::to_string(answer) + ", caught " +
                    std::to_string(signalsCaught.load()) +
                    (sigismember(&pending, SIGUSR2) == 1 ? ", still pending" : ", not pending");
         },
         "answer 1, caught 0, still pending"},
    };
    for (const State &state : states) {
        SCOPED_TRACE(state.name);
        EXPECT_EQ(inChild([&state](int out) { put(out, state.run()); }), state.outcome);
    }
}

std::atomic<int> hostSigpipes{0};

// Standard error as the write end of a pipe, or one end of a socket pair,
// whose other end is closed: a write there raises SIGPIPE.
void stderrToClosedPipe() {
    int ends[2];
    if (pipe(ends) != 0)
        _exit(13);
    dup2(ends[1], STDERR_FILENO);
    close(ends[0]);
    close(ends[1]);
}

void stderrToGoneSocketPeer() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        _exit(13);
    dup2(ends[1], STDERR_FILENO);
    close(ends[0]);
    close(ends[1]);
}

// The real box on a standard error that cannot be written: it answers 0,
// not Cancel, so the next report is shown once standard error works again.
// Where the write raises SIGPIPE the host neither dies of it nor sees its
// own handler called, and a SIGPIPE that the host had pending stays pending.
TEST(RealFiles, UnwritableStandardErrorDoesNotSilenceLaterBoxes) {
    TempFolder folder;
    const std::string file = folder.write("short.txt", "abc");
    enum class Host { defaultAction, ownHandler, ownSigpipePending };
    struct Breakage {
        const char *name;
        void (*apply)();
        Host host;
    };
    const Breakage breakages[] = {
        {"closed", [] { close(STDERR_FILENO); }, Host::defaultAction},
        {"open for reading only",
         [] {
             const int readOnly = open("/dev/null", O_RDONLY);
             dup2(readOnly, STDERR_FILENO);
             close(readOnly);
         },
         Host::defaultAction},
        {"a pipe with no reader", stderrToClosedPipe, Host::defaultAction},
        {"a pipe with no reader, host handler", stderrToClosedPipe, Host::ownHandler},
        {"a pipe with no reader, host SIGPIPE pending", stderrToClosedPipe,
         Host::ownSigpipePending},
        {"a socket whose peer is gone", stderrToGoneSocketPeer, Host::defaultAction},
        {"a socket whose peer is gone, host handler", stderrToGoneSocketPeer, Host::ownHandler},
    };
    for (const Breakage &breakage : breakages) {
        SCOPED_TRACE(breakage.name);
        const std::string written = inChild([&](int out) {
            vellomar::resetReport();
            sigset_t sigpipe;
            sigemptyset(&sigpipe);
            sigaddset(&sigpipe, SIGPIPE);
            if (breakage.host == Host::ownHandler)
                signal(SIGPIPE, [](int) { ++hostSigpipes; });
            if (breakage.host == Host::ownSigpipePending) {
                pthread_sigmask(SIG_BLOCK, &sigpipe, nullptr);
                raise(SIGPIPE);
            }
            breakage.apply();
            std::vector<uint8_t> buffer(4);
            std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
            const uint32_t unshown = vellomar::readStringTable(
                vellomar::platformOs, buffer.data(), 4, table.data(), file.c_str(), 0);
            sigset_t pending;
            sigpending(&pending);
            const bool stillPending = sigismember(&pending, SIGPIPE) == 1;
            put(out, "result " + std::to_string(unshown) + ", answer " +
                         std::to_string(vellomar::lastReportAnswer()) + ", host handler " +
                         std::to_string(hostSigpipes.load()) + ", host's pending " +
                         (stillPending ? "kept" : "none") + "\n");
            dup2(out, STDERR_FILENO);
            vellomar::readStringTable(vellomar::platformOs, buffer.data(), 4, table.data(),
                                      file.c_str(), 0);
        });
        const char *pending = breakage.host == Host::ownSigpipePending ? "kept" : "none";
        EXPECT_EQ(written, std::string("result 0, answer 0, host handler 0, host's pending ") +
                               pending + "\nTarvoni DLL: DLL error: 3\n");
    }
}

} // namespace
