// What the tests and fuzz targets fill the host's memory with before a call,
// so that every byte the call writes shows.
#ifndef VELLOMAR_TESTS_HOST_FILLS_H
#define VELLOMAR_TESTS_HOST_FILLS_H

#include <stdint.h>

constexpr uint8_t kBufferFill = 0xEE;
constexpr uint16_t kTableFill = 0x5A5A;

#endif
