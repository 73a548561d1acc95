// The whole StringTable call against its floor, the one read of the file into
// the host's buffer, and against a bare pass over the same buffer right after
// the same read (a read pass for record and plain texts, a complement in place
// for marked files), at every size from 4 KiB to 256 MiB; and every kernel
// this processor has, one by one, against the bare pass on 256 MiB. Generates
// its own files in a temporary folder and removes them.
//
//   cmake --workflow --preset bench
//
// runs every benchmark with repetitions and prints the medians, then the
// ratios the speed targets are stated in.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/bare_passes.h"
#include "bench/bench_kernels.h"
#include "bench/bench_texts.h"
#include "text/text.h"
#include "vellomar.h"

namespace {

using bench::Bytes;

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

// Every timing is taken by hand, per iteration, and each repetition keeps
// the median of its iterations: on a machine that others share, a thread
// switch in one iteration then weighs no more than any other iteration,
// where in the benchmark's mean a few of them outweigh a small file's call.
// The ratios come from the median of these over the repetitions.
std::map<std::string, std::vector<double>> repetitionMedians;

class Samples {
public:
    // `counter` names a second figure taken in the same iterations, which
    // the benchmark shows beside its own time (the median, in microseconds)
    // but does not time itself by; its repetitions' medians are kept under
    // its own name too.
    Samples(benchmark::State &state, std::string name, std::string counter = "")
        : state_(state), name_(std::move(name)), counter_(std::move(counter)) {}
    ~Samples() {
        if (taken_.empty())
            return;
        repetitionMedians[name_].push_back(medianOf(taken_));
        if (!counter_.empty() && !beside_.empty()) {
            const double middle = medianOf(beside_);
            repetitionMedians[counter_].push_back(middle);
            state_.counters["bare_pass_us"] = middle * 1e6;
        }
    }
    void add(double seconds) {
        state_.SetIterationTime(seconds);
        taken_.push_back(seconds);
    }
    void addBeside(double seconds) { beside_.push_back(seconds); }

private:
    static double medianOf(std::vector<double> &values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }
    benchmark::State &state_;
    std::string name_, counter_;
    std::vector<double> taken_, beside_;
};

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool callOnce(const File &file) {
    const uint32_t count = StringTable(hostBuffer.data(), file.size, hostTable.data(),
                                       file.path.c_str(), file.recordMode);
    benchmark::DoNotOptimize(count);
    return count != 0;
}

void benchFloor(benchmark::State &state, const std::string &name, const File &file) {
    Samples samples(state, name);
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (!readFloor(file)) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::ClobberMemory();
        samples.add(since(start));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size);
}

void benchCall(benchmark::State &state, const std::string &name, const File &file) {
    Samples samples(state, name);
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (!callOnce(file)) {
            state.SkipWithError("StringTable failed");
            break;
        }
        benchmark::ClobberMemory();
        samples.add(since(start));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size);
}

// A pass over the buffer: the least any kernel's work on it can cost.
using Pass = std::function<void(uint8_t *, uint32_t)>;

// The call's cost over the floor, taken in pairs: each iteration times a read
// and a call of the same file, in turn the one first and the other, and
// counts the difference. Both then see the same load on the machine, which
// the difference of two separate medians does not. The bare pass it is held
// against is timed in the same iterations, right after the floor's read, so
// that it sees the buffer in the cache as the call's kernel does, at the same
// moment: on a shared machine a pass over a file in the cache can take a
// third longer in one minute than in the next, for every pass alike, and the
// pass and the call timed in different minutes then give ratios that move
// by as much.
void benchCallOverFloor(benchmark::State &state, const std::string &name, const File &file,
                        const std::string &bareName, const Pass &bare) {
    Samples samples(state, "call_over_floor/" + name, bareName + name);
    bool callFirst = false;
    for (auto _ : state) {
        double floor = 0, call = 0, pass = 0;
        for (int step = 0; step < 2; ++step) {
            const bool callNow = (step == 0) == callFirst;
            Clock::time_point start = Clock::now();
            const bool ok = callNow ? callOnce(file) : readFloor(file);
            (callNow ? call : floor) = since(start);
            if (!ok) {
                state.SkipWithError("read or call failed");
                return;
            }
            if (!callNow) {
                start = Clock::now();
                bare(hostBuffer.data(), file.size);
                benchmark::ClobberMemory();
                pass = since(start);
            }
        }
        callFirst = !callFirst;
        benchmark::ClobberMemory();
        samples.add(call > floor ? call - floor : 0);
        samples.addBeside(pass);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size);
}

