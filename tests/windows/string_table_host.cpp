// The Windows suite: a host that loads Vellomar.dll with LoadLibraryA, calls
// StringTable through a VELLOMAR_CALL pointer from GetProcAddress (__stdcall
// in the 32-bit build, the one x64 convention in the 64-bit build), and
// checks what it gets, under Wine or on Windows. No box ever reaches the
// screen: the DLL's import slot for MessageBoxA is pointed at a stand-in that
// records each box and gives scripted answers. What the table and the
// decoding should be comes from text/'s scalar reference, linked in.
//
//   vellomar-windows-host [GoogleTest options] [path\to\Vellomar.dll]
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>
#include <excpt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "cases/case_check.h"
#include "cases/end_to_end_cases.h"
#include "cases/guarded_pages.h"
#include "vellomar.h"

namespace {

using StringTableFn = uint32_t(VELLOMAR_CALL *)(uint8_t *buffer, uint32_t expectedSize,
                                                uint16_t *table, const char *fileName,
                                                uint32_t recordMode);
using EntryFn = BOOL(WINAPI *)(HINSTANCE, DWORD, LPVOID);

// The user-mode emulator the test command runs this program under where the
// kernel refuses 32-bit programs (cmake/emulate-i386 names it), or "".
std::string emulator() {
    char name[64];
    const DWORD length = GetEnvironmentVariableA("VELLOMAR_EMULATED_BY", name, sizeof name);
    return length > 0 && length < sizeof name ? std::string(name, length) : std::string();
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

std::vector<std::string> boxTexts() {
    std::vector<std::string> texts;
    for (const Box &box : boxes)
        texts.push_back(box.text);
    return texts;
}

// The boxes shown since script() must have exactly these texts, and each be
// the library's: no owner, its caption, OK and Cancel and nothing else.
void expectBoxes(const std::vector<std::string> &texts) {
    EXPECT_EQ(boxTexts(), texts);
    for (const Box &box : boxes) {
        EXPECT_EQ(box.caption, "Tarvoni DLL");
        EXPECT_EQ(box.type, UINT(MB_OKCANCEL));
        EXPECT_EQ(box.owner, nullptr);
    }
}

void expectOneBoxOrNone(const char *boxText) {
    expectBoxes(boxText != nullptr ? std::vector<std::string>{boxText}
                                   : std::vector<std::string>{});
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
// MessageBoxA import at the scripted box.
::testing::AssertionResult load() {
    dll = LoadLibraryA(dllPath.c_str());
    if (dll == nullptr)
        return ::testing::AssertionFailure()
               << "LoadLibraryA(" << dllPath << ") failed: error " << GetLastError();
    const FARPROC byName = GetProcAddress(dll, "StringTable");
    const FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(1));
    if (byName == nullptr || byName != byOrdinal)
        return ::testing::AssertionFailure()
               << "StringTable by name " << reinterpret_cast<void *>(byName)
               << ", by ordinal 1 " << reinterpret_cast<void *>(byOrdinal);
    stringTable = reinterpret_cast<StringTableFn>(reinterpret_cast<void *>(byName));

    void **slot = importSlot(dll, "USER32.dll", "MessageBoxA");
    if (slot == nullptr)
        return ::testing::AssertionFailure() << "no import slot for USER32.dll!MessageBoxA";
    const FARPROC real = GetProcAddress(GetModuleHandleA("user32.dll"), "MessageBoxA");
    if (*slot != reinterpret_cast<void *>(real))
        return ::testing::AssertionFailure() << "the import slot holds " << *slot
                                             << ", not user32's MessageBoxA";
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection))
        return ::testing::AssertionFailure() << "VirtualProtect failed: error " << GetLastError();
    *slot = reinterpret_cast<void *>(&scriptedMessageBoxA);
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return ::testing::AssertionSuccess();
}

// Unloads the DLL and makes sure it really left the process, so that the
// next load starts from a fresh image.
void unload() {
    if (dll == nullptr)
        return;
    FreeLibrary(dll);
    dll = nullptr;
    stringTable = nullptr;
    EXPECT_EQ(GetModuleHandleA("Vellomar.dll"), nullptr) << "still loaded after FreeLibrary";
}

