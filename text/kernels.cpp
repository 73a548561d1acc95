// The one place that chooses which kernel runs.
#include "text/kernels.h"

#include "text/line_table.h"
#include "text/marked.h"

namespace vellomar {

#if VELLOMAR_KERNELS_AVX2
// Asked on every call: after the first it is a load and a bit test, and it
// needs no state of the library's own to be shared between threads. This
// file is not compiled for AVX2, so it is safe to run anywhere.
bool cpuHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
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
