// StringTable on real files that go wrong in real ways, through the POSIX
// layer: no permission, awkward names, things that are not regular files and
// must not hold the call up, and sparse files at and just under 4 GiB.
#include "library/string_table.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "fake_box.h"
#include "temp_folder.h"
#include "vellomar.h"

namespace {

constexpr uint8_t kBufferFill = 0xEE;
constexpr uint16_t kTableFill = 0x5A5A;
constexpr uint64_t k4GiB = uint64_t{1} << 32;

const vellomar::OsLayer kOs = fakebox::realFilesWithFakeBox();

struct Call {
    uint32_t result = 0;
    std::vector<uint8_t> buffer;
    std::vector<uint16_t> table;

    bool untouched() const {
        return std::all_of(buffer.begin(), buffer.end(),
                           [](uint8_t b) { return b == kBufferFill; }) &&
               std::all_of(table.begin(), table.end(),
                           [](uint16_t w) { return w == kTableFill; });
    }
};

Call call(const std::string &path, uint32_t expectedSize, uint32_t recordMode = 0) {
    Call c;
    c.buffer.assign(expectedSize, kBufferFill);
    c.table.assign(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
    c.result = vellomar::readStringTable(kOs, c.buffer.data(), expectedSize, c.table.data(),
                                         path.c_str(), recordMode);
    return c;
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
        EXPECT_TRUE(c.untouched());
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
        if (!c.untouched())
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
                _exit(11);
            _exit(attempt());
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
        EXPECT_EQ(std::string(c.buffer.begin(), c.buffer.end()), "hdr\r\n@=A\r\nbody");
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
        EXPECT_TRUE(c.untouched()) << "nothing is read from a file too long to read";
        if (sparse.box != nullptr) {
            ASSERT_EQ(fakebox::shown.size(), 1u);
            EXPECT_EQ(fakebox::shown[0].text, sparse.box);
        } else {
            EXPECT_TRUE(fakebox::shown.empty());
        }
    }
}

} // namespace
