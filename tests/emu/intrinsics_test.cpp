// The device intrinsics and vector types, held to their definitions in the
// CUDA documentation, written here bit by bit. On a GPU the same tests hold
// the hardware to them, so the emulation and the GPU agree.
#include "test_kernels.h"
#include "tests/kernel_harness.h"

#include <random>

namespace {

static_assert(sizeof(uchar3) == 3 && alignof(uchar3) == 1);
static_assert(sizeof(uchar4) == 4 && alignof(uchar4) == 4);
static_assert(sizeof(ushort2) == 4 && alignof(ushort2) == 4);
static_assert(sizeof(uint2) == 8 && alignof(uint2) == 8);
static_assert(sizeof(uint3) == 12 && alignof(uint3) == 4);
static_assert(sizeof(uint4) == 16 && alignof(uint4) == 16);
static_assert(sizeof(float4) == 16 && alignof(float4) == 16);
static_assert(sizeof(double2) == 16 && alignof(double2) == 16);

unsigned bit(unsigned long long v, int i) { return static_cast<unsigned>(v >> i) & 1u; }

std::vector<unsigned> expected(unsigned x, unsigned y, unsigned s) {
    int popc = 0, clz = 32, ffs = 0;
    unsigned brev = 0;
    for (int i = 0; i < 32; ++i) {
        popc += bit(x, i);
        if (bit(x, i)) clz = 31 - i;
        if (bit(x, i) && ffs == 0) ffs = i + 1;
        brev |= bit(x, i) << (31 - i);
    }
    const unsigned long long pair = (static_cast<unsigned long long>(y) << 32) | x;
    unsigned perm = 0;
    for (int n = 0; n < 4; ++n) {
        const int src = (s >> (4 * n)) & 7;
        perm |= static_cast<unsigned>((pair >> (8 * src)) & 0xFF) << (8 * n);
    }
    // Bit i of a left funnel shift is bit 32 + i - k of hi:lo; of a right one, bit i + k.
    auto left = [&](unsigned k) {
        unsigned r = 0;
        for (int i = 0; i < 32; ++i) r |= bit(pair, 32 + i - static_cast<int>(k)) << i;
        return r;
    };
    auto right = [&](unsigned k) {
        unsigned r = 0;
        for (int i = 0; i < 32 && i + static_cast<int>(k) < 64; ++i) r |= bit(pair, i + static_cast<int>(k)) << i;
        return r;
    };
    auto lanes = [&](int width, bool take_min) {
        unsigned r = 0;
        const unsigned mask = (1u << width) - 1;
        for (int at = 0; at < 32; at += width) {
            const unsigned p = (x >> at) & mask, q = (y >> at) & mask;
            r |= ((p < q) == take_min ? p : q) << at;
        }
        return r;
    };
    const unsigned clamped = s < 32 ? s : 32;
    return {static_cast<unsigned>(popc), static_cast<unsigned>(clz), static_cast<unsigned>(ffs), brev, perm,
            left(s & 31), left(clamped), right(s & 31), right(clamped),
            lanes(16, true), lanes(16, false), lanes(8, true), lanes(8, false)};
}

template <class T>
T* to_device(const std::vector<T>& host) {
    T* ptr = nullptr;
    EXPECT_EQ(cudaMalloc(&ptr, host.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(ptr, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    return ptr;
}

TEST(Intrinsics, MatchTheirDefinitions) {
    REQUIRE_DEVICE();
    std::vector<unsigned> a = {0, ~0u, 1, 0x80000000u, 0x0000FFFFu, 0x12345678u};
    std::vector<unsigned> b = {~0u, 0, 0x80000000u, 1, 0xFFFF0000u, 0x9ABCDEF0u};
    std::vector<unsigned> s = {0, 31, 32, 33, 0x7654u, 0xFFFFFFFFu};
    std::mt19937 random(5);
    while (a.size() < 1000) {
        a.push_back(random() >> (random() % 32));
        b.push_back(random());
        // Byte selectors with all bits set, and shifts of 0 .. 63.
        s.push_back(a.size() % 2 ? random() : random() % 64);
    }
    const int n = static_cast<int>(a.size());
    unsigned *d_a = to_device(a), *d_b = to_device(b), *d_s = to_device(s), *d_out = nullptr;
    ASSERT_EQ(cudaMalloc(&d_out, n * intrinsic_results * sizeof(unsigned)), cudaSuccess);
    ASSERT_EQ(launch_intrinsics(d_a, d_b, d_s, d_out, n), cudaSuccess);
    std::vector<unsigned> out(static_cast<std::size_t>(n) * intrinsic_results);
    ASSERT_EQ(cudaMemcpy(out.data(), d_out, out.size() * sizeof(unsigned), cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned* p : {d_a, d_b, d_s, d_out}) cudaFree(p);
    const char* names[intrinsic_results] = {"popc", "clz", "ffs", "brev", "byte_perm", "funnelshift_l",
                                            "funnelshift_lc", "funnelshift_r", "funnelshift_rc", "vminu2",
                                            "vmaxu2", "vminu4", "vmaxu4"};
    for (int i = 0; i < n; ++i) {
        const auto want = expected(a[i], b[i], s[i]);
        for (int j = 0; j < intrinsic_results; ++j)
            ASSERT_EQ(out[i * intrinsic_results + j], want[j])
                << names[j] << std::hex << " of a=" << a[i] << " b=" << b[i] << " s=" << s[i];
    }
}

TEST(Intrinsics, ConstantMemoryAndVectorLoads) {
    REQUIRE_DEVICE();
    const std::vector<unsigned> table = {10, 20, 30, 40};
    ASSERT_EQ(set_constant_table(table.data(), 4, 0), cudaSuccess);
    EXPECT_EQ(set_constant_table(table.data(), 2, 3), cudaErrorInvalidValue) << "past the variable's end";
    cudaGetLastError();
    const std::vector<uint4> in = {make_uint4(1, 2, 3, 4)};
    uint4* d_in = to_device(in);
    unsigned* d_out = nullptr;
    ASSERT_EQ(cudaMalloc(&d_out, 8 * sizeof(unsigned)), cudaSuccess);
    ASSERT_EQ(launch_constant_and_vector(d_in, d_out, 8), cudaSuccess);
    std::vector<unsigned> out(8);
    ASSERT_EQ(cudaMemcpy(out.data(), d_out, 8 * sizeof(unsigned), cudaMemcpyDeviceToHost), cudaSuccess);
    cudaFree(d_in);
    cudaFree(d_out);
    for (int t = 0; t < 8; ++t) EXPECT_EQ(out[t], table[t % 4] + 10) << t;
}

}  // namespace
