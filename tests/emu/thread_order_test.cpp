// Kernels give the same bytes whatever order the emulator runs a block's
// threads in between barriers; one that misses a barrier does not.
#include "checks_in_force.h"
#include "device_array.h"
#include "test_kernels.h"
#include "tests/kernel_harness.h"

#ifdef MEDIAN_EMULATION

#include <emu_thread_order.h>

namespace {

// Runs the body of a test in one order, and goes back to the previous one.
class scoped_order {
public:
    explicit scoped_order(emu::thread_order_setting setting) : previous_(emu::current_thread_order()) {
        emu::set_thread_order(setting);
    }
    ~scoped_order() { emu::set_thread_order(previous_); }

private:
    emu::thread_order_setting previous_;
};

const emu::thread_order_setting other_orders[] = {
    {emu::thread_order::reverse, 0}, {emu::thread_order::shuffle, 1}, {emu::thread_order::shuffle, 2}};

std::vector<unsigned char> run_in(emu::thread_order_setting order, const kernel_entry& kernel,
                                  const PaddedImage& input) {
    const scoped_order scope(order);
    return harness::run_once(kernel, input);
}

class EveryKernelInEveryOrder : public ::testing::TestWithParam<kernel_entry> {};

TEST_P(EveryKernelInEveryOrder, GivesTheSameBytes) {
    const kernel_entry& kernel = GetParam();
    const PaddedImage input = harness::random_image(300, 37, 11);
    const std::vector<unsigned char> forward = run_in({emu::thread_order::forward, 0}, kernel, input);
    for (const auto& order : other_orders)
        EXPECT_TRUE(run_in(order, kernel, input) == forward)
            << kernel.name << " in order " << static_cast<int>(order.order) << ", seed " << order.seed;
}

INSTANTIATE_TEST_SUITE_P(Table, EveryKernelInEveryOrder, ::testing::ValuesIn(kernel_table()),
                         [](const ::testing::TestParamInfo<kernel_entry>& info) {
                             return std::string(info.param.name);
                         });

std::vector<int> missing_barrier_result(emu::thread_order_setting order, const std::vector<int>& in) {
    const scoped_order scope(order);
    const int n = static_cast<int>(in.size());
    device_array<int> d_in(n), d_out(n);
    d_in.write(in);
    EXPECT_EQ(launch_missing_barrier(n, d_in.ptr, d_out.ptr), cudaSuccess);
    return d_out.read();
}

TEST(ThreadOrder, AMissingBarrierShowsInAnotherOrder) {
    if (race_check() || init_check()) GTEST_SKIP() << "the check build catches it in any order (check_test.cpp)";
    std::vector<int> in(256);
    for (int t = 0; t < 256; ++t) in[t] = t;
    const std::vector<int> forward = missing_barrier_result({emu::thread_order::forward, 0}, in);
    for (const auto& order : other_orders)
        EXPECT_FALSE(missing_barrier_result(order, in) == forward) << "order " << static_cast<int>(order.order);
}

}  // namespace

#endif  // MEDIAN_EMULATION
