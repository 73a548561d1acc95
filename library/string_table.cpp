#include "library/string_table.h"

#include "report/report.h"
#include "text/text.h"

namespace vellomar {

namespace {

// Opens, measures, reads and closes the file. Returns false, with nothing
// read and the file closed, when it cannot be opened or measured or is 4 GiB
// or longer; otherwise sets delivered to the number of bytes that arrived. A
// file longer than expectedSize is not read at all: delivered is its length.
bool readWholeFile(const OsLayer &os, const char *fileName, uint8_t *buffer,
                   uint32_t expectedSize, uint32_t *delivered) {
    OsFile file;
    if (!os.open(fileName, &file))
        return false;
    uint64_t length = 0;
    if (!os.size(file, &length) || length > 0xFFFFFFFFu) {
        os.close(file);
        return false;
    }
    const uint32_t fileLength = static_cast<uint32_t>(length);
    *delivered = fileLength > expectedSize ? fileLength : os.read(file, buffer, fileLength);
    os.close(file);
    return true;
}

} // namespace

uint32_t readStringTable(const OsLayer &os, uint8_t *buffer, uint32_t expectedSize,
                         uint16_t *table, const char *fileName, uint32_t recordMode) {
    uint32_t delivered = 0;
    if (!readWholeFile(os, fileName, buffer, expectedSize, &delivered))
        return 0;
    if (delivered != expectedSize) {
        reportSizeError(delivered, os.messageBox);
        return 0;
    }
    // A marked file is decoded and indexed in record mode, in one step that
    // goes over the data once.
    if (isMarked(buffer, expectedSize))
        return decodeMarkedAndBuild(buffer, expectedSize, table);
    return buildLineTable(buffer, expectedSize, table,
                          recordMode != 0 ? TableMode::record : TableMode::plain);
}

} // namespace vellomar
