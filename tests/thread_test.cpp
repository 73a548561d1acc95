// StringTable from eight threads at once, each with its own file, buffer and
// table, half of them expecting the wrong size: every table and buffer must
// come out as a lone call would leave it, every box text must be whole, and
// Cancel pressed on one thread's box must silence every later box.
#include "library/string_table.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cases/case_check.h"
#include "report/report.h"
#include "temp_folder.h"
#include "text/text.h"
#include "vellomar.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 150;

// One thread's file and everything a call on it must give.
struct Job {
    std::string path;
    std::string bytes;
    uint32_t expectedSize;
    uint32_t recordMode;
    bool wrongSize;
    std::string boxText;        // what a wrong-size call reports
    std::string buffer;         // the buffer after a right-size call
    std::vector<uint16_t> table; // words 0 to count + 1 after a right-size call
};

// Thread t's text: its own length, so a box text names the thread that made it.
std::string textFor(int t) {
    std::string text = "head of file " + std::to_string(t) + "\r\n";
    for (int line = 0; line < 40 + 7 * t; ++line) {
        if (line % 5 == 0)
            text += "@=record " + std::to_string(line) + "\r\n";
        else
            text += "line " + std::to_string(line) + " of " + std::to_string(t) + "\r\n";
    }
    return text + "tail";
}

