// The Windows suite: a host that loads Vellomar.dll with LoadLibraryA, calls
// StringTable through a VELLOMAR_CALL pointer from GetProcAddress (__stdcall
// in the 32-bit build, the one x64 convention in the 64-bit build), and
// checks what it gets, under Wine or on Windows. No box ever reaches the
// screen: the DLL's import slot for MessageBoxA is pointed at a stand-in that
// records each box and gives scripted answers.
//
//   vellomar-windows-host [path\to\Vellomar.dll]
//
// Prints one line per test and "N passed, M failed"; exits 0 only when
// every test ran and passed.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>
#include <excpt.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "cases/case_check.h"
#include "cases/end_to_end_cases.h"
#include "vellomar.h"

namespace {

using StringTableFn = uint32_t(VELLOMAR_CALL *)(uint8_t *buffer, uint32_t expectedSize,
                                                uint16_t *table, const char *fileName,
                                                uint32_t recordMode);
using EntryFn = BOOL(WINAPI *)(HINSTANCE, DWORD, LPVOID);

// ---------------------------------------------------------------- checks

// The user-mode emulator the test command runs this program under where the
// kernel refuses 32-bit programs (cmake/emulate-i386 names it), or "".
std::string emulator() {
    char name[64];
    const DWORD length = GetEnvironmentVariableA("VELLOMAR_EMULATED_BY", name, sizeof name);
    return length > 0 && length < sizeof name ? std::string(name, length) : std::string();
}

std::vector<std::string> failures; // of the test that runs now
int passedTests = 0;
int failedTests = 0;

void fail(const char *file, int line, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char where[600];
    std::snprintf(where, sizeof where, "%s:%d: %s", file, line, text);
    failures.push_back(where);
}

#define EXPECT(condition, ...)                                                                     \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fail(__FILE__, __LINE__, __VA_ARGS__);                                                 \
    } while (0)

void run(const char *name, void (*test)()) {
    failures.clear();
    test();
    if (failures.empty()) {
        ++passedTests;
        std::printf("ok    %s\n", name);
    } else {
        ++failedTests;
        std::printf("FAIL  %s\n", name);
        for (const std::string &failure : failures)
            std::printf("        %s\n", failure.c_str());
    }
    std::fflush(stdout);
}

// ---------------------------------------------------------------- the box

struct Box {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};

CRITICAL_SECTION boxLock;
std::vector<Box> boxes;
std::deque<int> answers; // scripted; OK once they run out

int WINAPI scriptedMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    EnterCriticalSection(&boxLock);
    boxes.push_back({owner, text != nullptr ? text : "(null)",
                     caption != nullptr ? caption : "(null)", type});
    int answer = IDOK;
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    LeaveCriticalSection(&boxLock);
    return answer;
}

void script(std::deque<int> scripted) {
    boxes.clear();
    answers = std::move(scripted);
}

// Every box must be the library's: its text, no owner, the caption, OK and
// Cancel and nothing else in the style.
void expectBox(const Box &box, const std::string &text) {
    EXPECT(box.text == text, "box text '%s', expected '%s'", box.text.c_str(), text.c_str());
    EXPECT(box.caption == "Tarvoni DLL", "box caption '%s'", box.caption.c_str());
    EXPECT(box.type == MB_OKCANCEL, "box style 0x%X, expected MB_OKCANCEL", box.type);
    EXPECT(box.owner == nullptr, "box has an owner window");
}

// The one box a call must have shown with boxText, or none when boxText is
// null.
void expectOneBoxOrNone(const char *name, const char *boxText) {
    if (boxText == nullptr) {
        EXPECT(boxes.empty(), "%s: a box was shown: '%s'", name,
               boxes.empty() ? "" : boxes[0].text.c_str());
        return;
    }
    EXPECT(boxes.size() == 1, "%s: %u boxes, expected 1", name, unsigned(boxes.size()));
    if (boxes.size() == 1)
        expectBox(boxes[0], boxText);
}

// ---------------------------------------------------------------- the DLL

std::string dllPath;
HMODULE dll = nullptr;
StringTableFn stringTable = nullptr;

// The DLL's import address table slot for function from module, found
// through the import descriptors the loader filled in.
void **importSlot(HMODULE image, const char *module, const char *function) {
    auto *base = reinterpret_cast<uint8_t *>(image);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return nullptr;
    for (auto *descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + descriptor->Name), module) != 0)
            continue;
        const DWORD namesAt = descriptor->OriginalFirstThunk != 0
                                  ? descriptor->OriginalFirstThunk
                                  : descriptor->FirstThunk;
        auto *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + namesAt);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(byName->Name), function) == 0)
                return reinterpret_cast<void **>(&slots->u1.Function);
        }
    }
    return nullptr;
}

// Loads the DLL, takes StringTable by name and by ordinal 1, and points its
// MessageBoxA import at the scripted box. False, with the reason recorded,
// when any of it fails.
bool load() {
    dll = LoadLibraryA(dllPath.c_str());
    EXPECT(dll != nullptr, "LoadLibraryA(%s) failed: error %lu", dllPath.c_str(), GetLastError());
    if (dll == nullptr)
        return false;
    const FARPROC byName = GetProcAddress(dll, "StringTable");
    const FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(1));
    EXPECT(byName != nullptr, "no export named StringTable");
    EXPECT(byName == byOrdinal, "StringTable by name %p, by ordinal 1 %p",
           reinterpret_cast<void *>(byName), reinterpret_cast<void *>(byOrdinal));
    stringTable = reinterpret_cast<StringTableFn>(reinterpret_cast<void *>(byName));

    void **slot = importSlot(dll, "USER32.dll", "MessageBoxA");
    EXPECT(slot != nullptr, "the DLL has no import slot for USER32.dll!MessageBoxA");
    if (slot == nullptr || byName == nullptr)
        return false;
    const FARPROC real = GetProcAddress(GetModuleHandleA("user32.dll"), "MessageBoxA");
    EXPECT(*slot == reinterpret_cast<void *>(real),
           "the import slot holds %p, not user32's MessageBoxA %p", *slot,
           reinterpret_cast<void *>(real));
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) {
        EXPECT(false, "VirtualProtect failed: error %lu", GetLastError());
        return false;
    }
    *slot = reinterpret_cast<void *>(&scriptedMessageBoxA);
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return true;
}

