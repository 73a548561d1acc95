// The Windows benchmark host: loads Vellomar.dll as any host does and times
// its StringTable call against the floor, this program's own CreateFileA,
// GetFileSize, one ReadFile and CloseHandle of the same file into the same
// buffer, and against a bare pass over the buffer right after that read, for
// record, plain and marked files of 4 KiB to 256 MiB; and every kernel set
// the processor has (linked in from the same sources as the DLL) against the
// bare pass on 256 MiB. Writes its own files into a temporary folder and removes them.
//
//   vellomar-windows-bench [path\to\Vellomar.dll] [repetitions]
//
// Runs every measurement `repetitions` times (9 by default; small files three
// times as often) in one shuffled order, so that a change in the machine's
// load weighs on all of them alike, and prints the medians, then the ratios
// the speed targets are stated in.
// Exits 1 when a file cannot be written or read, or when the DLL or a kernel
// gives another table than the scalar reference.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/bare_passes.h"
#include "bench/bench_kernels.h"
#include "bench/bench_texts.h"
#include "vellomar.h"

namespace {

using bench::Bytes;
using vellomar::TableMode;
using StringTableFn = uint32_t(VELLOMAR_CALL *)(uint8_t *buffer, uint32_t expectedSize,
                                                uint16_t *table, const char *fileName,
                                                uint32_t recordMode);

[[noreturn]] void quit(const char *what, const std::string &detail) {
    std::printf("%s: %s\n", what, detail.c_str());
    std::fflush(stdout);
    ExitProcess(1);
}

double seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct File {
    std::string name;
    std::string path;
    uint32_t size;
    uint32_t recordMode;
};

// The host's memory: one buffer and one table, shared by the floor, the call
// and the passes so that all of them write into the same pages.
std::vector<uint8_t> hostBuffer;
std::vector<uint16_t> hostTable(VELLOMAR_RECORD_TABLE_WORDS);

// The floor: what any reader of the file pays, the same four calls the DLL
// makes with the same arguments.
bool readFloor(const File &file) {
    const HANDLE handle = CreateFileA(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD high = 0;
    const DWORD low = GetFileSize(handle, &high);
    DWORD delivered = 0;
    const bool ok = low == file.size && high == 0 &&
                    ReadFile(handle, hostBuffer.data(), file.size, &delivered, nullptr) &&
                    delivered == file.size;
    CloseHandle(handle);
    return ok;
}

void writeFile(const File &file, const Bytes &bytes) {
    const HANDLE handle = CreateFileA(file.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      0, nullptr);
    DWORD written = 0;
    const bool ok = handle != INVALID_HANDLE_VALUE &&
                    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) &&
                    written == bytes.size();
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!ok)
        quit("cannot write", file.path);
}

// One measurement: `run` takes one sample of each of its `names`, in seconds.
struct Measurement {
    std::vector<std::string> names;
    std::function<std::vector<double>()> run;
    int samples; // in the whole run
};

// A sample of the floor, the call and the call's cost over the floor on one
// file: the two alternate, pair by pair, so that both see the same load on
// the machine, each first in turn. The call's cost over the floor is the
// mean of the middle half of the pairs' differences. Under Wine every open
// and close is a round trip to the server, far longer than the pass over a
// small file, and now and then much longer still: one such trip in a plain
// mean outweighs the pass. A median would do as well against those, but the
// clock counts in coarse steps, which a median keeps and a mean smooths out.
// And since the pairs differ from one another by as much as the whole pass
// over a small file costs, files up to 1 MiB take many pairs a sample.
// Larger files take a few: one pair alone of a file that the cache cannot
// hold whole moves with what else the machine's memory is doing.
int pairsPerSample(uint32_t size) {
    return size <= (1u << 20) ? 500 : 4;
}

double middleHalfMean(std::vector<double> &values) {
    std::sort(values.begin(), values.end());
    const size_t from = values.size() / 4, to = values.size() - values.size() / 4;
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += values[i];
    return sum / static_cast<double>(to - from);
}

