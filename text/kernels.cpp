// The one place that lists the kernel sets and chooses among them.
#include "text/kernels.h"

#include <atomic>
#ifdef VELLOMAR_X86
#include <cpuid.h>
#endif

namespace vellomar {

// In their own files; a build leaves a set out with VELLOMAR_WITHOUT_<SET>.
extern const KernelSet kAvx2Kernels, kSse2Kernels, kNeonKernels, kWordKernels;

namespace {
const KernelSet kScalarKernels = {"scalar", buildLineTableScalar, decodeMarkedAndBuildScalar,
                                  runsAnywhere};
// Constant-initialised: nothing runs before the first call; threads that
// choose at once store the same.
std::atomic<const KernelSet *> chosen{nullptr};
} // namespace

const KernelSet *const kKernelSets[] = {
#if defined(VELLOMAR_X86) && !defined(VELLOMAR_WITHOUT_AVX2)
    &kAvx2Kernels,
#endif
#if defined(VELLOMAR_X86) && !defined(VELLOMAR_WITHOUT_SSE2)
    &kSse2Kernels,
#endif
#if defined(__aarch64__) && !defined(VELLOMAR_WITHOUT_NEON)
    &kNeonKernels,
#endif
#ifndef VELLOMAR_WITHOUT_WORDS
    &kWordKernels,
#endif
    &kScalarKernels,
};
const uint32_t kKernelSetCount = sizeof kKernelSets / sizeof kKernelSets[0];

// cpuid and xgetbv, with no C runtime (the DLL has none). xgetbv is invalid
// unless OSXSAVE is set, and a leaf past the highest answers with another
// leaf's words: each is read only where it means something.
ProcessorWords processorWords() {
    CpuidAnswers a = {};
#ifdef VELLOMAR_X86
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, a.highestLeaf, ebx, ecx, edx);
    __cpuid(1, eax, ebx, a.leaf1Ecx, a.leaf1Edx);
    if (leaf7Answers(a.highestLeaf))
        __cpuid_count(7, 0, eax, a.leaf7Ebx, ecx, edx);
    if (xgetbvRuns(a.leaf1Ecx))
        __asm__("xgetbv" : "=a"(a.xcr0), "=d"(edx) : "c"(0));
#endif
    return wordsFrom(a);
}

bool sse2Runs(const ProcessorWords &words) { return (words.leaf1Edx & (1u << 26)) != 0; }
bool runsAnywhere(const ProcessorWords &) { return true; }

// AVX2 code runs where the processor has AVX2 (leaf 7 EBX bit 5) and the
// system saves the YMM registers on a thread switch: OSXSAVE and AVX (leaf 1
// ECX bits 27, 28) and XCR0 bits 1 and 2.
bool avx2Runs(const ProcessorWords &words) {
    constexpr uint32_t kOsXsaveAndAvx = 3u << 27, kXmmAndYmm = 3u << 1;
    return words.hasLeaf7 && (words.leaf1Ecx & kOsXsaveAndAvx) == kOsXsaveAndAvx &&
           (words.xcr0 & kXmmAndYmm) == kXmmAndYmm && (words.leaf7Ebx & (1u << 5)) != 0;
}

const KernelSet &kernelsFor(const ProcessorWords &words) {
    uint32_t i = 0;
    while (!kKernelSets[i]->runsOn(words))
        ++i; // the scalar set, last, runs anywhere
    return *kKernelSets[i];
}

const KernelSet &chosenKernels() {
    const KernelSet *set = chosen.load(std::memory_order_acquire);
    if (set == nullptr) {
        set = &kernelsFor(processorWords());
        chosen.store(set, std::memory_order_release);
    }
    return *set;
}

uint32_t buildLineTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
    return chosenKernels().build(data, length, table, mode);
}
uint32_t decodeMarkedAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
    return chosenKernels().decodeAndBuild(data, length, table);
}

} // namespace vellomar
