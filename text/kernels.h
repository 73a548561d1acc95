// The kernel sets: a table build, and a marked file's decoding and build in
// one pass. kernels.cpp lists and chooses them; tests, benchmarks and fuzz
// targets run every set against the scalar reference.
#ifndef VELLOMAR_TEXT_KERNELS_H
#define VELLOMAR_TEXT_KERNELS_H

#include "text/text.h"

#if defined(__x86_64__) || defined(__i386__)
#define VELLOMAR_X86 1
#endif

namespace vellomar {

// What an x86 processor tells of itself: cpuid leaf 1 ECX and EDX, leaf 7
// EBX where there is a leaf 7, XCR0 where OSXSAVE lets xgetbv read it; zero
// where they cannot be read. The choice goes by these words alone.
struct ProcessorWords {
    bool hasLeaf7;
    uint32_t leaf1Ecx, leaf1Edx, leaf7Ebx, xcr0;
};
ProcessorWords processorWords(); // asked anew at each call
// What cpuid and xgetbv answer, raw (xcr0: what xgetbv would give), and the
// words a choice may go by: leaf 7 only below the highest leaf, XCR0 only
// where OSXSAVE lets xgetbv run. processorWords asks the processor so.
struct CpuidAnswers {
    uint32_t highestLeaf, leaf1Ecx, leaf1Edx, leaf7Ebx, xcr0;
};
inline bool leaf7Answers(uint32_t highestLeaf) { return highestLeaf >= 7; }
inline bool xgetbvRuns(uint32_t leaf1Ecx) { return (leaf1Ecx & (1u << 27)) != 0; } // OSXSAVE
inline ProcessorWords wordsFrom(const CpuidAnswers &a) {
    const bool leaf7 = leaf7Answers(a.highestLeaf);
    return {leaf7, a.leaf1Ecx, a.leaf1Edx, leaf7 ? a.leaf7Ebx : 0,
            xgetbvRuns(a.leaf1Ecx) ? a.xcr0 : 0};
}
bool sse2Runs(const ProcessorWords &words);
bool avx2Runs(const ProcessorWords &words);
bool runsAnywhere(const ProcessorWords &words);

struct KernelSet {
    using BuildFn = uint32_t (*)(const uint8_t *, uint32_t, uint16_t *, TableMode);
    using DecodeAndBuildFn = uint32_t (*)(uint8_t *, uint32_t, uint16_t *); // record mode
    const char *name;
    BuildFn build;
    DecodeAndBuildFn decodeAndBuild;
    bool (*runsOn)(const ProcessorWords &words);
};

// This build's sets, widest first, the scalar reference last; the library
// runs the first that this processor runs, chosen once.
extern const KernelSet *const kKernelSets[];
extern const uint32_t kKernelSetCount;
const KernelSet &kernelsFor(const ProcessorWords &words);
const KernelSet &chosenKernels();

} // namespace vellomar

#endif