// Unloads the DLL and makes sure it really left the process, so that the
// next load starts from a fresh image.
void unload() {
    if (dll == nullptr)
        return;
    FreeLibrary(dll);
    dll = nullptr;
    stringTable = nullptr;
    EXPECT(GetModuleHandleA("Vellomar.dll") == nullptr, "Vellomar.dll still loaded after FreeLibrary");
}

bool reload() {
    unload();
    return load();
}

// ---------------------------------------------------------------- files

std::string folder; // ends in a backslash

std::string pathOf(const char *name) { return folder + name; }

bool writeFile(const std::string &path, const char *bytes, uint32_t size) {
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

// A file of length bytes that takes no room: marked sparse where the file
// system knows the notion, then extended by moving its end.
bool writeSparseFile(const std::string &path, uint64_t length) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length);
    const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}

Call call(const std::string &path, uint32_t expectedSize, uint32_t recordMode) {
    return callFilled(stringTable, path, expectedSize, recordMode);
}

// One of the shared cases, for the tests that build on its file.
const EndToEndCase &caseNamed(const char *name) {
    for (const EndToEndCase &e : kEndToEndCases)
        if (std::strcmp(e.name, name) == 0)
            return e;
    std::fprintf(stderr, "no end-to-end case '%s'\n", name);
    ExitProcess(2);
}

// ---------------------------------------------------------------- tests

void exportsByNameAndOrdinal() {
    if (!reload())
        return;
    EXPECT(GetProcAddress(dll, MAKEINTRESOURCEA(2)) == nullptr, "something at ordinal 2");
    EXPECT(GetProcAddress(dll, "DllMain") == nullptr, "DllMain is exported");
    EXPECT(GetProcAddress(dll, "StringTable@20") == nullptr, "the decorated name is exported");
}

// The native suite's cases, through the DLL. After every call the file must
// be free to delete: a handle left open would keep it.
void sharedEndToEndCases() {
    if (!reload())
        return;
    const std::string path = pathOf("case.txt");
    for (const EndToEndCase &e : kEndToEndCases) {
        const size_t before = failures.size();
        script({});
        if (!writeFile(path, e.file, e.fileSize)) {
            EXPECT(false, "%s: cannot write the file", e.name);
            continue;
        }
        const Call c = call(path, expectedSizeOf(e), e.recordMode);
        EXPECT(DeleteFileA(path.c_str()), "file still in use after the call: error %lu",
               GetLastError());
        std::vector<std::string> boxTexts;
        for (const Box &box : boxes)
            boxTexts.push_back(box.text);
        const std::string mismatch = caseMismatch(e, c, boxTexts);
        EXPECT(mismatch.empty(), "%s", mismatch.c_str());
        if (e.boxText != nullptr && boxes.size() == 1)
            expectBox(boxes[0], e.boxText); // caption, style and owner too
        for (size_t i = before; i < failures.size(); ++i)
            failures[i] += std::string("  [") + e.name + "]";
    }
}

// ---------------------------------------------------------------- long texts

// The table rules byte by byte, for long generated texts on which the DLL's
// vector code does the work: entries end at CR LF; in record mode only at
// the break before a marker ("@=" right after a break) and the break that
// ends a marker line. Past the limit the entry that went over still counts.
std::vector<uint16_t> referenceTable(const std::string &text, bool record) {
    const size_t limit = record ? VELLOMAR_RECORD_ENTRY_LIMIT : VELLOMAR_PLAIN_ENTRY_LIMIT;
    std::vector<uint16_t> words(1, 0);
    const size_t n = text.size();
    size_t start = 0;
    bool inMarkerLine = false;
    bool full = false;
    for (size_t at = 0; at + 1 < n && !full;) {
        if (text[at] != '\r' || text[at + 1] != '\n') {
            ++at;
            continue;
        }
        const size_t next = at + 2;
        const bool markerFollows = next + 1 < n && text[next] == '@' && text[next + 1] == '=';
        if (!record || inMarkerLine || markerFollows) {
            words.push_back(static_cast<uint16_t>(next - start));
            full = words.size() - 1 > limit;
            start = next;
        }
        inMarkerLine = markerFollows;
        at = next;
    }
    if (!full)
        words.push_back(static_cast<uint16_t>(n == 0 ? 3 : n - start + 2));
    words[0] = static_cast<uint16_t>(words.size() - 1);
    words.push_back(VELLOMAR_END_MARKER);
    return words;
}

// Lines of lengths up to maxLine from an alphabet rich in the bytes that
// matter: CR, LF, '@', '=', 0xFF. Every markerEvery-th line or so is a marker.
std::string generatedText(uint32_t start, size_t lines, uint32_t maxLine, uint32_t markerEvery) {
    static const char alphabet[] = "ab\r\n@=\xFF z";
    std::string text;
    uint32_t state = start;
    const auto next = [&state]() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (size_t line = 0; line < lines; ++line) {
        if (next() % markerEvery == 0)
            text += "@=";
        const uint32_t length = next() % (maxLine + 1);
        for (uint32_t i = 0; i < length; ++i)
            text += alphabet[next() % (sizeof alphabet - 1)];
        text += "\r\n";
    }
    return text;
}

struct LongText {
    const char *name;
    std::string text;
};

std::vector<LongText> longTexts() {
    return {
        {"300 KB of mixed lines", generatedText(1, 8000, 70, 5)},
        {"lines of 0 to 3 bytes, past both limits", generatedText(2, 70000, 3, 2)},
        {"a line of 70000 bytes among others",
         generatedText(3, 50, 40, 4) + std::string(70000, 'q') + generatedText(4, 50, 40, 4)},
        {"no line break at all", std::string(100000, 'x')},
    };
}