// A pass over the buffer right after the file was read into it, as the call
// runs its kernel: the read, untimed, also puts a marked file's bytes back
// before a decoding pass works on them in place. Timed by hand around the
// pass alone, since pausing the benchmark's timer costs more than a pass over
// a small file.
void benchAfterRead(benchmark::State &state, const std::string &name, const File &file,
                    const Pass &pass) {
    Samples samples(state, name);
    for (auto _ : state) {
        if (!readFloor(file)) {
            state.SkipWithError("read failed");
            break;
        }
        const Clock::time_point start = Clock::now();
        pass(hostBuffer.data(), file.size);
        benchmark::ClobberMemory();
        samples.add(since(start));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size);
}

// Prints the ratios the targets are stated in, from the medians.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    explicit SummaryReporter(std::vector<vellomar::KernelSet> sets) : sets_(std::move(sets)) {}

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
        std::printf("\nratios of median times, kernels on 256 MiB              measured  target\n");
        struct Kind {
            const char *what, *name, *bare;
        };
        const Kind kinds[] = {
            {"record build", "build_record", "bare_read/record_256MiB"},
            {"plain build", "build_plain", "bare_read/plain_256MiB"},
            {"decoding and build", "decode_and_build", "bare_complement/marked_256MiB"},
        };
        for (const Kind &kind : kinds)
            for (const vellomar::KernelSet &set : sets_) {
                const std::string name = set.name;
                // The SSE2 kernels are what the Windows DLL runs without AVX2.
                const bool target = name == "sse2";
                ratio(std::string(kind.what) + ", " + name + " / bare pass",
                      std::string(kind.name) + "/" + name, kind.bare, target ? "<= 1.2" : "");
            }
        std::printf("\nratios of median times, the whole call by size (%s kernels)\n",
                    vellomar::chosenKernels().name);
        std::printf("%-56s measured  target\n", "");
        for (const char *kind : {"record", "plain", "marked"})
            for (const char *size : bench::kSizeNames) {
                const std::string file = std::string(kind) + "_" + size;
                const bool large = std::strcmp(size, "256MiB") == 0;
                const bool small = std::strcmp(size, "4KiB") == 0;
                ratio("call - floor / bare pass, " + file, "call_over_floor/" + file,
                      std::string(std::strcmp(kind, "marked") == 0 ? "bare_complement/"
                                                                   : "bare_read/") +
                          "beside_call/" + file,
                      small ? "" : large ? "<= 1.2" : "<= 1.3");
                // From the pairs too: the call's and the floor's own medians,
                // taken at other moments, differ by more than what a small
                // file's pass adds (1.06 to 1.14 for the same record file).
                const double over = median("call_over_floor/" + file);
                const double floor = median("floor/" + file);
                if (over >= 0 && floor > 0)
                    line("call / floor, " + file, 1 + over / floor, small ? "<= 1.1" : "");
            }
    }

