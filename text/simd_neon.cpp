// The NEON kernels, a block in four 16-byte vectors. Every AArch64 processor
// has NEON, so they run wherever this file is built.
#include "text/kernels.h"
#include "text/text.h"
#ifdef __aarch64__
#include <arm_neon.h>

#include "text/block_decode.h"

namespace vellomar {
namespace {

struct Neon {
    struct Block { uint8x16x4_t v; };
    static Block load(const uint8_t *p) { return {vld1q_u8_x4(p)}; }
    static void store(uint8_t *p, const Block &b) { // four stores: no copies into a register run
        vst1q_u8(p, b.v.val[0]), vst1q_u8(p + 16, b.v.val[1]);
        vst1q_u8(p + 32, b.v.val[2]), vst1q_u8(p + 48, b.v.val[3]);
    }
    static Block equal(const Block &b, uint8_t byte) {
        const uint8x16_t x = vdupq_n_u8(byte);
        return {{{vceqq_u8(b.v.val[0], x), vceqq_u8(b.v.val[1], x), vceqq_u8(b.v.val[2], x),
                  vceqq_u8(b.v.val[3], x)}}};
    }
    static Block either(const Block &a, const Block &b) {
        return {{{vorrq_u8(a.v.val[0], b.v.val[0]), vorrq_u8(a.v.val[1], b.v.val[1]),
                  vorrq_u8(a.v.val[2], b.v.val[2]), vorrq_u8(a.v.val[3], b.v.val[3])}}};
    }
    static Block complement(const Block &b) {
        return {{{vmvnq_u8(b.v.val[0]), vmvnq_u8(b.v.val[1]), vmvnq_u8(b.v.val[2]),
                  vmvnq_u8(b.v.val[3])}}};
    }
    static bool any(const Block &m) {
        return vmaxvq_u8(vorrq_u8(vorrq_u8(m.v.val[0], m.v.val[1]),
                                  vorrq_u8(m.v.val[2], m.v.val[3]))) != 0;
    }
    // Each byte of a mask keeps the bit of its place among eight; three
    // rounds of pairwise sums then gather the 64 bits in order.
    static uint64_t bits(const Block &m) {
        static const uint8_t kPlaces[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                            1, 2, 4, 8, 16, 32, 64, 128};
        const uint8x16_t bit = vld1q_u8(kPlaces);
        const uint8x16_t low = vpaddq_u8(vandq_u8(m.v.val[0], bit), vandq_u8(m.v.val[1], bit));
        const uint8x16_t high = vpaddq_u8(vandq_u8(m.v.val[2], bit), vandq_u8(m.v.val[3], bit));
        uint8x16_t sum = vpaddq_u8(low, high);
        sum = vpaddq_u8(sum, sum);
        return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
    }
};

} // namespace

extern const KernelSet kNeonKernels = {"neon", buildTable<Neon>, decodeAndBuild<Neon>,
                                       runsAnywhere};

} // namespace vellomar
#endif