::testing::AssertionResult reload() {
    unload();
    return load();
}

// Every test starts from a fresh load of the DLL, with no box scripted.
class Dll : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(reload());
        script({});
    }
};

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

bool writeFile(const std::string &path, const std::string &bytes) {
    return writeFile(path, bytes.data(), static_cast<uint32_t>(bytes.size()));
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
    std::abort();
}

// A file of one shared case, written for a test and deleted after it.
struct CaseFile {
    explicit CaseFile(const char *caseName, const char *fileName = "case.txt")
        : e(caseNamed(caseName)), path(pathOf(fileName)) {
        EXPECT_TRUE(writeFile(path, e.file, e.fileSize)) << path;
    }
    ~CaseFile() { DeleteFileA(path.c_str()); }
    const EndToEndCase &e;
    const std::string path;
};

// ---------------------------------------------------------------- tests

TEST_F(Dll, ExportsStringTableByNameAndOrdinalOnly) {
    EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(2)), nullptr) << "something at ordinal 2";
    EXPECT_EQ(GetProcAddress(dll, "DllMain"), nullptr);
    EXPECT_EQ(GetProcAddress(dll, "StringTable@20"), nullptr);
}

// The native suite's cases, through the DLL. After every call the file must
// be free to delete: a handle left open would keep it.
class EndToEnd : public Dll, public ::testing::WithParamInterface<EndToEndCase> {};

TEST_P(EndToEnd, ThroughTheDll) {
    const EndToEndCase &e = GetParam();
    const std::string path = pathOf("case.txt");
    ASSERT_TRUE(writeFile(path, e.file, e.fileSize));
    const Call c = call(path, expectedSizeOf(e), e.recordMode);
    EXPECT_TRUE(DeleteFileA(path.c_str())) << "file in use after the call: " << GetLastError();
    EXPECT_EQ(caseMismatch(e, c, boxTexts()), "");
    expectOneBoxOrNone(e.boxText);
}

INSTANTIATE_TEST_SUITE_P(Shared, EndToEnd, ::testing::ValuesIn(kEndToEndCases), RowName());

// ---------------------------------------------------------------- long texts

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

void PrintTo(const LongText &t, std::ostream *out) { *out << t.name; }

// Texts on which the DLL's vector code does the work, past both entry
// limits and past 64 KiB in one entry.
const LongText kLongTexts[] = {
    {"300 KB of mixed lines", generatedText(1, 8000, 70, 5)},
    {"lines of 0 to 3 bytes, past both limits", generatedText(2, 70000, 3, 2)},
    {"a line of 70000 bytes among others",
     generatedText(3, 50, 40, 4) + std::string(70000, 'q') + generatedText(4, 50, 40, 4)},
    {"no line break at all", std::string(100000, 'x')},
    {"marked, 200 KB of records", "_PW_head\r\n" + flip("@=" + generatedText(9, 6000, 60, 4))},
};

class LongTexts : public Dll, public ::testing::WithParamInterface<LongText> {};

// Each text in both modes, from buffers at every offset modulo 4, so that
// neither alignment of the host's memory nor of its words matters.
TEST_P(LongTexts, MatchTheReferenceInBothModesAtEveryOffset) {
    const std::string &text = GetParam().text;
    const std::string path = pathOf("long.txt");
    ASSERT_TRUE(writeFile(path, text));
    const auto size = static_cast<uint32_t>(text.size());
    for (uint32_t mode = 0; mode <= 1; ++mode) {
        const Reference expected = referenceOf(text, mode);
        for (uint32_t offset = 0; offset < 4; ++offset) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", offset " + std::to_string(offset));
            std::vector<uint8_t> buffer(size + 8, kBufferFill);
            std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS + 4, kTableFill);
            uint8_t *at = buffer.data() + offset;
            uint16_t *words = reinterpret_cast<uint16_t *>(
                reinterpret_cast<uint8_t *>(table.data()) + (offset & 2));
            ASSERT_EQ(stringTable(at, size, words, path.c_str(), mode), expected.count);
            EXPECT_EQ(std::vector<uint16_t>(words, words + expected.table.size()), expected.table);
            EXPECT_EQ(words[expected.table.size()], kTableFill) << "wrote past the end marker";
            EXPECT_TRUE(std::string(at, at + size) == expected.text) << "the buffer differs";
            EXPECT_EQ(at[size], kBufferFill) << "wrote past expectedSize";
        }
    }
    DeleteFileA(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Generated, LongTexts, ::testing::ValuesIn(kLongTexts), RowName());

