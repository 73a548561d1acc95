// Every kernel set this processor runs, by name, for the benchmarks to time
// one by one: the scalar reference always, SSE2 and AVX2 where they exist.
#ifndef VELLOMAR_BENCH_KERNELS_H
#define VELLOMAR_BENCH_KERNELS_H

#include <vector>

#include "text/kernels.h"
#include "text/line_table.h"
#include "text/marked.h"

namespace bench {

struct KernelSet {
    const char *name;
    uint32_t (*build)(const uint8_t *, uint32_t, uint16_t *, vellomar::TableMode);
    void (*decode)(uint8_t *, uint32_t);
    uint32_t (*decodeAndBuild)(uint8_t *, uint32_t, uint16_t *);
};

inline std::vector<KernelSet> kernelSets() {
    std::vector<KernelSet> sets = {
        {"scalar", vellomar::buildLineTableScalar, vellomar::decodeMarkedScalar,
         vellomar::decodeMarkedAndBuildScalar},
    };
#if VELLOMAR_KERNELS_SSE2
    sets.push_back({"sse2", vellomar::buildLineTableSse2, vellomar::decodeMarkedSse2,
                    vellomar::decodeMarkedAndBuildSse2});
#endif
#if VELLOMAR_KERNELS_AVX2
    if (vellomar::cpuHasAvx2())
        sets.push_back({"avx2", vellomar::buildLineTableAvx2, vellomar::decodeMarkedAvx2,
                        vellomar::decodeMarkedAndBuildAvx2});
#endif
    return sets;
}

} // namespace bench

#endif
