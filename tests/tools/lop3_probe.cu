// One kernel per truth table of library/core/bitslice_logic.cuh, so
// that each table's immediate stands alone in the PTX. Built as C++ against
// the emulated runtime, main() prints each table and what the C++ fallback
// makes of it on the canonical operands.
#include "library/core/bitslice_logic.cuh"

#define LOP3_TABLES(X) \
    X(xor3_table) X(majority_table) X(xor_table) X(select_table) X(decide_table) \
        X(or3_table) X(and3_table)

#define LOP3_PROBE(table)                                                                              \
    __global__ void probe_##table(unsigned int* out, unsigned int a, unsigned int b, unsigned int c) { \
        *out = median_core::bitslice::lop3<median_core::bitslice::table>(a, b, c);                           \
    }
LOP3_TABLES(LOP3_PROBE)

#ifndef __CUDACC__
#include <cstdio>

int main() {
    // Every bit of a word sees the eight input combinations in turn.
    constexpr unsigned int a = 0xF0F0F0F0u, b = 0xCCCCCCCCu, c = 0xAAAAAAAAu;
    unsigned int result = 0;
#define LOP3_PRINT(table)          \
    probe_##table(&result, a, b, c); \
    std::printf("%s %d %u\n", #table, median_core::bitslice::table, result);
    LOP3_TABLES(LOP3_PRINT)
    return 0;
}
#endif
