// Three-input logic of the bit-sliced kernels: the truth tables they use and
// one instruction that applies any of them. The kernels, the C++ fallback on
// the emulation and the machine-code test (tests/tools/lop3_tables_test.py)
// all read the tables from here.
#pragma once

namespace median_core::bitslice {

// Truth tables as LOP3 encodes them: bit 4a + 2b + c of the table is the
// result for input bits a, b, c, which is the function applied to the
// operands' canonical patterns.
constexpr int op_a = 0xF0, op_b = 0xCC, op_c = 0xAA;
constexpr int xor3_table = op_a ^ op_b ^ op_c;
constexpr int majority_table = (op_a & op_b) | (op_c & (op_a ^ op_b));
constexpr int xor_table = op_a ^ op_b;
// a where c is set, else b.
constexpr int select_table = (op_a & op_c) | (op_b & ~op_c & 0xFF);
// a, or b differing from c: a window value is decided (a) from then on once
// its bit b differs from the median's bit c.
constexpr int decide_table = op_a | (op_b ^ op_c);
// Any of three set, all three set: the two sides of a comparison of a sum
// of bits with a constant.
constexpr int or3_table = op_a | op_b | op_c;
constexpr int and3_table = op_a & op_b & op_c;

// The function of a, b and c with truth table Table, as one instruction: the
// compiler would otherwise fold the window planes' masking into the adders
// and the bit swaps' masks into extra instructions.
template <int Table>
__device__ __forceinline__ unsigned int lop3(unsigned int a, unsigned int b, unsigned int c) {
    static_assert(Table >= 0 && Table <= 0xFF, "a truth table of three inputs has eight bits");
#ifdef __CUDA_ARCH__
    unsigned int d;
    asm("lop3.b32 %0, %1, %2, %3, %4;" : "=r"(d) : "r"(a), "r"(b), "r"(c), "n"(Table));
    return d;
#else
    unsigned int d = 0;
    for (int m = 0; m < 8; ++m)
        if (Table >> m & 1) d |= (m & 4 ? a : ~a) & (m & 2 ? b : ~b) & (m & 1 ? c : ~c);
    return d;
#endif
}

}  // namespace median_core::bitslice
