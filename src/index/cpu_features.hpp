// Processor features the engine chooses code by at run time. Code for a
// wider instruction set is compiled into the baseline build as separate
// functions (target attributes) and taken only when the processor has it;
// both versions compute the same values bit for bit.
#pragma once

// GCC and Clang on x86-64 can compile a function for AVX2 (or SSE4.2)
// inside a baseline build; elsewhere no such code is compiled at all.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PLOVIK_AVX2_TARGET 1
#define PLOVIK_SSE42_TARGET 1
#else
#define PLOVIK_AVX2_TARGET 0
#define PLOVIK_SSE42_TARGET 0
#endif

namespace plovik {

// Whether the processor runs AVX2 code; always false without
// PLOVIK_AVX2_TARGET. Detected once per process.
bool cpu_has_avx2();

// Whether the processor runs SSE4.2 code (the crc32 instruction); always
// false without PLOVIK_SSE42_TARGET. Detected once per process.
bool cpu_has_sse42();

}  // namespace plovik