private:
    // The median over the repetitions of each one's median iteration; the
    // benchmark's own figure where there is none.
    double median(const std::string &name) const {
        const auto kept = repetitionMedians.find(name);
        if (kept != repetitionMedians.end() && !kept->second.empty()) {
            std::vector<double> medians = kept->second;
            std::sort(medians.begin(), medians.end());
            return medians[medians.size() / 2];
        }
        const auto found = seconds_.find(name);
        return found == seconds_.end() ? -1 : found->second;
    }
    static void line(const std::string &what, double value, const char *target) {
        std::printf("%-56s %8.2f  %s\n", what.c_str(), value, target);
    }
    void ratio(const std::string &what, const std::string &over, const std::string &under,
               const char *target) const {
        const double a = median(over), b = median(under);
        if (a >= 0 && b > 0)
            line(what, a / b, target);
    }
    std::vector<vellomar::KernelSet> sets_;
    std::map<std::string, double> seconds_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    Workspace workspace;
    std::vector<File> files;
    for (size_t i = 0; i < bench::kSizes.size(); ++i) {
        const uint32_t size = bench::kSizes[i];
        const std::string suffix = std::string("_") + bench::kSizeNames[i];
        const Bytes record = bench::recordText(size);
        files.push_back({workspace.write("record" + suffix, record), size, 1});
        files.push_back({workspace.write("marked" + suffix, bench::markedText(record)), size, 0});
        files.push_back({workspace.write("plain" + suffix, bench::plainText(size)), size, 0});
    }
    // The 256 MiB files, for the kernels one by one.
    const File record = files[files.size() - 3], marked = files[files.size() - 2],
               plain = files.back();
    hostBuffer.resize(bench::kLarge);
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

    // A fixed number of iterations, about 64 MiB of data a repetition: with
    // the time taken by hand the benchmark would run until the timed part
    // alone adds up, and a pass of 4 KiB, or a call's cost over the floor,
    // is a small part of each iteration.
    const auto iterations = [](const File &file) {
        const uint32_t n = (64u << 20) / file.size;
        return static_cast<benchmark::IterationCount>(n < 8 ? 8 : n > 16384 ? 16384 : n);
    };
    const auto after = [&](const std::string &name, const File &file, Pass pass) {
        benchmark::RegisterBenchmark(name.c_str(), benchAfterRead, name, file, std::move(pass))
            ->UseManualTime()
            ->Iterations(iterations(file));
    };
    const Pass readPass = [](uint8_t *data, uint32_t length) {
        benchmark::DoNotOptimize(bench::readPass(data, length));
    };
    for (const File &file : files) {
        const std::string name = file.path.substr(file.path.rfind('/') + 1);
        for (const auto &[what, fn] :
             {std::pair{"floor/", benchFloor}, std::pair{"call/", benchCall}})
            benchmark::RegisterBenchmark((what + name).c_str(), fn, what + name, file)
                ->UseManualTime()
                ->Iterations(iterations(file));
        const bool marked = name.compare(0, 6, "marked") == 0;
        const Pass bare = marked ? Pass(bench::complementPass) : readPass;
        const std::string bareName = marked ? "bare_complement/" : "bare_read/";
        benchmark::RegisterBenchmark(("call_over_floor/" + name).c_str(), benchCallOverFloor, name,
                                     file, bareName + "beside_call/", bare)
            ->UseManualTime()
            ->Iterations(iterations(file));
        // The kernels one by one are held against a bare pass timed as they are.
        if (file.size == bench::kLarge)
            after(bareName + name, file, bare);
    }
    using vellomar::TableMode;
    const std::vector<vellomar::KernelSet> sets = bench::kernelSets();
    for (const vellomar::KernelSet &set : sets) {
        const std::string name = set.name;
        after("build_record/" + name, record, [set](uint8_t *data, uint32_t length) {
            benchmark::DoNotOptimize(set.build(data, length, hostTable.data(), TableMode::record));
        });
        after("build_plain/" + name, plain, [set](uint8_t *data, uint32_t length) {
            benchmark::DoNotOptimize(set.build(data, length, hostTable.data(), TableMode::plain));
        });
        after("decode_and_build/" + name, marked, [set](uint8_t *data, uint32_t length) {
            benchmark::DoNotOptimize(set.decodeAndBuild(data, length, hostTable.data()));
        });
    }

    SummaryReporter reporter(sets);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
