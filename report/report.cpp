#include "report/report.h"

#include <atomic>

namespace vellomar {

namespace {

// The one piece of state that outlives a call. Each report reads it once
// before its box and writes it once after, so reports from several threads
// need no lock; the text itself lives on each report's own stack.
std::atomic<int> lastAnswer{0};

} // namespace

void dwtoa(uint32_t value, char *text) {
    // The magnitude is unsigned, so the most negative value keeps all ten digits.
    const bool negative = (value & 0x80000000u) != 0;
    uint32_t magnitude = negative ? 0u - value : value;
    char *out = text;
    if (negative)
        *out++ = '-';
    char *digits = out;
    do {
        *out++ = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    *out = '\0';
    for (char *low = digits, *high = out - 1; low < high; ++low, --high) {
        const char digit = *low;
        *low = *high;
        *high = digit;
    }
}

void reportSizeError(uint32_t count, MessageBoxFn box) {
    if (lastAnswer.load(std::memory_order_acquire) == IDCANCEL)
        return;
    constexpr unsigned prefixLength = sizeof kReportPrefix - 1;
    char text[prefixLength + kDigitRoom];
    for (unsigned i = 0; i < prefixLength; ++i)
        text[i] = kReportPrefix[i];
    dwtoa(count, text + prefixLength);
    lastAnswer.store(box(text, kReportCaption), std::memory_order_release);
}

int lastReportAnswer() { return lastAnswer.load(std::memory_order_acquire); }

void resetReport() { lastAnswer.store(0, std::memory_order_release); }

} // namespace vellomar
