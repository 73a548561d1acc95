// The kernel sets: each builds the line table, and decodes a marked file and
// builds its table in one pass. kernels.cpp lists them and chooses the one
// the library runs; tests, benchmarks and fuzz targets run each set that
// this processor runs against the scalar reference.
#ifndef VELLOMAR_TEXT_KERNELS_H
#define VELLOMAR_TEXT_KERNELS_H

#include <stdint.h>

#include "text/line_table.h"

#if defined(__x86_64__) || defined(__i386__)
#define VELLOMAR_X86 1
#else
#define VELLOMAR_X86 0
#endif

#if defined(__i386__)
// A 32-bit Windows caller may hand over a stack aligned to 4 bytes only: the
// vector kernels realign it before they spill a vector.
#define VELLOMAR_VECTOR_ENTRY __attribute__((force_align_arg_pointer))
#else
#define VELLOMAR_VECTOR_ENTRY
#endif

namespace vellomar {

// What an x86 processor says of itself that the choice goes by: cpuid leaf
// 1 ECX and EDX, leaf 7 EBX where there is a leaf 7, and XCR0 where OSXSAVE
// lets xgetbv read it. All zero where they cannot be read.
struct ProcessorWords {
    bool hasLeaf7;
    uint32_t leaf1Ecx, leaf1Edx, leaf7Ebx, xcr0;
};

// This processor's words, asked anew at each call.
ProcessorWords processorWords();

bool sse2Runs(const ProcessorWords &words);
bool avx2Runs(const ProcessorWords &words);
bool runsAnywhere(const ProcessorWords &words);

struct KernelSet {
    using BuildFn = uint32_t (*)(const uint8_t *data, uint32_t length, uint16_t *table,
                                 TableMode mode);
    // Decodes a marked file in place and builds its table in record mode.
    using DecodeAndBuildFn = uint32_t (*)(uint8_t *data, uint32_t length, uint16_t *table);

    const char *name;
    BuildFn build;
    DecodeAndBuildFn decodeAndBuild;
    bool (*runsOn)(const ProcessorWords &words);
};

// Every set of this build, widest first; the last is the scalar reference.
extern const KernelSet *const kKernelSets[];
extern const uint32_t kKernelSetCount;

// The first set in the list that this processor runs. The processor is asked
// once per process.
const KernelSet &chosenKernels();

} // namespace vellomar

#endif