double medianOf(std::vector<double> &values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The bare pass the call is held against is timed in the same pairs, right
// after the floor's read, so that it sees the buffer in the cache as the
// call's kernel does and at the same moment: a pass over a file in the cache
// takes a third longer in one minute than in the next on a shared machine,
// and a pass timed apart from the call moves the ratio by as much.
std::vector<double> timeFloorAndCall(const File &file, StringTableFn stringTable,
                                     const std::function<void()> &bare) {
    static uint32_t turn = 0;
    const int times = pairsPerSample(file.size);
    double floor = 0, call = 0;
    std::vector<double> differences, passes;
    for (int i = 0; i < times; ++i) {
        double taken[2] = {0, 0}; // the floor, the call
        for (uint32_t step = 0; step < 2; ++step) {
            const bool callNow = ((step + turn) & 1) != 0;
            double start = seconds();
            const bool ok = callNow ? stringTable(hostBuffer.data(), file.size, hostTable.data(),
                                                  file.path.c_str(), file.recordMode) != 0
                                    : readFloor(file);
            taken[callNow ? 1 : 0] = seconds() - start;
            if (!ok)
                quit(callNow ? "the call failed on" : "cannot read", file.path);
            if (!callNow) {
                start = seconds();
                bare();
                passes.push_back(seconds() - start);
            }
        }
        floor += taken[0];
        call += taken[1];
        differences.push_back(taken[1] - taken[0]);
        ++turn;
    }
    return {floor / times, call / times, middleHalfMean(differences), middleHalfMean(passes)};
}

// A pass over a large file right after it was read into the buffer, the read
// untimed. The read also puts a marked file's bytes back before a decoding
// pass.
double timeAfterRead(const File &file, const std::function<void()> &pass) {
    if (!readFloor(file))
        quit("cannot read", file.path);
    const double start = seconds();
    pass();
    return seconds() - start;
}

uint32_t fnv(const uint8_t *data, uint32_t length) {
    uint32_t hash = 2166136261u;
    for (uint32_t i = 0; i < length; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

// The table, and for a marked file the decoded text's hash, that the scalar
// reference makes of the file as the call sees it.
struct Expected {
    std::vector<uint16_t> table;
    uint32_t textHash;
};

Expected expectedOf(const File &file, bool marked) {
    if (!readFloor(file))
        quit("cannot read", file.path);
    std::vector<uint16_t> table(VELLOMAR_RECORD_TABLE_WORDS);
    if (marked)
        vellomar::decodeMarkedAndBuildScalar(hostBuffer.data(), file.size, table.data());
    else
        vellomar::buildLineTableScalar(hostBuffer.data(), file.size, table.data(),
                                       file.recordMode != 0 ? TableMode::record : TableMode::plain);
    return {table, fnv(hostBuffer.data(), file.size)};
}

std::string besideThisProgram(const char *file) {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, length);
    const size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + file;
}

void print(const char *format, ...) __attribute__((format(printf, 1, 2)));
void print(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    const std::string dllPath = argc > 1 ? argv[1] : besideThisProgram("Vellomar.dll");
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;

    const HMODULE dll = LoadLibraryA(dllPath.c_str());
    if (dll == nullptr)
        quit("cannot load", dllPath);
    const auto stringTable = reinterpret_cast<StringTableFn>(
        reinterpret_cast<void *>(GetProcAddress(dll, "StringTable")));
    if (stringTable == nullptr)
        quit("no StringTable in", dllPath);

    char temp[MAX_PATH];
    const DWORD tempLength = GetTempPathA(MAX_PATH, temp);
    if (tempLength == 0 || tempLength >= MAX_PATH)
        quit("no temporary folder", "");
    const std::string folder =
        std::string(temp) + "vellomar-bench-" + std::to_string(GetCurrentProcessId()) + "\\";
    if (!CreateDirectoryA(folder.c_str(), nullptr))
        quit("cannot make", folder);

    std::vector<File> files;
    const auto add = [&](const std::string &name, uint32_t recordMode, const Bytes &bytes) {
        files.push_back({name, folder + name, static_cast<uint32_t>(bytes.size()), recordMode});
        writeFile(files.back(), bytes);
    };
    for (size_t i = 0; i < bench::kSizes.size(); ++i) {
        const std::string suffix = std::string("_") + bench::kSizeNames[i];
        const Bytes record = bench::recordText(bench::kSizes[i]);
        add("record" + suffix, 1, record);
        add("marked" + suffix, 0, bench::markedText(record));
        add("plain" + suffix, 0, bench::plainText(bench::kSizes[i]));
    }
    // The 256 MiB files, for the kernels one by one.
    const File record = files[files.size() - 3], marked = files[files.size() - 2],
               plain = files.back();
    hostBuffer.resize(bench::kLarge);

    // Before any timing: the page cache holds every file, and the DLL and
    // every kernel set give the scalar reference's table (and decoded text)
    // for the large files, which the table covers whole.
    const std::vector<vellomar::KernelSet> sets = bench::kernelSets();
    for (const File &file : files) {
        const bool isMarked = file.name.compare(0, 6, "marked") == 0;
        const Expected want = expectedOf(file, isMarked);
        const uint32_t count = want.table[0];
        if (count == 0 || count > (isMarked || file.recordMode != 0 ? VELLOMAR_RECORD_ENTRY_LIMIT
                                                                    : VELLOMAR_PLAIN_ENTRY_LIMIT))
            quit("the table does not cover the file", file.name);
        const auto check = [&](const std::string &who) {
            if (hostTable != want.table || fnv(hostBuffer.data(), file.size) != want.textHash)
                quit("another result than the scalar reference's", who + " on " + file.name);
        };
        std::fill(hostTable.begin(), hostTable.end(), 0);
        if (stringTable(hostBuffer.data(), file.size, hostTable.data(), file.path.c_str(),
                        file.recordMode) != count)
            quit("wrong count from the DLL", file.name);
        check("the DLL");
        if (file.size != bench::kLarge)
            continue;
        for (const vellomar::KernelSet &set : sets) {
            std::fill(hostTable.begin(), hostTable.end(), 0);
            if (!readFloor(file))
                quit("cannot read", file.path);
            if (isMarked)
                set.decodeAndBuild(hostBuffer.data(), file.size, hostTable.data());
            else
                set.build(hostBuffer.data(), file.size, hostTable.data(),
                          file.recordMode != 0 ? TableMode::record : TableMode::plain);
            check(set.name);
        }
    }

    // Small files are cheap and noisy (under Wine every open and close is a
    // round trip to the server): three times the samples.
    std::vector<Measurement> measurements;
    volatile uint32_t sink = 0;
    const auto after = [&](const std::string &name, const File &file,
                           std::function<void()> pass) {
        measurements.push_back(
            {{name}, [file, pass] { return std::vector<double>{timeAfterRead(file, pass)}; },
             repetitions});
    };
    for (const File &file : files) {
        const bool marked = file.name.compare(0, 6, "marked") == 0;
        const std::function<void()> bare =
            marked ? std::function<void()>(
                         [file] { bench::complementPass(hostBuffer.data(), file.size); })
                   : [file, &sink] { sink = sink + bench::readPass(hostBuffer.data(), file.size); };
        const std::string bareName = marked ? "bare_complement/" : "bare_read/";
        measurements.push_back({{"floor/" + file.name, "call/" + file.name,
                                 "call_over_floor/" + file.name,
                                 bareName + "beside_call/" + file.name},
                                [file, stringTable, bare] {
                                    return timeFloorAndCall(file, stringTable, bare);
                                },
                                file.size == bench::kLarge ? repetitions : 3 * repetitions});
        // The kernels one by one are held against a bare pass timed as they are.
        if (file.size == bench::kLarge)
            after(bareName + file.name, file, bare);
    }
    for (const vellomar::KernelSet &set : sets) {
        const std::string name = set.name;
        after("build_record/" + name, record, [set, record, &sink] {
            sink = sink + set.build(hostBuffer.data(), record.size, hostTable.data(),
                                    TableMode::record);
        });
        after("build_plain/" + name, plain, [set, plain, &sink] {
            sink = sink +
                   set.build(hostBuffer.data(), plain.size, hostTable.data(), TableMode::plain);
        });
        after("decode_and_build/" + name, marked, [set, marked, &sink] {
            sink = sink + set.decodeAndBuild(hostBuffer.data(), marked.size, hostTable.data());
        });
    }

    // Every sample of every measurement, in one shuffled order.
    std::vector<size_t> order;
    for (size_t m = 0; m < measurements.size(); ++m)
        order.insert(order.end(), static_cast<size_t>(measurements[m].samples), m);
    bench::Random random{0x5DEECE66Du};
    for (size_t i = order.size(); i > 1; --i)
        std::swap(order[i - 1], order[random.next() % i]);
    print("%s: %u measurements, %d samples each (%d of small files), in shuffled order\n",
          dllPath.c_str(), unsigned(measurements.size()), repetitions, 3 * repetitions);
    std::map<std::string, std::vector<double>> samples;
    for (const size_t m : order) {
        const std::vector<double> taken = measurements[m].run();
        for (size_t i = 0; i < taken.size(); ++i)
            samples[measurements[m].names[i]].push_back(taken[i]);
    }

    std::map<std::string, double> median;
    print("\n%-44s %12s %12s\n", "measurement", "median", "throughput");
    for (const Measurement &m : measurements)
        for (const std::string &name : m.names) {
            const double middle = medianOf(samples[name]);
            median[name] = middle;
            uint32_t size = bench::kLarge;
            for (size_t i = 0; i < bench::kSizes.size(); ++i)
                if (name.size() > std::strlen(bench::kSizeNames[i]) &&
                    name.compare(name.size() - std::strlen(bench::kSizeNames[i]) - 1,
                                 std::string::npos,
                                 std::string("_") + bench::kSizeNames[i]) == 0)
                    size = bench::kSizes[i];
            if (middle <= 0)
                print("%-44s %9.2f us\n", name.c_str(), middle * 1e6);
            else if (middle >= 1e-3)
                print("%-44s %9.2f ms %7.2f GB/s\n", name.c_str(), middle * 1e3,
                      size / middle / 1e9);
            else
                print("%-44s %9.2f us %7.2f GB/s\n", name.c_str(), middle * 1e6,
                      size / middle / 1e9);
        }

    const auto line = [](const std::string &what, double value, const char *target) {
        print("%-56s %8.2f  %s\n", what.c_str(), value, target);
    };
    print("\nratios of median times, kernels on 256 MiB              measured  target\n");
    const struct {
        const char *what, *name, *bare;
    } kinds[] = {{"record build", "build_record", "bare_read/record_256MiB"},
                 {"plain build", "build_plain", "bare_read/plain_256MiB"},
                 {"decoding and build", "decode_and_build", "bare_complement/marked_256MiB"}};
    for (const auto &kind : kinds)
        for (const vellomar::KernelSet &set : sets) {
            const std::string name = set.name;
            // The vector sets' target; the word set and the reference have none.
            const bool target = name == "avx2" || name == "sse2";
            line(std::string(kind.what) + ", " + name + " / bare pass",
                 median[std::string(kind.name) + "/" + name] / median[kind.bare],
                 target ? "<= 1.2" : "");
        }
    print("\nratios of median times, the whole call by size (%s kernels)\n",
          vellomar::chosenKernels().name);
    print("%-56s measured  target\n", "");
    for (const char *kind : {"record", "plain", "marked"})
        for (const char *size : bench::kSizeNames) {
            const std::string file = std::string(kind) + "_" + size;
            const bool large = std::strcmp(size, "256MiB") == 0;
            const bool small = std::strcmp(size, "4KiB") == 0;
            const std::string bare =
                std::strcmp(kind, "marked") == 0 ? "bare_complement/" : "bare_read/";
            line("call - floor / bare pass, " + file,
                 median["call_over_floor/" + file] / median[bare + "beside_call/" + file],
                 small ? "" : large ? "<= 1.2" : "<= 1.3");
            line("call / floor, " + file, median["call/" + file] / median["floor/" + file],
                 small ? "<= 1.1" : "");
        }

    for (const File &file : files)
        DeleteFileA(file.path.c_str());
    RemoveDirectoryA(folder.c_str());
    FreeLibrary(dll);
    return 0;
}