// Each text in both modes, from buffers at every offset modulo 4, so that
// neither alignment of the host's memory nor of its words matters.
void longTextsMatchTheRules() {
    if (!reload())
        return;
    script({});
    const std::string path = pathOf("long.txt");
    for (const LongText &t : longTexts()) {
        if (!writeFile(path, t.text.data(), uint32_t(t.text.size()))) {
            EXPECT(false, "%s: cannot write the file", t.name);
            continue;
        }
        const uint32_t size = uint32_t(t.text.size());
        for (uint32_t mode = 0; mode <= 1; ++mode) {
            const std::vector<uint16_t> expected = referenceTable(t.text, mode != 0);
            for (uint32_t offset = 0; offset < 4; ++offset) {
                std::vector<uint8_t> buffer(size + 8, kBufferFill);
                std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS + 4, kTableFill);
                uint8_t *at = buffer.data() + offset;
                uint16_t *words = reinterpret_cast<uint16_t *>(
                    reinterpret_cast<uint8_t *>(table.data()) + (offset & 2));
                const uint32_t result = stringTable(at, size, words, path.c_str(), mode);
                const size_t count = expected.size() - 2;
                EXPECT(result == count, "%s, mode %u, offset %u: result %u, expected %u", t.name,
                       mode, offset, result, unsigned(count));
                if (result != count)
                    continue;
                EXPECT(std::memcmp(words, expected.data(), expected.size() * 2) == 0,
                       "%s, mode %u, offset %u: the table differs", t.name, mode, offset);
                EXPECT(words[expected.size()] == kTableFill,
                       "%s, mode %u, offset %u: wrote past the end marker", t.name, mode, offset);
                EXPECT(std::memcmp(at, t.text.data(), size) == 0 && at[size] == kBufferFill,
                       "%s, mode %u, offset %u: the buffer differs", t.name, mode, offset);
            }
        }
    }
    DeleteFileA(path.c_str());
}

