#include "kernel_table.h"

#include "include/median_filter/median_filter.h"
#include "benchmark/kernels/bitslice_layout.h"
#include "library/core/kernel_catalog.h"
#include "library/tuning.h"
#include "benchmark/kernels/forgetful_layout.h"
#include "benchmark/kernels/histogram_layout.h"
#include "benchmark/kernels/median_kernels.cuh"
#include "benchmark/kernels/search_layout.h"
#include "benchmark/kernels/tiled_layout.h"

namespace {

// Both runtimes read only as many arguments as the kernel takes, so the
// fourth one is passed to all of them: the image height for the kernels
// that cover the whole image, 0 for the unused int of kernel_conv_nv5.
template <auto Kernel, bool TakesHeight = false>
cudaError_t launch(dim3 grid, dim3 block, const unsigned char* in, unsigned char* out, int pw, int height) {
    // Kernels take a mutable input pointer for their signature; they only read it.
    auto* input = const_cast<unsigned char*>(in);
    int fourth = TakesHeight ? height : 0;
    void* args[] = {&input, &out, &pw, &fourth};
    return cudaLaunchKernel(Kernel, grid, block, args, 0, nullptr);
}

// The library call on the image inside the bordered buffer, with the
// default options: a black border, as the bordered kernels see. It picks
// its own grid.
cudaError_t launch_library(dim3, dim3, const unsigned char* in, unsigned char* out, int pw, int height) {
    const std::size_t pitch = static_cast<std::size_t>(pw) * channels;
    const int first = pixel_offset(ApronRadius, ApronRadius, pw, 0);
    return median_filter::filter5x5(in + first, pitch, out + first, pitch, pw - 2 * ApronRadius, height, channels);
}

constexpr dim3 block_32x8(block_width, block_height);
constexpr dim3 block_16x16(conv_block_side, conv_block_side);
constexpr dim3 block_tiled(median_core::block_cols, median_core::block_rows);
constexpr dim3 block_tiled_wide(tiled_wide_5x5_geometry::block_cols, tiled_wide_5x5_geometry::block_rows);
constexpr dim3 block_bitslice(bitslice::threads_x, bitslice::threads_y);

// ---- launch bounds --------------------------------------------------------------
// A GPU refuses a block larger than its kernel's __launch_bounds__ (1024
// threads where the kernel declares none): each block shape above against
// the bound of the kernels the table launches with it.
constexpr unsigned block_threads(dim3 b) { return b.x * b.y * b.z; }
constexpr unsigned unbounded_kernel_threads = 1024;
static_assert(block_threads(block_32x8) <= unbounded_kernel_threads, "the kernels without __launch_bounds__");
static_assert(block_threads(block_16x16) <= unbounded_kernel_threads, "kernel_conv_nv5");
static_assert(block_threads(block_tiled) <= tiled_5x5_geometry::threads, "median_kernel_tiled_network");
static_assert(block_threads(block_tiled_wide) <= tiled_wide_5x5_geometry::threads, "median_kernel_tiled_wide");
static_assert(block_threads(block_bitslice) <= bitslice::bitslice_threads, "median_kernel_bitslice");
// ---------------------------------------------------------------------------------

// The library call's row: the geometry of the kernel its dispatch picks for
// 5x5 8-bit RGB on sm_90 (the wide tile in 16-bit lanes; the bit-sliced
// kernel before sm_90).
const median_core::kernel_info<unsigned char>& library_5x5_rgb() {
    constexpr int sm_90 = 90;
    using median_filter::detail::choose_method;
    using median_filter::detail::element;
    return *median_core::find_library_kernel<unsigned char>(choose_method(sm_90, 5, element::u8, 3), 5, 3);
}

kernel_entry library_entry() {
    const auto& k = library_5x5_rgb();
    // The library launches the kernel with its own block; the row's block
    // only gives the span its grid covers.
    return {k.name, launch_library, dim3(k.block_x, k.block_y), k.span_cols / k.block_x,
            k.span_rows / k.block_y, grid_rule::whole_image, output_placement::centred,
            reference::exact_median, "exact median", k.shared_bytes,
            "library call median_filter::filter5x5: the tiled network, border mode applied while staging"};
}

// Shared bytes of a tile of Element values: the kernels declare their
// tiles from the same types.
template <class Tile, class Element = unsigned char>
constexpr int tile_bytes = Tile::elements * sizeof(Element);

using sliding::interleaved_132x12;
using sliding::planar_132x12;

}  // namespace

dim3 kernel_entry::grid(int width, int height) const {
    const int round_up = coverage == grid_rule::whole_image;
    return dim3(static_cast<unsigned>(width / span_x() + (round_up && width % span_x() != 0)),
                static_cast<unsigned>(height / span_y() + (round_up && height % span_y() != 0)));
}

int kernel_entry::output_offset(int x, int y, int pw, int c) const {
    const int shift = placement == output_placement::centred ? ApronRadius : 0;
    return pixel_offset(x + shift, y + shift, pw, c);
}

