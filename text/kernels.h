// Every kernel of the line table build and the marked-file decoding, listed
// so that tests can run each one the processor has against the scalar
// reference. kernels.cpp alone chooses which one the library runs.
#ifndef VELLOMAR_TEXT_KERNELS_H
#define VELLOMAR_TEXT_KERNELS_H

#include <stdint.h>

#include <atomic>

#include "text/line_table.h"

// SSE2 is part of every x86-64 processor and the baseline of the 32-bit
// Windows build; AVX2 is chosen at run time where the processor has it and
// the operating system saves its registers (kernels.cpp asks both).
#if (defined(__x86_64__) && (defined(__linux__) || defined(_WIN32))) || \
    (defined(__i386__) && defined(_WIN32))
#define VELLOMAR_KERNELS_SSE2 1
#define VELLOMAR_KERNELS_AVX2 1
#else
#define VELLOMAR_KERNELS_SSE2 0
#define VELLOMAR_KERNELS_AVX2 0
#endif

namespace vellomar {

enum class KernelSet { scalar, sse2, avx2 };

// The set the library runs on this processor. Every choice in kernels.cpp
// goes by this one answer, so that a test can hold it against what the
// processor reports.
KernelSet chosenKernels();

// The reference pair as one step: decodeMarkedScalar, then
// buildLineTableScalar in record mode. Every fused kernel must match it.
uint32_t decodeMarkedAndBuildScalar(uint8_t *data, uint32_t length, uint16_t *table);

#if VELLOMAR_KERNELS_SSE2
uint32_t buildLineTableSse2(const uint8_t *data, uint32_t length, uint16_t *table,
                            TableMode mode);
void decodeMarkedSse2(uint8_t *data, uint32_t length);
uint32_t decodeMarkedAndBuildSse2(uint8_t *data, uint32_t length, uint16_t *table);
#endif

#if VELLOMAR_KERNELS_AVX2
uint32_t buildLineTableAvx2(const uint8_t *data, uint32_t length, uint16_t *table,
                            TableMode mode);
void decodeMarkedAvx2(uint8_t *data, uint32_t length);
uint32_t decodeMarkedAndBuildAvx2(uint8_t *data, uint32_t length, uint16_t *table);

// The bits of the processor's words that the choice reads.
constexpr uint32_t kCpuidOsXsave = 1u << 27; // leaf 1 ECX
constexpr uint32_t kCpuidAvx = 1u << 28;     // leaf 1 ECX
constexpr uint32_t kCpuidAvx2 = 1u << 5;     // leaf 7 (subleaf 0) EBX

// Whether AVX2 code runs on a processor that gives these words: whether
// leaf 7 exists (the highest leaf, from leaf 0, is 7 or more), leaf 1 ECX,
// leaf 7 EBX and the low word of XCR0 (0 where OSXSAVE is clear, since
// xgetbv cannot be run there). Reads nothing from the processor itself, so
// that a test can hold it against the words of processors it does not run
// on.
bool avx2Runs(bool hasLeaf7, uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint32_t xcr0);

// True when this processor has AVX2 and the operating system saves the
// 256-bit registers, so that AVX2 code runs. Asks the processor once per
// process; needs no C runtime.
bool cpuHasAvx2();

// The vector kernels ask for data ahead only in files longer than this. A
// file that the read has just left in the processor's caches gains nothing
// from it: the 32-bit DLL's decoding of one (64 KiB, 1 MiB) took a fifth
// longer with the prefetches than without, under Wine on AMD Zen 5, and on
// AMD Zen 4 (32 MiB of L3) the builds passed over a 16 MiB file half again
// as slowly as a bare read pass with them, and as fast without. On files
// that no cache holds they are what kept the passes at the bare pass's
// speed on AMD Zen.
constexpr uint32_t kPrefetchFrom = 32u << 20;

// Whether those requests pay on a processor that gives these words: leaf 0
// EBX (the vendor's first four letters) and leaf 1 EAX (the family). Reads
// nothing from the processor itself.
bool prefetchPaysOn(uint32_t vendorEbx, uint32_t leaf1Eax);

// What this processor adds to kPrefetchFrom: 0, or every bit where the
// requests do not pay, so that the kernels ask for data ahead over files
// longer than kPrefetchFrom | prefetchWithheld. Set with the answer to
// cpuHasAvx2's question, which the library asks before it runs any kernel;
// 0 until then, so that the DLL needs no initialised data for it.
extern std::atomic<uint32_t> prefetchWithheld;
#endif

} // namespace vellomar

#endif
