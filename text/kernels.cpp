// The one place that chooses which kernel runs.
#include "text/kernels.h"

#include "text/line_table.h"
#include "text/marked.h"

#if VELLOMAR_KERNELS_AVX2
#include <cpuid.h>
#endif

namespace vellomar {

#if VELLOMAR_KERNELS_AVX2
// AVX2 code runs where the processor has AVX2 (leaf 7, EBX bit 5) and the
// operating system saves the XMM and YMM registers on a thread switch: it
// says it manages the state (OSXSAVE, leaf 1 ECX bit 27), the processor has
// AVX (bit 28), and XCR0 has bits 1 and 2. Without the last, the upper
// halves of the registers are lost whenever another thread runs.
bool avx2Runs(bool hasLeaf7, uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint32_t xcr0) {
    constexpr uint32_t kOsXsaveAndAvx = kCpuidOsXsave | kCpuidAvx;
    constexpr uint32_t kXmmAndYmm = (1u << 1) | (1u << 2);
    return hasLeaf7 && (leaf1Ecx & kOsXsaveAndAvx) == kOsXsaveAndAvx &&
           (xcr0 & kXmmAndYmm) == kXmmAndYmm && (leaf7Ebx & kCpuidAvx2) != 0;
}

// AMD's family 25 (Zen 3 and Zen 4) is the one where the kernels' requests
// for data ahead cost more than they gain: on Zen 4, over a 256 MiB text
// no cache holds, the record build took 1.2 to 1.3 times a bare read pass
// with them and 1.0 without, whatever the distance, and the decoding and
// build a tenth longer. On family 23 (Zen) they are what kept the passes at
// the bare pass's speed, and on Zen 5 and an Intel Xeon the passes kept to
// it with them.
bool prefetchPaysOn(uint32_t vendorEbx, uint32_t leaf1Eax) {
    constexpr uint32_t kAuth = 0x68747541; // "Auth" of "AuthenticAMD", no other vendor's
    // Family 25 is base family 15 plus extended family 10.
    constexpr uint32_t kFamilyBits = 0x0FF00F00, kFamily25 = 0x00A00F00;
    return !(vendorEbx == kAuth && (leaf1Eax & kFamilyBits) == kFamily25);
}

std::atomic<uint32_t> prefetchWithheld{0};

namespace {

// The answer, once known: 0 not asked yet, 1 no, 2 yes. Constant-initialised,
// so no constructor has to run before the first call. Threads that ask at the
// same time each find the same answers and store the same values; cpuid is
// slow in a virtual machine, so it is asked once per process, not per call.
std::atomic<uint32_t> avx2Answer{0};

// Asked of the processor itself, with no help from a C runtime (the Windows
// DLL has none). This file is not compiled for AVX2, so it is safe to run
// anywhere; cpuid is on every processor with SSE2, the 32-bit DLL's least.
// xgetbv is an invalid instruction unless OSXSAVE is set, and a leaf past
// the highest one answers with the highest one's words (on Intel), so each
// is read only where it means something; what is not read stays 0. Stores
// the answer, and prefetchWithheld on the way.
__attribute__((noinline)) uint32_t askProcessorForAvx2() {
    unsigned int maxLeaf = 0, vendorEbx = 0, eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, maxLeaf, vendorEbx, ecx, edx);
    __cpuid(1, eax, ebx, ecx, edx); // leaf 1 is there on every processor with cpuid
    const uint32_t leaf1Eax = eax, leaf1Ecx = ecx;
    if (!prefetchPaysOn(vendorEbx, leaf1Eax))
        prefetchWithheld.store(UINT32_MAX, std::memory_order_relaxed);
    uint32_t xcr0 = 0;
    if ((leaf1Ecx & kCpuidOsXsave) != 0) {
        unsigned int xcr0High = 0;
        __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    }
    uint32_t leaf7Ebx = 0;
    const bool hasLeaf7 = maxLeaf >= 7;
    if (hasLeaf7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        leaf7Ebx = ebx;
    }
    const uint32_t answer = avx2Runs(hasLeaf7, leaf1Ecx, leaf7Ebx, xcr0) ? 2 : 1;
    avx2Answer.store(answer, std::memory_order_relaxed);
    return answer;
}

} // namespace

bool cpuHasAvx2() {
    const uint32_t answer = avx2Answer.load(std::memory_order_relaxed);
    return (answer != 0 ? answer : askProcessorForAvx2()) == 2;
}
#endif

uint32_t decodeMarkedAndBuildScalar(uint8_t *data, uint32_t length, uint16_t *table) {
    decodeMarkedScalar(data, length);
    return buildLineTableScalar(data, length, table, TableMode::record);
}

KernelSet chosenKernels() {
#if VELLOMAR_KERNELS_AVX2
    if (cpuHasAvx2())
        return KernelSet::avx2;
#endif
#if VELLOMAR_KERNELS_SSE2
    return KernelSet::sse2;
#else
    return KernelSet::scalar;
#endif
}

uint32_t buildLineTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
    switch (chosenKernels()) {
#if VELLOMAR_KERNELS_AVX2
    case KernelSet::avx2:
        return buildLineTableAvx2(data, length, table, mode);
#endif
#if VELLOMAR_KERNELS_SSE2
    case KernelSet::sse2:
        return buildLineTableSse2(data, length, table, mode);
#endif
    default:
        return buildLineTableScalar(data, length, table, mode);
    }
}

void decodeMarked(uint8_t *data, uint32_t length) {
    switch (chosenKernels()) {
#if VELLOMAR_KERNELS_AVX2
    case KernelSet::avx2:
        return decodeMarkedAvx2(data, length);
#endif
#if VELLOMAR_KERNELS_SSE2
    case KernelSet::sse2:
        return decodeMarkedSse2(data, length);
#endif
    default:
        return decodeMarkedScalar(data, length);
    }
}

uint32_t decodeMarkedAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
    switch (chosenKernels()) {
#if VELLOMAR_KERNELS_AVX2
    case KernelSet::avx2:
        return decodeMarkedAndBuildAvx2(data, length, table);
#endif
#if VELLOMAR_KERNELS_SSE2
    case KernelSet::sse2:
        return decodeMarkedAndBuildSse2(data, length, table);
#endif
    default:
        return decodeMarkedAndBuildScalar(data, length, table);
    }
}

} // namespace vellomar