const std::vector<kernel_entry>& kernel_table() {
    static const std::vector<kernel_entry> table = {
        {"median_kernel_batcher_5x5", launch<median_kernel_batcher_5x5>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::exact_median, "exact median", tile_bytes<interleaved_36x12>,
         "odd-even merge sort network, 202 min/max per channel, interleaved tile"},
        {"median_kernel_tiled_network", launch<median_kernel_tiled_network, true>, block_tiled,
         tiled_5x5_geometry::tile_cols, tiled_5x5_geometry::tile_rows * tiled_5x5_geometry::bands, grid_rule::whole_image,
         output_placement::top_left, reference::exact_median, "exact median", tiled_5x5_geometry::stage_bytes,
         "pruned sorting network shared by 4x2-pixel tiles, two tiles per thread in 16-bit lanes, whole image"},
        {"median_kernel_tiled_wide", launch<median_kernel_tiled_wide, true>, block_tiled_wide,
         tiled_wide_5x5_geometry::tile_cols, tiled_wide_5x5_geometry::tile_rows * tiled_wide_5x5_geometry::bands,
         grid_rule::whole_image, output_placement::top_left, reference::exact_median, "exact median",
         tiled_wide_5x5_geometry::stage_bytes,
         "the same network over 8x2-pixel tiles (60.4 min/max per channel and pixel), 16x8-thread blocks"},
        {"median_kernel_batcher", launch<median_kernel_batcher>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::exact_median, "exact median", tile_bytes<planar_36x12>,
         "odd-even merge sort network on a planar tile"},
        {"median_kernel_ff", launch<median_kernel_ff>, block_32x8, forgetful::pixels_per_thread, 1,
         grid_rule::full_blocks, output_placement::top_left, reference::exact_median, "exact median",
         tile_bytes<forgetful::tile>,
         "forgetful selection, two pixels per thread sharing 20 window values, planar tile"},
        {"median_kernel_hist_sm", launch<median_kernel_hist_sm>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::exact_median, "exact median",
         tile_bytes<planar_36x12> + packed_counter_bytes,
         "two-level histogram, packed 8-bit counters in shared memory, planar tile"},
        {"median_kernel_hist_r", launch<median_kernel_hist_r>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::exact_median, "exact median", tile_bytes<planar_36x12>,
         "two-level histogram, packed 8-bit counters in registers, planar tile"},
        {"median_kernel_hist_sm_m", launch<median_kernel_hist_sm_m>, block_32x8, sliding::pixels_per_thread, 1,
         grid_rule::full_blocks, output_placement::top_left, reference::exact_median, "exact median",
         tile_bytes<planar_132x12> + 2 * packed_counter_bytes,
         "two-level histogram, packed counters, four pixels per thread with a sliding coarse histogram"},
        {"median_kernel_hist_nbc", launch<median_kernel_hist_nbc>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::exact_median, "exact median",
         tile_bytes<interleaved_36x12> + counter_bytes,
         "two-level histogram, byte counters row per bin, interleaved tile"},
        {"median_kernel_hist_nbc2", launch<median_kernel_hist_nbc2>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::exact_median, "exact median",
         tile_bytes<interleaved_36x12> + counter_bytes,
         "two-level histogram, byte counters word per thread, interleaved tile"},
        {"median_kernel_hist_nbc_m", launch<median_kernel_hist_nbc_m>, block_32x8, sliding::pixels_per_thread, 1,
         grid_rule::full_blocks, output_placement::top_left, reference::exact_median, "exact median",
         tile_bytes<planar_132x12> + 2 * packed_counter_bytes,
         "sliding two-level histogram, four pixels per thread, byte counters word per thread, planar tile"},
        {"median_kernel_hist_nbc2_m", launch<median_kernel_hist_nbc2_m>, block_32x8, sliding::pixels_per_thread, 1,
         grid_rule::full_blocks, output_placement::top_left, reference::exact_median, "exact median",
         tile_bytes<interleaved_132x12> + 2 * counter_bytes,
         "sliding two-level histogram, four pixels per thread, byte counters row per bin, interleaved tile"},
        {"median_kernel_hist_sm_v0", launch<median_kernel_hist_sm_v0>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::luma_12th_smallest, "12th smallest luma, grey",
         2 * luma_plane::plane + counter_bytes,
         "two-level histogram of luma (2 b0 + b2) / 3, byte counters, rank 11 not the median"},
        {"median_kernel_xilinx", launch<median_kernel_xilinx>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::exact_median, "exact median", tile_bytes<planar_36x12>,
         "pairwise rank counting, 300 float comparisons per channel"},
        {"median_kernel_search", launch<median_kernel_search>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::bisection_truncated, "median, truncated bisection",
         tile_bytes<planar_36x12, float>, "bisection of the value range, float counts, planar float tile"},
        {"median_kernel_search_nvidia", launch<median_kernel_search_nvidia>, block_32x8, 1, 1, grid_rule::full_blocks,
         output_placement::top_left, reference::bisection_truncated, "median, truncated bisection",
         tile_bytes<interleaved_36x12>, "bisection of the value range, three channels per loop, interleaved tile"},
        {"kernel_conv_nv5", launch<kernel_conv_nv5>, block_16x16, 1, 1, grid_rule::full_blocks,
         output_placement::centred, reference::bisection_rounded, "median, rounded bisection", tile_bytes<conv_tile>,
         "bisection of the value range, 16x16 blocks, centred output"},
        {"median_kernel_bitslice", launch<median_kernel_bitslice, true>, block_bitslice, bitslice::pixels_per_thread,
         bitslice::rows_per_thread, grid_rule::whole_image, output_placement::top_left, reference::exact_median,
         "exact median", bitslice::shared_bytes,
         "bit-sliced majority selection, 32 bytes per logic instruction, decided values counted as their bit"},
        library_entry(),
    };
    return table;
}

const kernel_entry* find_kernel(std::string_view name) {
    for (const auto& k : kernel_table())
        if (name == k.name) return &k;
    return nullptr;
}

const kernel_entry& benchmark_kernel() { return *find_kernel("median_kernel_batcher_5x5"); }

const kernel_entry& library_kernel() { return *find_kernel(library_5x5_rgb().name); }
