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

uint32_t buildLineTable(const uint8_t *data, uint32_t length, uint16_t *table, TableMode mode) {
#if VELLOMAR_KERNELS_AVX2
    if (cpuHasAvx2())
        return buildLineTableAvx2(data, length, table, mode);
#endif
#if VELLOMAR_KERNELS_SSE2
    return buildLineTableSse2(data, length, table, mode);
#else
    return buildLineTableScalar(data, length, table, mode);
#endif
}

void decodeMarked(uint8_t *data, uint32_t length) {
#if VELLOMAR_KERNELS_AVX2
    if (cpuHasAvx2()) {
        decodeMarkedAvx2(data, length);
        return;
    }
#endif
#if VELLOMAR_KERNELS_SSE2
    decodeMarkedSse2(data, length);
#else
    decodeMarkedScalar(data, length);
#endif
}

uint32_t decodeMarkedAndBuild(uint8_t *data, uint32_t length, uint16_t *table) {
#if VELLOMAR_KERNELS_AVX2
    if (cpuHasAvx2())
        return decodeMarkedAndBuildAvx2(data, length, table);
#endif
#if VELLOMAR_KERNELS_SSE2
    return decodeMarkedAndBuildSse2(data, length, table);
#else
    return decodeMarkedAndBuildScalar(data, length, table);
#endif
}

} // namespace vellomar
