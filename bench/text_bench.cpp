// Throughput of the whole StringTable call against its floor, the one read
// of the file into the host's buffer, and of the kernels against the scalar
// reference. Generates its own files in a temporary folder and removes them.
//
//   cmake --workflow --preset bench
//
// runs every benchmark with repetitions and prints the medians, then the
// ratios the speed targets are stated in.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "text/line_table.h"
#include "text/marked.h"
#include "vellomar.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLarge = 256u << 20;
// A marker line every 400 lines of 20 to 70 bytes (45 on average, line break
// included) keeps 256 MiB within the record limit: about 29 800 entries. At
// 300 lines it would be about 39 800, and the walk would stop near 82 % of
// the file.
constexpr uint32_t kLinesPerRecord = 400;

// xorshift: the same files on every run.
struct Random {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 16);
    }
    uint32_t between(uint32_t low, uint32_t high) { return low + next() % (high - low + 1); }
};

void appendLine(Bytes &text, Random &random, uint32_t length, const char *start) {
    const size_t from = text.size();
    for (const char *c = start; *c != '\0'; ++c)
        text.push_back(static_cast<uint8_t>(*c));
    while (text.size() - from + 2 < length)
        text.push_back(static_cast<uint8_t>(random.next() % 5 == 0 ? ' ' : 'a' + random.next() % 26));
    text.push_back('\r');
    text.push_back('\n');
}

// A head line, then records: a marker line and kLinesPerRecord lines, every
// line 20 to 70 bytes with its CR LF. Cut to exactly `size` bytes.
Bytes recordText(uint32_t size) {
    Random random{0x9E3779B97F4A7C15u};
    Bytes text;
    text.reserve(size + 256);
    appendLine(text, random, 40, "HEAD vellomar benchmark text ");
    uint32_t record = 0;
    while (text.size() < size) {
        appendLine(text, random, random.between(20, 70), ("@=R" + std::to_string(record++) + " ").c_str());
        for (uint32_t line = 0; line < kLinesPerRecord && text.size() < size; ++line)
            appendLine(text, random, random.between(20, 70), "");
    }
    text.resize(size);
    return text;
}

// The same text marked: "_PW_" in place of the head's first four bytes,
// everything from the first marker on complemented.
Bytes markedText(Bytes text) {
    std::memcpy(text.data(), "_PW_", 4);
    size_t start = 2;
    while (!(text[start] == '@' && text[start + 1] == '=' && text[start - 1] == '\n'))
        ++start;
    for (size_t i = start; i < text.size(); ++i)
        text[i] = static_cast<uint8_t>(~text[i]);
    return text;
}

// Plain text for plain mode: lines of 16 400 to 17 000 bytes, few enough that
// the 16 384 entries of plain mode cover the whole file.
Bytes plainText(uint32_t size) {
    Random random{0x2545F4914F6CDD1Du};
    Bytes text;
    text.reserve(size + 17000);
    while (text.size() < size)
        appendLine(text, random, random.between(16400, 17000), "");
    text.resize(size);
    return text;
}

struct File {
    std::string path;
    uint32_t size;
    uint32_t recordMode;
};

class Workspace {
public:
    Workspace() {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/vellomar-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        folder = pattern;
    }
    ~Workspace() {
        for (const std::string &path : written)
            unlink(path.c_str());
        rmdir(folder.c_str());
    }
    std::string write(const std::string &name, const Bytes &bytes) {
        const std::string path = folder + "/" + name;
        FILE *out = std::fopen(path.c_str(), "wb");
        if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
            std::fclose(out) != 0) {
            std::perror(path.c_str());
            std::exit(1);
        }
        written.push_back(path);
        return path;
    }
    std::string folder;
    std::vector<std::string> written;
};

// The host's memory: one buffer and one table, shared by the floor and the
// call so that both write into the same pages.
Bytes hostBuffer;
std::vector<uint16_t> hostTable(VELLOMAR_RECORD_TABLE_WORDS);

// The floor: what any reader of the file pays. Open, size, one read, close.
bool readFloor(const File &file) {
    const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && info.st_size == static_cast<off_t>(file.size);
    ok = ok && read(fd, hostBuffer.data(), file.size) == static_cast<ssize_t>(file.size);
    close(fd);
    return ok;
}

void benchFloor(benchmark::State &state, const File &file) {
    for (auto _ : state) {
        if (!readFloor(file)) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size);
}

void benchCall(benchmark::State &state, const File &file) {
    for (auto _ : state) {
        const uint32_t count = StringTable(hostBuffer.data(), file.size, hostTable.data(),
                                           file.path.c_str(), file.recordMode);
        if (count == 0) {
            state.SkipWithError("StringTable failed");
            break;
        }
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size);
}

using BuildFn = uint32_t (*)(const uint8_t *, uint32_t, uint16_t *, vellomar::TableMode);

void benchBuild(benchmark::State &state, const Bytes *text, vellomar::TableMode mode,
                BuildFn build) {
    hostBuffer.assign(text->begin(), text->end());
    for (auto _ : state) {
        benchmark::DoNotOptimize(build(hostBuffer.data(), static_cast<uint32_t>(text->size()),
                                       hostTable.data(), mode));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text->size()));
}

