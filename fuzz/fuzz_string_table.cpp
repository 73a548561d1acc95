// The whole call on a real file: the input becomes a file in a memory-backed
// folder, read through the POSIX layer by name with the box replaced. The host's
// buffer is exactly expectedSize bytes and its table exactly limit + 4 words,
// both on the heap.
//
// Input: one byte of header, then the file's bytes. Header bits:
//   0     recordMode
//   1-2   expectedSize: the file's length, one more, one less, or the second
//         header byte's value (the file then starts one byte later)
//   3-4   what the box answers: OK, Cancel, failure (0), OK
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fuzz_checks.h"
#include "library/string_table.h"
#include "report/report.h"
#include "text/text.h"

using fuzzcheck::HostBuffer;
using fuzzcheck::HostTable;

namespace {

char filePath[64];
int fileForWriting = -1;

// The file is unlinked as soon as it is made and the library is given its
// /proc/self/fd name, which opens it afresh: nothing is left behind however
// the run ends, a finding's abort included.
void prepareFile() {
    if (fileForWriting >= 0)
        return;
    const char *const folders[] = {"/dev/shm", "/tmp"};
    for (const char *folder : folders) {
        snprintf(filePath, sizeof filePath, "%s/vellomar-fuzz-XXXXXX", folder);
        fileForWriting = mkstemp(filePath);
        if (fileForWriting >= 0)
            break;
    }
    FUZZ_CHECK(fileForWriting >= 0);
    FUZZ_CHECK(unlink(filePath) == 0);
    snprintf(filePath, sizeof filePath, "/proc/self/fd/%d", fileForWriting);
}

void writeFile(const uint8_t *bytes, size_t size) {
    FUZZ_CHECK(ftruncate(fileForWriting, 0) == 0);
    size_t done = 0;
    while (done < size) {
        const ssize_t wrote = pwrite(fileForWriting, bytes + done, size - done,
                                     static_cast<off_t>(done));
        FUZZ_CHECK(wrote > 0);
        done += static_cast<size_t>(wrote);
    }
}

int boxAnswer = IDOK;
int boxesShown = 0;
char lastBoxText[64];

int fakeBox(const char *text, const char *caption) {
    ++boxesShown;
    FUZZ_CHECK(strcmp(caption, "Tarvoni DLL") == 0);
    FUZZ_CHECK(strlen(text) < sizeof lastBoxText);
    strcpy(lastBoxText, text);
    return boxAnswer;
}

// The lowest free descriptor: a call that left a file open moves it.
int lowestFreeDescriptor() {
    const int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(probe >= 0);
    close(probe);
    return probe;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    prepareFile();
    const uint8_t header = input[0];
    const uint32_t recordMode = header & 1u;
    const int answers[] = {IDOK, IDCANCEL, 0, IDOK};
    boxAnswer = answers[(header >> 3) & 3];

    const uint8_t *content = input + 1;
    size_t contentSize = size - 1;
    uint32_t expectedSize = 0;
    switch ((header >> 1) & 3) {
    case 0: expectedSize = static_cast<uint32_t>(contentSize); break;
    case 1: expectedSize = static_cast<uint32_t>(contentSize) + 1; break;
    case 2: expectedSize = contentSize == 0 ? 0 : static_cast<uint32_t>(contentSize) - 1; break;
    default:
        if (contentSize == 0)
            return 0;
        expectedSize = content[0];
        ++content;
        --contentSize;
        break;
    }
    const uint32_t fileLength = static_cast<uint32_t>(contentSize);
    writeFile(content, contentSize);

    vellomar::OsLayer os = vellomar::platformOs;
    os.messageBox = fakeBox;
    const bool marked = vellomar::isMarked(content, fileLength);
    const vellomar::TableMode mode = recordMode != 0 || marked ? vellomar::TableMode::record
                                                               : vellomar::TableMode::plain;
    const uint32_t words = vellomar::entryLimit(mode) + 4;
    HostBuffer buffer(expectedSize);
    HostTable table(words);

    vellomar::resetReport();
    boxesShown = 0;
    const int freeBefore = lowestFreeDescriptor();
    const uint32_t result =
        vellomar::readStringTable(os, buffer.at, expectedSize, table.at, filePath, recordMode);
    FUZZ_CHECK(lowestFreeDescriptor() == freeBefore);

    if (fileLength != expectedSize) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(table.untouched());
        // A longer file is not read at all; a shorter one leaves what arrived.
        const uint32_t arrived = fileLength < expectedSize ? fileLength : 0;
        FUZZ_CHECK(memcmp(buffer.at, content, arrived) == 0);
        for (uint32_t i = arrived; i < expectedSize; ++i)
            FUZZ_CHECK(buffer.at[i] == fuzzcheck::kBufferFill);
        char text[32];
        snprintf(text, sizeof text, "DLL error: %u", fileLength);
        FUZZ_CHECK(boxesShown == 1);
        FUZZ_CHECK(strcmp(lastBoxText, text) == 0);
        FUZZ_CHECK(vellomar::lastReportAnswer() == boxAnswer);
        // Cancel silences the next report; OK and a failed box do not.
        const uint32_t again =
            vellomar::readStringTable(os, buffer.at, expectedSize, table.at, filePath, recordMode);
        FUZZ_CHECK(again == 0);
        FUZZ_CHECK(boxesShown == (boxAnswer == IDCANCEL ? 1 : 2));
        return 0;
    }

    FUZZ_CHECK(boxesShown == 0);
    HostBuffer expectedBuffer(expectedSize);
    memcpy(expectedBuffer.at, content, fileLength);
    if (marked)
        vellomar::decodeMarkedScalar(expectedBuffer.at, expectedSize);
    HostTable expectedTable(words);
    const uint32_t expected = vellomar::buildLineTableScalar(expectedBuffer.at, expectedSize,
                                                             expectedTable.at, mode);
    FUZZ_CHECK(result == expected);
    FUZZ_CHECK(memcmp(buffer.at, expectedBuffer.at, expectedSize) == 0);
    FUZZ_CHECK(table.sameAs(expectedTable));
    fuzzcheck::checkTable(buffer.at, expectedSize, mode, table, result);
    return 0;
}