// Two pages the host can use between two it cannot touch, so that data
// placed against either edge faults on the first byte read or written
// outside it.
uint8_t *guardedPages(size_t page) {
    uint8_t *pages = static_cast<uint8_t *>(
        VirtualAlloc(nullptr, 4 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD was = 0;
    if (pages == nullptr || !VirtualProtect(pages, page, PAGE_NOACCESS, &was) ||
        !VirtualProtect(pages + 3 * page, page, PAGE_NOACCESS, &was))
        return nullptr;
    return pages + page;
}

// Every length up to a few of the kernels' 64-byte blocks, in the host's
// buffer ending right before a page it cannot touch and starting right after
// one: plain and record texts in both modes, and marked files, which are
// decoded in place. The blocks lie on aligned addresses, so the ends fall
// at every offset within them.
void textsAgainstNoAccessPages() {
    if (!reload())
        return;
    script({});
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    uint8_t *const room = guardedPages(page);
    EXPECT(room != nullptr, "VirtualAlloc or VirtualProtect failed: error %lu", GetLastError());
    if (room == nullptr)
        return;
    const std::string path = pathOf("guarded.txt");
    const std::string body = generatedText(5, 60, 12, 3);
    const std::string text = "hdr\r\n@=" + body, decoded = "_PW_h\r\n@=" + body;
    std::string marked = decoded;
    for (size_t i = 7; i < marked.size(); ++i)
        marked[i] = static_cast<char>(~marked[i]);
    for (uint32_t length = 0; length <= 260; ++length) {
        const struct {
            const std::string &stored, &text;
            uint32_t mode;
        } files[] = {{text, text, 0}, {text, text, 1}, {marked, decoded, 0}};
        for (const auto &file : files) {
            if (&file.stored == &marked && length < 9)
                continue; // no stored "@=" yet
            const std::string want = file.text.substr(0, length);
            const std::vector<uint16_t> expected =
                referenceTable(want, file.mode != 0 || &file.stored == &marked);
            if (!writeFile(path, file.stored.data(), length))
                return fail(__FILE__, __LINE__, "cannot write %s", path.c_str());
            for (uint8_t *at : {room + 2 * page - length, room}) {
                std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
                const uint32_t result =
                    stringTable(at, length, table.data(), path.c_str(), file.mode);
                EXPECT(result == expected.size() - 2 &&
                           std::memcmp(table.data(), expected.data(), expected.size() * 2) == 0 &&
                           std::memcmp(at, want.data(), length) == 0,
                       "%s, %u bytes %s a page it cannot touch, mode %u: result %u, expected %u",
                       &file.stored == &marked ? "marked" : "text", length,
                       at == room ? "after" : "before", file.mode, result,
                       unsigned(expected.size() - 2));
            }
        }
    }
    DeleteFileA(path.c_str());
}

#if defined(__i386__)
// 32-bit only: a __stdcall callee removes its own five arguments; a build that
// got the convention wrong would leave the stack pointer moved in the caller.
// Hosts built by other compilers may call with the stack aligned to 4 bytes
// only, so every alignment is tried, on a text long enough for the vector
// code. (x64 has one convention, and its callers keep the stack aligned.)
void stdcallFromAnyStackAlignment() {
    if (!reload())
        return;
    const std::string text = generatedText(5, 2000, 60, 4);
    const std::string path = pathOf("stdcall.txt");
    if (!writeFile(path, text.data(), uint32_t(text.size())))
        return fail(__FILE__, __LINE__, "cannot write the file");
    const size_t count = referenceTable(text, true).size() - 2;
    for (uint32_t misalign = 0; misalign < 16; misalign += 4) {
        std::vector<uint8_t> buffer(text.size());
        std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
        const uint32_t args[5] = {reinterpret_cast<uint32_t>(buffer.data()),
                                  uint32_t(text.size()), reinterpret_cast<uint32_t>(table.data()),
                                  reinterpret_cast<uint32_t>(path.c_str()), 1};
        uint32_t result, espAfter, espBefore, scratch = misalign;
        // Align the stack to 16, take misalign off, push the arguments, call;
        // the callee must return with the stack where the pushes began.
        __asm__ __volatile__("movl %%esp, %%esi\n\t"
                             "andl $-16, %%esp\n\t"
                             "subl %%edx, %%esp\n\t"
                             "pushl 16(%[args])\n\t"
                             "pushl 12(%[args])\n\t"
                             "pushl 8(%[args])\n\t"
                             "pushl 4(%[args])\n\t"
                             "pushl 0(%[args])\n\t"
                             "call *%[fn]\n\t"
                             "movl %%esp, %%ecx\n\t"
                             "movl %%esi, %%esp"
                             : "=a"(result), "=c"(espAfter), "=S"(espBefore), "+d"(scratch)
                             : [fn] "b"(stringTable), [args] "D"(args)
                             : "memory", "cc");
        const int32_t drift = int32_t(espAfter - ((espBefore & ~15u) - misalign));
        EXPECT(drift == 0, "stack off 16 by %u: the stack pointer moved by %d bytes", misalign,
               int(drift));
        EXPECT(result == count, "stack off 16 by %u: result %u, expected %u", misalign, result,
               unsigned(count));
    }
    DeleteFileA(path.c_str());
}
#endif

struct BoxScript {
    const char *name;
    std::deque<int> answers;
    int calls;         // size mismatches in a row
    unsigned expected; // boxes shown
};

// What the user answered decides whether the next mismatch shows a box; the
// call's result never changes.
void boxAnswers() {
    const BoxScript scripts[] = {
        {"OK shows the next box too", {IDOK, IDOK, IDOK}, 3, 3},
        {"Cancel silences every later box", {IDOK, IDCANCEL, IDOK}, 5, 2},
        {"Cancel at once", {IDCANCEL}, 4, 1},
        {"a box that failed is tried again", {0, 0, IDOK, IDCANCEL}, 6, 4},
    };
    const EndToEndCase &e = caseNamed("one byte short");
    const std::string path = pathOf("short.txt");
    if (!writeFile(path, e.file, e.fileSize))
        return fail(__FILE__, __LINE__, "cannot write the file");
    for (const BoxScript &s : scripts) {
        if (!reload())
            return;
        script(s.answers);
        for (int i = 0; i < s.calls; ++i) {
            const Call c = call(path, e.fileSize + 1, 0);
            EXPECT(c.result == 0, "%s: call %d returned %u", s.name, i, c.result);
        }
        EXPECT(boxes.size() == s.expected, "%s: %u boxes, expected %u", s.name,
               unsigned(boxes.size()), s.expected);
        for (const Box &box : boxes)
            expectBox(box, e.boxText);
        // A right-sized call still works, whatever was answered ("abc" CR LF
        // "def" is two lines).
        const Call good = call(path, e.fileSize, 0);
        EXPECT(good.result == 2, "%s: right size gives %u afterwards", s.name, good.result);
    }
    DeleteFileA(path.c_str());
}

// Unloading forgets Cancel: the next load shows boxes again.
void reloadStartsAfresh() {
    const EndToEndCase &e = caseNamed("one byte short");
    const std::string path = pathOf("short.txt");
    if (!writeFile(path, e.file, e.fileSize) || !reload())
        return fail(__FILE__, __LINE__, "cannot prepare");
    script({IDCANCEL});
    call(path, e.fileSize + 1, 0);
    call(path, e.fileSize + 1, 0);
    EXPECT(boxes.size() == 1, "%u boxes before the reload, expected 1", unsigned(boxes.size()));
    if (!reload())
        return;
    script({});
    const Call c = call(path, e.fileSize + 1, 0);
    EXPECT(c.result == 0, "result %u", c.result);
    EXPECT(boxes.size() == 1, "%u boxes after the reload, expected 1", unsigned(boxes.size()));
    DeleteFileA(path.c_str());
}

// ---------------------------------------------------------------- faults

// A host that hands the call memory it cannot write must be able to catch
// the fault in a handler of its own and go on: the exception is raised on
// the host's thread inside the call, and the system has to unwind through
// the DLL's frames to reach the handler (on x64 it needs the DLL's .pdata
// for that; on 32-bit Windows the handler chain lives on the stack).
volatile DWORD caughtCode = 0;

extern "C" LONG WINAPI vellomarHostFaultFilter(EXCEPTION_POINTERS *pointers) {
    caughtCode = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_EXECUTE_HANDLER;
}

#if defined(__x86_64__)
// mingw-w64's frame-based handler: a scope entry in this function's own
// unwind data, so the call must sit in a function of its own.
__attribute__((noinline)) void callGuarded(const std::string &path, uint32_t size,
                                           uint16_t *table, uint32_t recordMode) {
    uint8_t *buffer = new uint8_t[size + 1u];
    __try1(vellomarHostFaultFilter)
    stringTable(buffer, size, table, path.c_str(), recordMode);
    __except1
    delete[] buffer;
}
#else
// On i386 the record that __try1 would push is overwritten by the next
// call's arguments (GCC stores them at the stack pointer), so the host keeps
// its record in a local and links it through fs:0 itself. The handler
// unwinds the frames above the record and jumps back with
// __builtin_longjmp, which tells the compiler that every register is lost.
struct GuardRecord {
    GuardRecord *next;
    void *handler;
    void *resume[5];
};

EXCEPTION_DISPOSITION __cdecl guardHandler(EXCEPTION_RECORD *record, void *frame, CONTEXT *,
                                           void *) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    EXCEPTION_POINTERS pointers = {record, nullptr};
    vellomarHostFaultFilter(&pointers);
    RtlUnwind(frame, nullptr, record, nullptr);
    GuardRecord *guard = static_cast<GuardRecord *>(frame);
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(guard->next) : "memory");
    __builtin_longjmp(guard->resume, 1);
}

__attribute__((noinline)) void callGuarded(const std::string &path, uint32_t size,
                                           uint16_t *table, uint32_t recordMode) {
    uint8_t *buffer = new uint8_t[size + 1u];
    GuardRecord guard;
    guard.handler = reinterpret_cast<void *>(guardHandler);
    if (__builtin_setjmp(guard.resume) == 0) {
        __asm__ __volatile__("movl %%fs:0, %0" : "=r"(guard.next) : : "memory");
        __asm__ __volatile__("movl %0, %%fs:0" : : "r"(&guard) : "memory");
        stringTable(buffer, size, table, path.c_str(), recordMode);
        __asm__ __volatile__("movl %0, %%fs:0" : : "r"(guard.next) : "memory");
    }
    delete[] buffer;
}
#endif

