// Every kernel set this processor runs, by name, for the benchmarks to time
// one by one.
#ifndef VELLOMAR_BENCH_KERNELS_H
#define VELLOMAR_BENCH_KERNELS_H

#include <vector>

#include "text/kernels.h"
#include "text/text.h"

namespace bench {

// The sets in the order the library lists them, widest first, then the
// scalar reference.
inline std::vector<vellomar::KernelSet> kernelSets() {
    std::vector<vellomar::KernelSet> sets;
    const vellomar::ProcessorWords words = vellomar::processorWords();
    for (uint32_t i = 0; i < vellomar::kKernelSetCount; ++i)
        if (vellomar::kKernelSets[i]->runsOn(words))
            sets.push_back(*vellomar::kKernelSets[i]);
    return sets;
}

} // namespace bench

#endif