// Every length up to a few of the kernels' 64-byte blocks, in the host's
// buffer ending right before a page it cannot touch and starting right after
// one: plain and record texts in both modes, and marked files, which are
// decoded in place. The blocks lie on aligned addresses, so the ends fall
// at every offset within them.
TEST_F(Dll, TextsOfEveryShortLengthAgainstNoAccessPages) {
    static const GuardedPages pages;
    const std::string path = pathOf("guarded.txt");
    const std::string body = generatedText(5, 60, 12, 3);
    const std::string text = "hdr\r\n@=" + body, marked = "_PW_h\r\n" + flip("@=" + body);
    const struct {
        const char *name;
        const std::string &stored;
        uint32_t mode;
    } files[] = {{"plain mode", text, 0}, {"record mode", text, 1}, {"marked", marked, 0}};
    for (uint32_t length = 0; length <= 260; ++length) {
        for (const auto &file : files) {
            const std::string stored = file.stored.substr(0, length);
            const Reference expected = referenceOf(stored, file.mode);
            ASSERT_TRUE(writeFile(path, stored));
            for (uint8_t *at : {pages.beforeGuard(length), pages.afterGuard()}) {
                SCOPED_TRACE(std::string(file.name) + ", " + std::to_string(length) + " bytes " +
                             (at == pages.afterGuard() ? "after" : "before") +
                             " a page it cannot touch");
                std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS, kTableFill);
                ASSERT_EQ(stringTable(at, length, table.data(), path.c_str(), file.mode),
                          expected.count);
                EXPECT_EQ(std::vector<uint16_t>(table.begin(), table.begin() + expected.table.size()),
                          expected.table);
                EXPECT_TRUE(std::string(at, at + length) == expected.text) << "the buffer differs";
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
TEST_F(Dll, StdcallFromAnyStackAlignment) {
    const std::string text = generatedText(5, 2000, 60, 4);
    const std::string path = pathOf("stdcall.txt");
    ASSERT_TRUE(writeFile(path, text));
    const uint32_t count = referenceOf(text, 1).count;
    for (uint32_t misalign = 0; misalign < 16; misalign += 4) {
        SCOPED_TRACE("stack off 16 by " + std::to_string(misalign));
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
        EXPECT_EQ(int32_t(espAfter - ((espBefore & ~15u) - misalign)), 0)
            << "the stack pointer moved";
        EXPECT_EQ(result, count);
    }
    DeleteFileA(path.c_str());
}
#endif

// ---------------------------------------------------------------- the box

struct BoxScript {
    const char *name;
    std::deque<int> answers;
    int calls;         // size mismatches in a row
    unsigned expected; // boxes shown
};

void PrintTo(const BoxScript &s, std::ostream *out) { *out << s.name; }

const BoxScript kBoxScripts[] = {
    {"OK shows the next box too", {IDOK, IDOK, IDOK}, 3, 3},
    {"Cancel silences every later box", {IDOK, IDCANCEL, IDOK}, 5, 2},
    {"Cancel at once", {IDCANCEL}, 4, 1},
    {"a box that failed is tried again", {0, 0, IDOK, IDCANCEL}, 6, 4},
};

class BoxAnswers : public Dll, public ::testing::WithParamInterface<BoxScript> {};

// What the user answered decides whether the next mismatch shows a box; the
// call's result never changes.
TEST_P(BoxAnswers, DecideTheNextBoxesOnly) {
    const BoxScript &s = GetParam();
    const CaseFile file("one byte short");
    script(s.answers);
    for (int i = 0; i < s.calls; ++i)
        EXPECT_EQ(call(file.path, file.e.fileSize + 1, 0).result, 0u) << "call " << i;
    expectBoxes(std::vector<std::string>(s.expected, file.e.boxText));
    // A right-sized call still works, whatever was answered ("abc" CR LF
    // "def" is two lines).
    EXPECT_EQ(call(file.path, file.e.fileSize, 0).result, 2u);
}

INSTANTIATE_TEST_SUITE_P(Scripted, BoxAnswers, ::testing::ValuesIn(kBoxScripts), RowName());

// Unloading forgets Cancel: the next load shows boxes again.
TEST_F(Dll, ReloadForgetsCancel) {
    const CaseFile file("one byte short");
    script({IDCANCEL});
    call(file.path, file.e.fileSize + 1, 0);
    call(file.path, file.e.fileSize + 1, 0);
    EXPECT_EQ(boxes.size(), 1u) << "before the reload";
    ASSERT_TRUE(reload());
    script({});
    EXPECT_EQ(call(file.path, file.e.fileSize + 1, 0).result, 0u);
    EXPECT_EQ(boxes.size(), 1u) << "after the reload";
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

void PrintTo(const FaultText &t, std::ostream *out) { *out << t.name; }

const FaultText kFaultTexts[] = {
    {"three lines", "abc\r\ndef\r\nxy", 0},
    {"a marked file",
     std::string(caseNamed("marked, breaks scrambled").file,
                 caseNamed("marked, breaks scrambled").fileSize),
     0},
    {"a long text, plain mode", generatedText(7, 4000, 60, 5), 0},
    {"a long text, record mode", generatedText(8, 4000, 60, 5), 1},
};

class FaultInTheCall : public Dll, public ::testing::WithParamInterface<FaultText> {};

// The table in a page the host cannot write: the handler sees the fault, the
// file is closed, the next call works, and Cancel, answered before, holds.
TEST_P(FaultInTheCall, ReachesTheHostsHandler) {
    const FaultText &t = GetParam();
    const CaseFile shortFile("one byte short", "short.txt");
    script({IDCANCEL});
    call(shortFile.path, shortFile.e.fileSize + 1, 0);
    const std::string path = pathOf("fault.txt");
    ASSERT_TRUE(writeFile(path, t.text));
    // qemu-i386 puts no trap number in the signal frame of a page fault, and
    // Wine takes a fault of no known trap for an illegal instruction: there
    // the handler must still be reached, with that code.
    const DWORD faultCode =
        emulator().empty() ? EXCEPTION_ACCESS_VIOLATION : EXCEPTION_ILLEGAL_INSTRUCTION;
    const DWORD tableBytes = VELLOMAR_RECORD_TABLE_WORDS * sizeof(uint16_t);
    auto *noAccess = static_cast<uint16_t *>(
        VirtualAlloc(nullptr, tableBytes, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
    ASSERT_NE(noAccess, nullptr) << "VirtualAlloc failed: " << GetLastError();
    caughtCode = 0;
    callGuarded(path, uint32_t(t.text.size()), noAccess, t.recordMode);
    VirtualFree(noAccess, 0, MEM_RELEASE);
    EXPECT_EQ(DWORD(caughtCode), faultCode);
    EXPECT_TRUE(DeleteFileA(path.c_str())) << "file still open after the fault: " << GetLastError();

    ASSERT_TRUE(writeFile(path, t.text));
    EXPECT_EQ(call(path, uint32_t(t.text.size()), t.recordMode).result,
              referenceOf(t.text, t.recordMode).count)
        << "the next call";
    DeleteFileA(path.c_str());
    EXPECT_EQ(call(shortFile.path, shortFile.e.fileSize + 1, 0).result, 0u);
    EXPECT_EQ(boxes.size(), 1u) << "after the fault: only the box before it";
}

INSTANTIATE_TEST_SUITE_P(NoAccessTable, FaultInTheCall, ::testing::ValuesIn(kFaultTexts),
                         RowName());

// ---------------------------------------------------------------- the loader

struct Reason {
    const char *name;
    DWORD reason;
};

void PrintTo(const Reason &r, std::ostream *out) { *out << r.name; }

const Reason kReasons[] = {{"process attach", DLL_PROCESS_ATTACH},
                           {"thread attach", DLL_THREAD_ATTACH},
                           {"thread detach", DLL_THREAD_DETACH},
                           {"process detach", DLL_PROCESS_DETACH}};

class LoaderEntry : public Dll, public ::testing::WithParamInterface<Reason> {};

// The loader entry, called directly: it must succeed and leave the answer
// word as it was, Cancel or not.
TEST_P(LoaderEntry, SucceedsAndChangesNothing) {
    const DWORD reason = GetParam().reason;
    const CaseFile file("one byte short");
    auto *base = reinterpret_cast<uint8_t *>(dll);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    ASSERT_NE(nt->OptionalHeader.AddressOfEntryPoint, 0u) << "the DLL has no entry point";
    const auto entry = reinterpret_cast<EntryFn>(base + nt->OptionalHeader.AddressOfEntryPoint);

    script({IDOK});
    EXPECT_EQ(entry(dll, reason, nullptr), TRUE);
    call(file.path, file.e.fileSize + 1, 0);
    EXPECT_EQ(boxes.size(), 1u) << "on a fresh load";

    script({IDCANCEL});
    call(file.path, file.e.fileSize + 1, 0);
    EXPECT_EQ(entry(dll, reason, nullptr), TRUE);
    call(file.path, file.e.fileSize + 1, 0);
    EXPECT_EQ(boxes.size(), 1u) << "after Cancel";
}

INSTANTIATE_TEST_SUITE_P(Reasons, LoaderEntry, ::testing::ValuesIn(kReasons), RowName());

// ---------------------------------------------------------------- threads

DWORD WINAPI callOnce(LPVOID parameter) {
    const auto *file = static_cast<const CaseFile *>(parameter);
    return call(file->path, file->e.fileSize, file->e.recordMode).result;
}

// Threads that start and end while the DLL is loaded reach its entry; they
// must not reset Cancel nor set it.
TEST_F(Dll, ThreadsStartedAndEndedChangeNothing) {
    const CaseFile shortFile("one byte short", "short.txt");
    const CaseFile record("record text, record mode", "record.txt");
    for (const bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "after Cancel" : "fresh");
        ASSERT_TRUE(reload());
        script({IDCANCEL});
        if (cancelled)
            call(shortFile.path, shortFile.e.fileSize + 1, 0);
        const HANDLE thread = CreateThread(nullptr, 0, callOnce,
                                           const_cast<CaseFile *>(&record), 0, nullptr);
        ASSERT_NE(thread, nullptr);
        WaitForSingleObject(thread, INFINITE);
        DWORD threadResult = 0;
        GetExitCodeThread(thread, &threadResult);
        CloseHandle(thread);
        EXPECT_EQ(threadResult, record.e.result);

        const size_t before = boxes.size();
        call(shortFile.path, shortFile.e.fileSize + 1, 0);
        EXPECT_EQ(boxes.size() - before, cancelled ? 0u : 1u);
    }
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
TEST_F(Dll, ReportsFromFourThreadsKeepTheirOwnText) {
    // Left out under qemu-i386 (tests/windows/CMakeLists.txt), where the
    // whole process dies of the emulator's own SIGSEGV when two threads call
    // the DLL at the same time; one thread at a time, as above, runs.
    Worker workers[4];
    HANDLE threads[4];
    for (int t = 0; t < 4; ++t) {
        const std::string name = "worker" + std::to_string(t) + ".txt";
        const std::string bytes(static_cast<size_t>(1000 * (t + 1) + t), 'x');
        workers[t] = {pathOf(name.c_str()), uint32_t(bytes.size()), 100, 0};
        ASSERT_TRUE(writeFile(workers[t].path, bytes));
    }
    for (int t = 0; t < 4; ++t)
        threads[t] = CreateThread(nullptr, 0, mismatchRepeatedly, &workers[t], 0, nullptr);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    std::vector<std::string> expected;
    for (int t = 0; t < 4; ++t) {
        CloseHandle(threads[t]);
        EXPECT_EQ(workers[t].wrong, 0) << "worker " << t << ": calls that did not return 0";
        DeleteFileA(workers[t].path.c_str());
        expected.insert(expected.end(), 100, "DLL error: " + std::to_string(workers[t].fileSize));
    }
    std::vector<std::string> shown = boxTexts();
    std::sort(shown.begin(), shown.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(shown == expected) << "boxes torn, lost or belonging to no worker";
}

// ---------------------------------------------------------------- files

// The delete checks elsewhere mean something only if an open handle does
// keep a file here, as it does on Windows.
TEST(Files, AnOpenHandleBlocksDeleteFileA) {
    const std::string path = pathOf("kept.txt");
    ASSERT_TRUE(writeFile(path, "x", 1));
    const HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(DeleteFileA(path.c_str())) << "a file open for reading was deleted";
    CloseHandle(held);
    EXPECT_TRUE(DeleteFileA(path.c_str())) << "cannot delete the closed file";
}

struct Holder {
    const char *name;
    DWORD access;
    DWORD share;
    bool readable; // whether StringTable can open the file meanwhile
};

void PrintTo(const Holder &h, std::ostream *out) { *out << h.name; }

const Holder kHolders[] = {
    {"writer sharing nothing", GENERIC_WRITE, 0, false},
    {"writer sharing reading", GENERIC_WRITE, FILE_SHARE_READ, false},
    {"writer sharing reading and writing", GENERIC_READ | GENERIC_WRITE,
     FILE_SHARE_READ | FILE_SHARE_WRITE, false},
    {"reader sharing nothing", GENERIC_READ, 0, false},
    {"reader sharing reading", GENERIC_READ, FILE_SHARE_READ, true},
};

class OtherHandle : public Dll, public ::testing::WithParamInterface<Holder> {};

// Another handle on the file decides whether the DLL may open it: readers
// that share reading are fine; a writer, or anyone who does not share
// reading, makes the call a silent 0.
TEST_P(OtherHandle, OnTheFileDecidesBySharing) {
    const Holder &h = GetParam();
    const CaseFile file("three lines", "held.txt");
    const HANDLE held =
        CreateFileA(file.path.c_str(), h.access, h.share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << "cannot open the file";
    const Call c = call(file.path, file.e.fileSize, 0);
    CloseHandle(held);
    expectOneBoxOrNone(nullptr);
    if (h.readable) {
        EXPECT_EQ(caseMismatch(file.e, c, boxTexts()), "");
    } else {
        EXPECT_EQ(c.result, 0u);
        EXPECT_TRUE(bufferUntouched(c) && tableUntouched(c)) << "host memory written";
    }
}

INSTANTIATE_TEST_SUITE_P(Holders, OtherHandle, ::testing::ValuesIn(kHolders), RowName());

struct HugeFile {
    const char *name;
    uint64_t length;
    uint32_t expectedSize;
    const char *boxText; // or nullptr: a silent 0
};

void PrintTo(const HugeFile &f, std::ostream *out) { *out << f.name; }

const HugeFile kHugeFiles[] = {
    {"4 GiB - 1 bytes, a real size that shows", 0xFFFFFFFFull, 16, "DLL error: -1"},
    {"exactly 4 GiB", 0x100000000ull, 16, nullptr},
    {"4 GiB + 5 bytes, expecting 5", 0x100000005ull, 5, nullptr},
    {"8 GiB - 1 bytes, low word all ones", 0x1FFFFFFFFull, 16, nullptr},
};

class FileOf4GiB : public Dll, public ::testing::WithParamInterface<HugeFile> {};

// Files at and past 4 GiB, sparse so that they take no room. The low word
// of the size alone must never decide: 4 GiB + 5 is not a 5-byte file.
TEST_P(FileOf4GiB, IsNeverRead) {
    const HugeFile &f = GetParam();
    const std::string path = pathOf("huge.bin");
    ULARGE_INTEGER freeBefore = {}, freeAfter = {};
    GetDiskFreeSpaceExA(folder.c_str(), &freeBefore, nullptr, nullptr);
    const bool made = writeSparseFile(path, f.length);
    const DWORD error = GetLastError();
    if (!made)
        DeleteFileA(path.c_str());
    ASSERT_TRUE(made) << "cannot make the file: error " << error;
    GetDiskFreeSpaceExA(folder.c_str(), &freeAfter, nullptr, nullptr);
    EXPECT_GT(freeAfter.QuadPart + (1ull << 30), freeBefore.QuadPart)
        << "the file is not sparse here";
    const Call c = call(path, f.expectedSize, 0);
    EXPECT_TRUE(DeleteFileA(path.c_str())) << "file still in use after the call";
    EXPECT_EQ(c.result, 0u);
    EXPECT_TRUE(bufferUntouched(c)) << "buffer written";
    EXPECT_TRUE(tableUntouched(c)) << "table written";
    expectOneBoxOrNone(f.boxText);
}

INSTANTIATE_TEST_SUITE_P(Sparse, FileOf4GiB, ::testing::ValuesIn(kHugeFiles), RowName());

// Names that open nothing: a silent 0 with host memory untouched.
TEST_F(Dll, NamesThatOpenNothingFailSilently) {
    const std::string names[] = {pathOf("missing.txt"), folder, folder.substr(0, folder.size() - 1),
                                 pathOf("no\\such\\folder.txt"), ""};
    for (const std::string &name : names) {
        SCOPED_TRACE("'" + name + "'");
        script({});
        const Call c = call(name, 4, 0);
        EXPECT_EQ(c.result, 0u);
        expectOneBoxOrNone(nullptr);
        EXPECT_TRUE(bufferUntouched(c) && tableUntouched(c)) << "host memory written";
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
TEST_F(Dll, DevicesAndPipes) {
    const std::string pipeName =
        "\\\\.\\pipe\\vellomar-host-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE,
                                         1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << "CreateNamedPipeA failed: " << GetLastError();
    const Device devices[] = {
        {"a named pipe", pipeName, 5, 0, {}, nullptr},
        {"NUL, nothing expected", "NUL", 0, 1, {1, 3, VELLOMAR_END_MARKER}, nullptr},
        {"NUL, 4 bytes expected", "NUL", 4, 0, {}, "DLL error: 0"},
    };
    for (const Device &d : devices) {
        SCOPED_TRACE(d.name);
        script({});
        const Call c = call(d.path, d.expectedSize, 0);
        EXPECT_EQ(c.result, d.result);
        if (d.result == 0)
            EXPECT_TRUE(bufferUntouched(c) && tableUntouched(c)) << "host memory written";
        else
            EXPECT_EQ(std::vector<uint16_t>(c.table.begin(), c.table.begin() + d.table.size()),
                      d.table);
        expectOneBoxOrNone(d.boxText);
    }
    CloseHandle(pipe);
}

// ---------------------------------------------------------------- the file

struct VersionString {
    const char *name;
    std::string expected;
};

// The version resource as Windows programs and installers read it: the fixed
// file and product versions, and the strings of the block its Translation
// names, all from the project's one version.
TEST(VersionResource, MatchesTheProject) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dllPath.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version information: error " << GetLastError();
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(dllPath.c_str(), 0, size, info.data())) << GetLastError();

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) &&
                length >= sizeof *fixed)
        << "no fixed version block";
    const DWORD ms = MAKELONG(VELLOMAR_VERSION_MINOR, VELLOMAR_VERSION_MAJOR);
    const DWORD ls = MAKELONG(0, VELLOMAR_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, ms);
    EXPECT_EQ(fixed->dwFileVersionLS, ls);
    EXPECT_EQ(fixed->dwProductVersionMS, ms);
    EXPECT_EQ(fixed->dwProductVersionLS, ls);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_DLL));

    struct Translation {
        WORD language, codePage;
    } *translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &length) &&
                length >= sizeof *translation)
        << "no Translation entry";
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
        ASSERT_TRUE(
            VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void **>(&value), &length) &&
            value != nullptr)
            << query << " is missing";
        EXPECT_EQ(std::string(value), v.expected) << query;
    }
}

TEST_F(Dll, FreeLibraryUnloadsIt) { unload(); }

bool makeFolder() {
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        return false;
    folder = std::string(temp) + "vellomar-windows-" + std::to_string(GetCurrentProcessId()) + "\\";
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
    ::testing::InitGoogleTest(&argc, argv);
    dllPath = argc > 1 ? argv[1] : besideThisProgram("Vellomar.dll");
    if (!makeFolder()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    std::printf("%d-bit Vellomar.dll from %s, files in %s\n", int(sizeof(void *) * 8),
                dllPath.c_str(), folder.c_str());
    std::fflush(stdout);
    const int status = RUN_ALL_TESTS();
    RemoveDirectoryA(folder.c_str());
    return status;
}