struct FaultText {
    const char *name;
    std::string text;
    uint32_t recordMode;
};

void faultInTheCallReachesTheHostsHandler() {
    const EndToEndCase &shortFile = caseNamed("one byte short");
    const EndToEndCase &marked = caseNamed("marked, breaks scrambled");
    const FaultText texts[] = {
        {"three lines", "abc\r\ndef\r\nxy", 0},
        {"a marked file", std::string(marked.file, marked.fileSize), 0},
        {"a long text, plain mode", generatedText(7, 4000, 60, 5), 0},
        {"a long text, record mode", generatedText(8, 4000, 60, 5), 1},
    };
    const std::string path = pathOf("fault.txt");
    const std::string shortPath = pathOf("short.txt");
    if (!reload() || !writeFile(shortPath, shortFile.file, shortFile.fileSize))
        return fail(__FILE__, __LINE__, "cannot prepare");
    // Cancel before the faults: no fault may change the report's answer.
    script({IDCANCEL});
    call(shortPath, shortFile.fileSize + 1, 0);
    const DWORD tableBytes = VELLOMAR_RECORD_TABLE_WORDS * sizeof(uint16_t);
    // qemu-i386 puts no trap number in the signal frame of a page fault, and
    // Wine takes a fault of no known trap for an illegal instruction: there
    // the handler must still be reached, with that code.
    const DWORD faultCode =
        emulator().empty() ? EXCEPTION_ACCESS_VIOLATION : EXCEPTION_ILLEGAL_INSTRUCTION;
    uint16_t *noAccess = static_cast<uint16_t *>(
        VirtualAlloc(nullptr, tableBytes, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
    if (noAccess == nullptr)
        return fail(__FILE__, __LINE__, "VirtualAlloc failed: error %lu", GetLastError());
    for (const FaultText &t : texts) {
        const uint32_t size = static_cast<uint32_t>(t.text.size());
        if (!writeFile(path, t.text.data(), size)) {
            EXPECT(false, "%s: cannot write the file", t.name);
            continue;
        }
        caughtCode = 0;
        callGuarded(path, size, noAccess, t.recordMode);
        EXPECT(caughtCode == faultCode, "%s: the handler saw %08lx, expected %08lx", t.name,
               static_cast<unsigned long>(caughtCode), static_cast<unsigned long>(faultCode));
        EXPECT(DeleteFileA(path.c_str()), "%s: file still open after the fault: error %lu",
               t.name, GetLastError());
        writeFile(path, t.text.data(), size);
        const uint32_t expected = t.text.compare(0, 4, "_PW_") == 0
                                      ? marked.result
                                      : referenceTable(t.text, t.recordMode != 0)[0];
        const Call good = call(path, size, t.recordMode);
        EXPECT(good.result == expected, "%s: the next call gave %u, expected %u", t.name,
               good.result, expected);
        DeleteFileA(path.c_str());
    }
    VirtualFree(noAccess, 0, MEM_RELEASE);
    const Call silenced = call(shortPath, shortFile.fileSize + 1, 0);
    EXPECT(silenced.result == 0 && boxes.size() == 1,
           "after the faults: result %u and %u boxes, expected 0 and the one before",
           silenced.result, unsigned(boxes.size()));
    DeleteFileA(shortPath.c_str());
}

// The loader entry, called directly with each of its four reasons: it must
// succeed and leave the answer word as it was, Cancel or not.
void loaderEntryChangesNothing() {
    const DWORD reasons[] = {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH,
                             DLL_PROCESS_DETACH};
    const EndToEndCase &e = caseNamed("one byte short");
    const std::string path = pathOf("short.txt");
    if (!writeFile(path, e.file, e.fileSize))
        return fail(__FILE__, __LINE__, "cannot write the file");
    for (DWORD reason : reasons) {
        if (!reload())
            return;
        auto *base = reinterpret_cast<uint8_t *>(dll);
        const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
        const auto entry =
            reinterpret_cast<EntryFn>(base + nt->OptionalHeader.AddressOfEntryPoint);
        EXPECT(nt->OptionalHeader.AddressOfEntryPoint != 0, "the DLL has no entry point");
        if (nt->OptionalHeader.AddressOfEntryPoint == 0)
            return;

        script({IDOK});
        EXPECT(entry(dll, reason, nullptr) == TRUE, "reason %lu: entry did not succeed", reason);
        call(path, e.fileSize + 1, 0);
        EXPECT(boxes.size() == 1, "reason %lu on a fresh load: %u boxes, expected 1", reason,
               unsigned(boxes.size()));

        script({IDCANCEL});
        call(path, e.fileSize + 1, 0);
        EXPECT(entry(dll, reason, nullptr) == TRUE, "reason %lu: entry did not succeed", reason);
        call(path, e.fileSize + 1, 0);
        EXPECT(boxes.size() == 1, "reason %lu after Cancel: %u boxes, expected 1", reason,
               unsigned(boxes.size()));
    }
    DeleteFileA(path.c_str());
}

DWORD WINAPI callOnce(LPVOID parameter) {
    const auto *path = static_cast<const std::string *>(parameter);
    const EndToEndCase &e = caseNamed("record text, record mode");
    const Call c = call(*path, e.fileSize, e.recordMode);
    return c.result;
}

// Threads that start and end while the DLL is loaded reach its entry; they
// must not reset Cancel nor set it.
void threadsChangeNothing() {
    const EndToEndCase &shortCase = caseNamed("one byte short");
    const EndToEndCase &record = caseNamed("record text, record mode");
    const std::string shortPath = pathOf("short.txt");
    const std::string recordPath = pathOf("record.txt");
    if (!writeFile(shortPath, shortCase.file, shortCase.fileSize) ||
        !writeFile(recordPath, record.file, record.fileSize))
        return fail(__FILE__, __LINE__, "cannot write the files");
    for (const bool cancelled : {false, true}) {
        if (!reload())
            return;
        script({IDCANCEL});
        if (cancelled)
            call(shortPath, shortCase.fileSize + 1, 0);
        const HANDLE thread = CreateThread(nullptr, 0, callOnce,
                                           const_cast<std::string *>(&recordPath), 0, nullptr);
        EXPECT(thread != nullptr, "CreateThread failed");
        if (thread == nullptr)
            return;
        WaitForSingleObject(thread, INFINITE);
        DWORD threadResult = 0;
        GetExitCodeThread(thread, &threadResult);
        CloseHandle(thread);
        EXPECT(threadResult == record.result, "the thread's call gave %lu", threadResult);

        const unsigned before = unsigned(boxes.size());
        call(shortPath, shortCase.fileSize + 1, 0);
        const unsigned shown = unsigned(boxes.size()) - before;
        EXPECT(shown == (cancelled ? 0u : 1u), "%s, after a thread: %u boxes",
               cancelled ? "cancelled" : "fresh", shown);
    }
    DeleteFileA(shortPath.c_str());
    DeleteFileA(recordPath.c_str());
}

struct Worker {
    std::string path;
    uint32_t fileSize;
    int calls;
    int wrong; // results that were not 0
};

DWORD WINAPI mismatchRepeatedly(LPVOID parameter) {
    auto *w = static_cast<Worker *>(parameter);
    for (int i = 0; i < w->calls; ++i)
        if (call(w->path, w->fileSize + 7, 0).result != 0)
            ++w->wrong;
    return 0;
}

// Reports from several threads at once: each box must carry its own
// thread's number, never digits torn from another's.
void concurrentReportsKeepTheirText() {
    if (!reload())
        return;
    script({});
    Worker workers[4];
    HANDLE threads[4];
    for (int t = 0; t < 4; ++t) {
        char name[32];
        std::snprintf(name, sizeof name, "worker%d.txt", t);
        const std::string bytes(static_cast<size_t>(1000 * (t + 1) + t), 'x');
        workers[t] = {pathOf(name), uint32_t(bytes.size()), 100, 0};
        if (!writeFile(workers[t].path, bytes.data(), workers[t].fileSize))
            return fail(__FILE__, __LINE__, "cannot write %s", name);
    }
    for (int t = 0; t < 4; ++t)
        threads[t] = CreateThread(nullptr, 0, mismatchRepeatedly, &workers[t], 0, nullptr);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    unsigned perWorker[4] = {};
    for (int t = 0; t < 4; ++t) {
        CloseHandle(threads[t]);
        EXPECT(workers[t].wrong == 0, "worker %d: %d calls did not return 0", t, workers[t].wrong);
    }
    for (const Box &box : boxes) {
        bool known = false;
        for (int t = 0; t < 4; ++t)
            if (box.text == "DLL error: " + std::to_string(workers[t].fileSize)) {
                ++perWorker[t];
                known = true;
            }
        EXPECT(known, "box text '%s' belongs to no worker", box.text.c_str());
    }
    for (int t = 0; t < 4; ++t) {
        EXPECT(perWorker[t] == 100, "worker %d: %u boxes, expected 100", t, perWorker[t]);
        DeleteFileA(workers[t].path.c_str());
    }
}

struct Holder {
    const char *name;
    DWORD access;
    DWORD share;
    bool readable; // whether StringTable can open the file meanwhile
};

// Another handle on the file decides whether the DLL may open it: readers
// that share reading are fine; a writer, or anyone who does not share
// reading, makes the call a silent 0.
void otherHandlesOnTheFile() {
    const Holder holders[] = {
        {"writer sharing nothing", GENERIC_WRITE, 0, false},
        {"writer sharing reading", GENERIC_WRITE, FILE_SHARE_READ, false},
        {"writer sharing reading and writing", GENERIC_READ | GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {"reader sharing nothing", GENERIC_READ, 0, false},
        {"reader sharing reading", GENERIC_READ, FILE_SHARE_READ, true},
    };
    if (!reload())
        return;
    const EndToEndCase &e = caseNamed("three lines");
    const std::string path = pathOf("held.txt");
    if (!writeFile(path, e.file, e.fileSize))
        return fail(__FILE__, __LINE__, "cannot write the file");
    for (const Holder &h : holders) {
        script({});
        const HANDLE held =
            CreateFileA(path.c_str(), h.access, h.share, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT(held != INVALID_HANDLE_VALUE, "%s: cannot open the file", h.name);
        if (held == INVALID_HANDLE_VALUE)
            continue;
        const Call c = call(path, e.fileSize, 0);
        CloseHandle(held);
        EXPECT(boxes.empty(), "%s: a box was shown", h.name);
        if (h.readable) {
            EXPECT(c.result == e.result, "%s: result %u, expected %u", h.name, c.result, e.result);
        } else {
            EXPECT(c.result == 0, "%s: result %u, expected 0", h.name, c.result);
            EXPECT(bufferUntouched(c) && tableUntouched(c), "%s: host memory written", h.name);
        }
    }
    DeleteFileA(path.c_str());
}

// The delete checks elsewhere mean something only if an open handle does
// keep a file here, as it does on Windows.
void openHandleBlocksDelete() {
    const std::string path = pathOf("kept.txt");
    if (!writeFile(path, "x", 1))
        return fail(__FILE__, __LINE__, "cannot write the file");
    const HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    EXPECT(!DeleteFileA(path.c_str()), "a file open for reading was deleted");
    CloseHandle(held);
    EXPECT(DeleteFileA(path.c_str()), "cannot delete the closed file");
}

struct HugeFile {
    const char *name;
    uint64_t length;
    uint32_t expectedSize;
    const char *boxText; // or nullptr: a silent 0
};

// Files at and past 4 GiB, sparse so that they take no room. The low word
// of the size alone must never decide: 4 GiB + 5 is not a 5-byte file.
void filesOf4GiB() {
    const HugeFile files[] = {
        {"4 GiB - 1 bytes, a real size that shows", 0xFFFFFFFFull, 16, "DLL error: -1"},
        {"exactly 4 GiB", 0x100000000ull, 16, nullptr},
        {"4 GiB + 5 bytes, expecting 5", 0x100000005ull, 5, nullptr},
        {"8 GiB - 1 bytes, low word all ones", 0x1FFFFFFFFull, 16, nullptr},
    };
    if (!reload())
        return;
    const std::string path = pathOf("huge.bin");
    for (const HugeFile &f : files) {
        script({});
        ULARGE_INTEGER freeBefore = {}, freeAfter = {};
        GetDiskFreeSpaceExA(folder.c_str(), &freeBefore, nullptr, nullptr);
        if (!writeSparseFile(path, f.length)) {
            EXPECT(false, "%s: cannot make the file: error %lu", f.name, GetLastError());
            DeleteFileA(path.c_str());
            continue;
        }
        GetDiskFreeSpaceExA(folder.c_str(), &freeAfter, nullptr, nullptr);
        EXPECT(freeAfter.QuadPart + (1ull << 30) > freeBefore.QuadPart,
               "%s: the file is not sparse here, it took %llu MiB", f.name,
               (freeBefore.QuadPart - freeAfter.QuadPart) >> 20);
        const Call c = call(path, f.expectedSize, 0);
        EXPECT(DeleteFileA(path.c_str()), "%s: file still in use after the call", f.name);
        EXPECT(c.result == 0, "%s: result %u", f.name, c.result);
        EXPECT(bufferUntouched(c), "%s: buffer written", f.name);
        EXPECT(tableUntouched(c), "%s: table written", f.name);
        expectOneBoxOrNone(f.name, f.boxText);
    }
}

// Names that open nothing: a silent 0 with host memory untouched.
void unopenableNames() {
    if (!reload())
        return;
    const std::string names[] = {pathOf("missing.txt"), folder, folder.substr(0, folder.size() - 1),
                                 pathOf("no\\such\\folder.txt"), ""};
    for (const std::string &name : names) {
        script({});
        const Call c = call(name, 4, 0);
        EXPECT(c.result == 0, "'%s': result %u", name.c_str(), c.result);
        EXPECT(boxes.empty(), "'%s': a box was shown", name.c_str());
        EXPECT(bufferUntouched(c) && tableUntouched(c), "'%s': host memory written", name.c_str());
    }
}

struct Device {
    const char *name;
    std::string path;
    uint32_t expectedSize;
    uint32_t result;
    std::vector<uint16_t> table; // from word 0 on, when result is not 0
    const char *boxText;         // or nullptr
};

// Names that open something other than a file on a disk. The DLL cannot ask
// what type the handle is (GetFileType would be a sixth import), so it goes
// by what GetFileSize says. A named pipe has no size: a silent 0, which
// needs the last error read from the thread's own block at this build's
// offset. NUL says 0: it is read like an empty file.
void devicesAndPipes() {
    if (!reload())
        return;
    char pipeName[64];
    std::snprintf(pipeName, sizeof pipeName, "\\\\.\\pipe\\vellomar-host-%lu",
                  GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeA(pipeName, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096,
                                         4096, 0, nullptr);
    EXPECT(pipe != INVALID_HANDLE_VALUE, "CreateNamedPipeA failed: error %lu", GetLastError());
    const Device devices[] = {
        {"a named pipe", pipeName, 5, 0, {}, nullptr},
        {"NUL, nothing expected", "NUL", 0, 1, {1, 3, VELLOMAR_END_MARKER}, nullptr},
        {"NUL, 4 bytes expected", "NUL", 4, 0, {}, "DLL error: 0"},
    };
    for (const Device &d : devices) {
        if (d.path == pipeName && pipe == INVALID_HANDLE_VALUE)
            continue;
        script({});
        const Call c = call(d.path, d.expectedSize, 0);
        EXPECT(c.result == d.result, "%s: result %u, expected %u", d.name, c.result, d.result);
        if (d.result == 0)
            EXPECT(bufferUntouched(c) && tableUntouched(c), "%s: host memory written", d.name);
        else
            EXPECT(std::vector<uint16_t>(c.table.begin(), c.table.begin() + d.table.size()) ==
                       d.table,
                   "%s: the table differs", d.name);
        expectOneBoxOrNone(d.name, d.boxText);
    }
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
}

std::string besideThisProgram(const char *file);

std::string besideThisProgram(const char *file);

bool exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// vellomar-mark.exe without --force, and an OUTPUT that another program
// makes after the tool has looked: once its temporary file is there, the
// look is over. Only the move itself can still refuse to replace, and the
// temporary file must go when it does. A run in which the tool moved before
// OUTPUT could be made (or before it was closed again) proves nothing, and
// is made again with a longer input, which takes longer to write.
void markRefusesAnOutputMadeAfterItsCheck() {
    const std::string mark = besideThisProgram("vellomar-mark.exe");
    const std::string input = pathOf("race-input.txt");
    const std::string output = pathOf("race-output.txt");
    bool decided = false;
    for (uint32_t megabytes = 16; megabytes <= 256 && !decided; megabytes *= 2) {
        std::string text = "head\r\n";
        const std::string record = "@=RECORD\r\nbody of the record, long enough\r\n";
        while (text.size() < (megabytes << 20))
            text += record;
        DeleteFileA(output.c_str());
        if (!writeFile(input, text.data(), uint32_t(text.size())))
            return fail(__FILE__, __LINE__, "cannot write the input");
        std::string command = "\"" + mark + "\" \"" + input + "\" \"" + output + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(mark.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                            nullptr, nullptr, &startup, &process))
            return fail(__FILE__, __LINE__, "cannot start %s: error %lu", mark.c_str(),
                        GetLastError());
        char name[64];
        std::snprintf(name, sizeof name, ".vellomar-mark.%lu.0", process.dwProcessId);
        const std::string temp = pathOf(name);
        ResumeThread(process.hThread);
        while (!exists(temp) && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        }
        const HANDLE made =
            CreateFileA(output.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (made != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(made, "keep", 4, &written, nullptr);
            CloseHandle(made);
            decided = exists(temp);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (decided) {
            EXPECT(status == 1, "%u MiB: status %lu, expected 1", megabytes, status);
            char kept[8] = {};
            DWORD got = 0;
            const HANDLE in = CreateFileA(output.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
            if (in != INVALID_HANDLE_VALUE) {
                ReadFile(in, kept, sizeof kept - 1, &got, nullptr);
                CloseHandle(in);
            }
            EXPECT(std::string(kept, got) == "keep", "%u MiB: OUTPUT replaced", megabytes);
            WIN32_FIND_DATAA found;
            const HANDLE search = FindFirstFileA(pathOf(".vellomar-mark.*").c_str(), &found);
            EXPECT(search == INVALID_HANDLE_VALUE, "%u MiB: temporary file %s left behind",
                   megabytes, search == INVALID_HANDLE_VALUE ? "" : found.cFileName);
            if (search != INVALID_HANDLE_VALUE) {
                FindClose(search);
                DeleteFileA(temp.c_str());
            }
        }
    }
    EXPECT(decided, "vellomar-mark moved its file before OUTPUT could be made, up to 256 MiB");
    DeleteFileA(input.c_str());
    DeleteFileA(output.c_str());
}

struct VersionString {
    const char *name;
    std::string expected;
};

// The version resource as Windows programs and installers read it: the fixed
// file and product versions, and the strings of the block its Translation
// names, all from the project's one version.
void versionResourceMatchesTheProject() {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dllPath.c_str(), &ignored);
    EXPECT(size != 0, "no version information: error %lu", GetLastError());
    if (size == 0)
        return;
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(dllPath.c_str(), 0, size, info.data()))
        return fail(__FILE__, __LINE__, "GetFileVersionInfoA failed: error %lu", GetLastError());

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    EXPECT(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) &&
               length >= sizeof *fixed,
           "no fixed version block");
    if (fixed == nullptr)
        return;
    const DWORD ms = MAKELONG(VELLOMAR_VERSION_MINOR, VELLOMAR_VERSION_MAJOR);
    const DWORD ls = MAKELONG(0, VELLOMAR_VERSION_PATCH);
    EXPECT(fixed->dwFileVersionMS == ms && fixed->dwFileVersionLS == ls,
           "file version %08lx.%08lx, expected %08lx.%08lx", fixed->dwFileVersionMS,
           fixed->dwFileVersionLS, ms, ls);
    EXPECT(fixed->dwProductVersionMS == ms && fixed->dwProductVersionLS == ls,
           "product version %08lx.%08lx", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    EXPECT(fixed->dwFileType == VFT_DLL, "file type %lu, expected VFT_DLL", fixed->dwFileType);

    struct Translation {
        WORD language, codePage;
    } *translation = nullptr;
    EXPECT(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                          reinterpret_cast<void **>(&translation), &length) &&
               length >= sizeof *translation,
           "no Translation entry");
    if (translation == nullptr)
        return;
    char block[64];
    std::snprintf(block, sizeof block, "\\StringFileInfo\\%04x%04x\\", translation->language,
                  translation->codePage);
    const VersionString strings[] = {
        {"FileVersion", VELLOMAR_VERSION},
        {"ProductVersion", VELLOMAR_VERSION},
        {"ProductName", "Vellomar"},
        {"OriginalFilename", "Vellomar.dll"},
        {"InternalName", "Vellomar"},
    };
    for (const VersionString &v : strings) {
        char *value = nullptr;
        const std::string query = block + std::string(v.name);
        const bool found =
            VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void **>(&value), &length);
        EXPECT(found && value != nullptr && v.expected == value, "%s is '%s', expected '%s'",
               query.c_str(), found && value != nullptr ? value : "(none)", v.expected.c_str());
    }
}

bool makeFolder() {
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        return false;
    char name[64];
    std::snprintf(name, sizeof name, "vellomar-windows-%lu\\", GetCurrentProcessId());
    folder = std::string(temp) + name;
    return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string besideThisProgram(const char *file) {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, length);
    const size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + file;
}

} // namespace

int main(int argc, char **argv) {
    // A crash must end the run with a status, not wait on an error dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    InitializeCriticalSection(&boxLock);
    dllPath = argc > 1 ? argv[1] : besideThisProgram("Vellomar.dll");
    if (!makeFolder()) {
        std::printf("cannot make a temporary folder\n0 passed, 1 failed\n");
        return 1;
    }
    std::printf("%d-bit Vellomar.dll from %s, files in %s\n", int(sizeof(void *) * 8),
                dllPath.c_str(), folder.c_str());

    run("StringTable by name and by ordinal 1, nothing else", exportsByNameAndOrdinal);
    run("shared end-to-end cases through the DLL", sharedEndToEndCases);
    run("long texts in both modes match the table rules", longTextsMatchTheRules);
    run("texts of every short length against pages the host cannot touch",
        textsAgainstNoAccessPages);
#if defined(__i386__)
    run("32-bit only: __stdcall from any stack alignment", stdcallFromAnyStackAlignment);
#endif
    run("box answers: OK, Cancel, failed box", boxAnswers);
    run("FreeLibrary then LoadLibraryA starts afresh", reloadStartsAfresh);
    run("a fault inside the call reaches the host's own handler", faultInTheCallReachesTheHostsHandler);
    run("the loader entry's four reasons change nothing", loaderEntryChangesNothing);
    run("a thread started and ended changes nothing", threadsChangeNothing);
    // Under qemu-i386 the whole process dies (the emulator's own SIGSEGV)
    // when two threads call the DLL at the same time, even once each; one
    // thread at a time, as in the test before, runs.
    if (emulator().empty())
        run("reports from four threads keep their own text", concurrentReportsKeepTheirText);
    else
        std::printf("left out under %s: reports from four threads keep their own text\n",
                    emulator().c_str());
    run("an open handle blocks DeleteFileA here", openHandleBlocksDelete);
    run("other handles on the file: sharing decides", otherHandlesOnTheFile);
    run("files of 4 GiB and around", filesOf4GiB);
    run("names that open nothing", unopenableNames);
    run("devices and pipes: a named pipe fails silently, NUL is empty", devicesAndPipes);
    run("vellomar-mark keeps an OUTPUT made after its check", markRefusesAnOutputMadeAfterItsCheck);
    run("the version resource matches the project version", versionResourceMatchesTheProject);

    run("FreeLibrary unloads the DLL", [] {
        if (reload())
            unload();
    });
    RemoveDirectoryA(folder.c_str());
    std::printf("%d passed, %d failed\n", passedTests, failedTests);
    return failedTests == 0 && passedTests > 0 ? 0 : 1;
}