// Decoding works in place, so the marked bytes are put back, untimed,
// before every run.
void benchDecode(benchmark::State &state, const Bytes *marked,
                 const std::function<void(uint8_t *, uint32_t)> &decode) {
    for (auto _ : state) {
        state.PauseTiming();
        hostBuffer.assign(marked->begin(), marked->end());
        state.ResumeTiming();
        decode(hostBuffer.data(), static_cast<uint32_t>(marked->size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(marked->size()));
}

// Prints the ratios the targets are stated in, from the medians (or the
// single runs when there are no repetitions).
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1))
                seconds_[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nratios of median times                       measured  target\n");
        ratio("whole call / floor, marked 256 MiB", "call/marked_256MiB", "floor/marked_256MiB",
              "<= 1.3");
        ratio("whole call / floor, record 256 MiB", "call/record_256MiB", "floor/record_256MiB",
              "<= 1.2");
        ratio("whole call / floor, plain 256 MiB", "call/plain_256MiB", "floor/plain_256MiB", "");
        ratio("whole call / floor, record 4 KiB", "call/record_4KiB", "floor/record_4KiB", "<= 1.1");
        ratio("whole call / floor, marked 4 KiB", "call/marked_4KiB", "floor/marked_4KiB", "<= 1.1");
        ratio("whole call / floor, record 64 KiB", "call/record_64KiB", "floor/record_64KiB",
              "<= 1.1");
        ratio("whole call / floor, marked 64 KiB", "call/marked_64KiB", "floor/marked_64KiB",
              "<= 1.1");
        ratio("decode: scalar / fast", "decode/scalar", "decode/fast", ">= 4");
        ratio("record build: scalar / fast", "build_record/scalar", "build_record/fast", ">= 3");
        ratio("plain build: scalar / fast", "build_plain/scalar", "build_plain/fast", "");
        ratio("decode and build: scalar / fast", "decode_and_build/scalar",
              "decode_and_build/fast", "");
    }

private:
    void ratio(const char *what, const std::string &over, const std::string &under,
               const char *target) {
        const auto a = seconds_.find(over), b = seconds_.find(under);
        if (a == seconds_.end() || b == seconds_.end() || b->second <= 0)
            return;
        std::printf("%-44s %8.2f  %s\n", what, a->second / b->second, target);
    }
    std::map<std::string, double> seconds_;
};

void decodeAndBuildFast(uint8_t *data, uint32_t length) {
    benchmark::DoNotOptimize(vellomar::decodeMarkedAndBuild(data, length, hostTable.data()));
}

void decodeAndBuildScalar(uint8_t *data, uint32_t length) {
    vellomar::decodeMarkedScalar(data, length);
    benchmark::DoNotOptimize(
        vellomar::buildLineTableScalar(data, length, hostTable.data(), vellomar::TableMode::record));
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    Workspace workspace;
    static const Bytes record = recordText(kLarge);
    static const Bytes marked = markedText(record);
    static const Bytes plain = plainText(kLarge);
    std::vector<File> files = {
        {workspace.write("record_256MiB", record), kLarge, 1},
        {workspace.write("marked_256MiB", marked), kLarge, 0},
        {workspace.write("plain_256MiB", plain), kLarge, 0},
    };
    for (const uint32_t size : {4u << 10, 64u << 10}) {
        const std::string suffix = std::to_string(size >> 10) + "KiB";
        const Bytes small = recordText(size);
        files.push_back({workspace.write("record_" + suffix, small), size, 1});
        files.push_back({workspace.write("marked_" + suffix, markedText(small)), size, 0});
    }

    hostBuffer.resize(kLarge);
    for (const File &file : files) {
        // Read once so that the page cache holds the file: the floor is then
        // a copy from memory, and the call is measured against that.
        if (!readFloor(file)) {
            std::fprintf(stderr, "cannot read %s\n", file.path.c_str());
            return 1;
        }
        // The benchmark is only fair when the table covers the whole file.
        const uint32_t count = StringTable(hostBuffer.data(), file.size, hostTable.data(),
                                           file.path.c_str(), file.recordMode);
        const bool recordMode = file.recordMode != 0 || vellomar::isMarked(hostBuffer.data(), file.size);
        if (count == 0 || count > (recordMode ? VELLOMAR_RECORD_ENTRY_LIMIT : VELLOMAR_PLAIN_ENTRY_LIMIT)) {
            std::fprintf(stderr, "%s: the table does not cover the file (%u entries)\n",
                         file.path.c_str(), count);
            return 1;
        }
    }

    for (const File &file : files) {
        const std::string name = file.path.substr(file.path.rfind('/') + 1);
        benchmark::RegisterBenchmark(("floor/" + name).c_str(), benchFloor, file)->UseRealTime();
        benchmark::RegisterBenchmark(("call/" + name).c_str(), benchCall, file)->UseRealTime();
    }
    using vellomar::TableMode;
    benchmark::RegisterBenchmark("build_record/fast", benchBuild, &record, TableMode::record,
                                 vellomar::buildLineTable)->UseRealTime();
    benchmark::RegisterBenchmark("build_record/scalar", benchBuild, &record, TableMode::record,
                                 vellomar::buildLineTableScalar)->UseRealTime();
    benchmark::RegisterBenchmark("build_plain/fast", benchBuild, &plain, TableMode::plain,
                                 vellomar::buildLineTable)->UseRealTime();
    benchmark::RegisterBenchmark("build_plain/scalar", benchBuild, &plain, TableMode::plain,
                                 vellomar::buildLineTableScalar)->UseRealTime();
    benchmark::RegisterBenchmark("decode/fast", benchDecode, &marked,
                                 vellomar::decodeMarked)->UseRealTime();
    benchmark::RegisterBenchmark("decode/scalar", benchDecode, &marked,
                                 vellomar::decodeMarkedScalar)->UseRealTime();
    benchmark::RegisterBenchmark("decode_and_build/fast", benchDecode, &marked,
                                 decodeAndBuildFast)->UseRealTime();
    benchmark::RegisterBenchmark("decode_and_build/scalar", benchDecode, &marked,
                                 decodeAndBuildScalar)->UseRealTime();

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