Job makeJob(const std::string &folder, int t) {
    Job job;
    job.path = folder + "/file " + std::to_string(t) + ".txt";
    std::string text = textFor(t);
    switch (t % 4) {
    case 2: { // marked: indexed in record mode though plain mode is asked
        const size_t scrambled = text.find("@=");
        job.bytes = "_PW_" + text.substr(0, scrambled) + flip(text.substr(scrambled));
        job.recordMode = 0;
        break;
    }
    default:
        job.bytes = text;
        job.recordMode = t % 4 == 1 ? 1u : 0u;
        break;
    }
    const uint32_t size = static_cast<uint32_t>(job.bytes.size());
    job.wrongSize = t % 2 == 1;
    // Shorter than expected on some threads, longer on the others: both
    // report the file's length.
    job.expectedSize = !job.wrongSize ? size : t % 4 == 1 ? size + 1 : size - 1;
    job.boxText = "DLL error: " + std::to_string(size);

    FILE *out = std::fopen(job.path.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    if (out != nullptr) {
        std::fwrite(job.bytes.data(), 1, job.bytes.size(), out);
        std::fclose(out);
    }

    // What a lone call gives, from the byte-at-a-time reference.
    job.buffer = job.bytes;
    uint8_t *data = reinterpret_cast<uint8_t *>(&job.buffer[0]);
    vellomar::TableMode mode =
        job.recordMode != 0 ? vellomar::TableMode::record : vellomar::TableMode::plain;
    if (vellomar::isMarked(data, size)) {
        vellomar::decodeMarkedScalar(data, size);
        mode = vellomar::TableMode::record;
    }
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
    const uint32_t count = vellomar::buildLineTableScalar(data, size, table.data(), mode);
    job.table.assign(table.begin(), table.begin() + count + 2);
    return job;
}

// The box: counts what it shows per thread, answers OK up to a chosen box
// and Cancel from that one on.
std::atomic<int> boxesShown{0};
std::atomic<int> cancelFrom{INT_MAX};
// Boxes answered OK whose calls have not returned yet: the Cancel box waits
// for them, so that no OK can be stored after its Cancel and the test does
// not depend on timing.
std::atomic<int> okPending{0};
std::atomic<int> tornTexts{0};
std::atomic<int> badCaptions{0};
thread_local int myBoxes = 0;
thread_local bool myOkPending = false;
thread_local std::string myLastText;

int countingBox(const char *text, const char *caption) {
    ++myBoxes;
    myLastText = text;
    if (std::strcmp(caption, "Tarvoni DLL") != 0)
        ++badCaptions;
    // Counted as pending before it takes its number, so that the Cancel box,
    // which takes a later number, cannot miss it.
    ++okPending;
    const int number = ++boxesShown;
    const bool cancel = number >= cancelFrom.load();
    if (cancel)
        --okPending;
    else
        myOkPending = true;
    // Give the other threads time to report while this box is up: a text
    // area shared between reports would change under it.
    std::this_thread::yield();
    if (cancel)
        while (okPending.load() != 0)
            std::this_thread::yield();
    if (myLastText != text)
        ++tornTexts;
    return cancel ? IDCANCEL : IDOK;
}

const vellomar::OsLayer kCountingOs = [] {
    vellomar::OsLayer os = vellomar::platformOs;
    os.messageBox = countingBox;
    return os;
}();

struct Outcome {
    int wrongResults = 0;
    int wrongBuffers = 0;
    int wrongTables = 0;
    int wrongBoxes = 0;      // a wrong-size call that did not show its one box
    int boxesAfterCancel = 0; // boxes from calls begun once Cancel stood
    int wrongSizeCalls = 0;
};

Outcome runJob(const vellomar::OsLayer &os, const Job &job, std::atomic<int> &ready,
               bool cancelExpected) {
    Outcome outcome;
    std::vector<uint8_t> buffer(job.expectedSize);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    // All threads start together.
    ++ready;
    while (ready.load() < kThreads)
        std::this_thread::yield();
    for (int round = 0; round < kRounds; ++round) {
        std::fill(buffer.begin(), buffer.end(), kBufferFill);
        std::fill(table.begin(), table.end(), kTableFill);
        const bool silenced = vellomar::lastReportAnswer() == IDCANCEL;
        const int boxesBefore = myBoxes;
        const uint32_t result = vellomar::readStringTable(
            os, buffer.data(), job.expectedSize, table.data(), job.path.c_str(), job.recordMode);
        if (myOkPending) {
            myOkPending = false;
            --okPending;
        }
        const int boxes = myBoxes - boxesBefore;
        if (silenced && boxes != 0)
            ++outcome.boxesAfterCancel;
        const bool tableUntouched =
            std::all_of(table.begin(), table.end(), [](uint16_t w) { return w == kTableFill; });
        if (job.wrongSize) {
            ++outcome.wrongSizeCalls;
            outcome.wrongResults += result != 0;
            outcome.wrongTables += !tableUntouched;
            const bool boxRight = boxes == 1 && myLastText == job.boxText;
            if (!cancelExpected && !boxRight)
                ++outcome.wrongBoxes;
            if (cancelExpected && boxes != 0 && !boxRight)
                ++outcome.wrongBoxes;
            continue;
        }
        outcome.wrongResults += result != job.table.size() - 2;
        outcome.wrongBuffers += std::memcmp(buffer.data(), job.buffer.data(), buffer.size()) != 0;
        outcome.wrongTables +=
            !std::equal(job.table.begin(), job.table.end(), table.begin()) ||
            !std::all_of(table.begin() + job.table.size(), table.end(),
                         [](uint16_t w) { return w == kTableFill; });
        outcome.wrongBoxes += boxes != 0;
    }
    return outcome;
}

std::vector<Outcome> runAll(const vellomar::OsLayer &os, const std::vector<Job> &jobs,
                            bool cancelExpected) {
    std::vector<Outcome> outcomes(jobs.size());
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (size_t t = 0; t < jobs.size(); ++t)
        threads.emplace_back([&, t] { outcomes[t] = runJob(os, jobs[t], ready, cancelExpected); });
    for (std::thread &thread : threads)
        thread.join();
    return outcomes;
}

void expectClean(const std::vector<Outcome> &outcomes, const std::vector<Job> &jobs) {
    for (size_t t = 0; t < outcomes.size(); ++t) {
        SCOPED_TRACE("thread " + std::to_string(t) + ", " + jobs[t].path);
        EXPECT_EQ(outcomes[t].wrongResults, 0);
        EXPECT_EQ(outcomes[t].wrongBuffers, 0);
        EXPECT_EQ(outcomes[t].wrongTables, 0);
        EXPECT_EQ(outcomes[t].wrongBoxes, 0);
        EXPECT_EQ(outcomes[t].boxesAfterCancel, 0);
    }
    EXPECT_EQ(tornTexts.load(), 0);
    EXPECT_EQ(badCaptions.load(), 0);
}

std::vector<Job> makeJobs(const TempFolder &folder) {
    std::vector<Job> jobs;
    for (int t = 0; t < kThreads; ++t)
        jobs.push_back(makeJob(folder.path(), t));
    return jobs;
}

void resetBox(int cancelAt) {
    vellomar::resetReport();
    boxesShown = 0;
    cancelFrom = cancelAt;
    okPending = 0;
    tornTexts = 0;
    badCaptions = 0;
}

TEST(Threads, EveryCallGetsItsOwnTableAndBox) {
    TempFolder folder;
    const std::vector<Job> jobs = makeJobs(folder);
    resetBox(INT_MAX);
    const std::vector<Outcome> outcomes = runAll(kCountingOs, jobs, false);
    expectClean(outcomes, jobs);
    int wrongSizeCalls = 0;
    for (const Outcome &outcome : outcomes)
        wrongSizeCalls += outcome.wrongSizeCalls;
    EXPECT_EQ(wrongSizeCalls, kThreads / 2 * kRounds);
    EXPECT_EQ(boxesShown.load(), wrongSizeCalls);
    EXPECT_EQ(vellomar::lastReportAnswer(), IDOK);
}

TEST(Threads, CancelOnOneThreadSilencesTheOthers) {
    TempFolder folder;
    const std::vector<Job> jobs = makeJobs(folder);
    constexpr int kCancelAt = 40;
    resetBox(kCancelAt);
    const std::vector<Outcome> outcomes = runAll(kCountingOs, jobs, true);
    expectClean(outcomes, jobs);
    EXPECT_EQ(vellomar::lastReportAnswer(), IDCANCEL);
    // Boxes after the Cancel can only come from reports that had already
    // looked at the answer before it was stored: one per other thread.
    EXPECT_GE(boxesShown.load(), kCancelAt);
    EXPECT_LE(boxesShown.load(), kCancelAt + kThreads - 1);
}

// The real box on Linux is a line on standard error: lines from threads
// reporting at once must never mix.
TEST(Threads, StandardErrorLinesStayWhole) {
    TempFolder folder;
    std::vector<Job> jobs;
    for (int t = 0; t < kThreads; ++t) {
        // Every thread expects the wrong size here.
        Job job = makeJob(folder.path(), t * 2 + 1);
        jobs.push_back(job);
    }
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::string captured;
    std::thread reader([&] {
        char chunk[4096];
        ssize_t got;
        while ((got = read(pipeEnds[0], chunk, sizeof chunk)) > 0)
            captured.append(chunk, static_cast<size_t>(got));
    });
    std::fflush(stderr);
    const int savedStderr = dup(STDERR_FILENO);
    ASSERT_GE(savedStderr, 0);
    dup2(pipeEnds[1], STDERR_FILENO);
    close(pipeEnds[1]);

    vellomar::resetReport();
    resetBox(INT_MAX);
    const std::vector<Outcome> outcomes = runAll(vellomar::platformOs, jobs, false);

    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    reader.join();
    close(pipeEnds[0]);

    std::map<std::string, int> expected;
    for (const Job &job : jobs)
        expected["Tarvoni DLL: " + job.boxText] += kRounds;
    std::map<std::string, int> seen;
    size_t start = 0;
    while (start < captured.size()) {
        const size_t end = captured.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unfinished line: " << captured.substr(start);
        ++seen[captured.substr(start, end - start)];
        start = end + 1;
    }
    EXPECT_EQ(seen, expected);
    for (const Outcome &outcome : outcomes)
        EXPECT_EQ(outcome.wrongResults, 0);
    EXPECT_EQ(vellomar::lastReportAnswer(), IDOK);
}

} // namespace
