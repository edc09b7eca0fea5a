// The benchmark's bit-sliced 5x5 median (library/core/bitslice_core.cuh) on
// the pre-bordered RGB buffer: its source policy reads a staged row's bytes
// straight from the buffer. Rows start at any byte offset; the image need
// not be a multiple of the tile, and nothing outside the buffer is read.
#include "bitslice_layout.h"
#include "launch_contract.cuh"
#include "library/core/bitslice_core.cuh"
#include "median_kernels.cuh"

namespace {

using namespace median_core::bitslice;

// The bordered buffer as the source of a block's staged rows. Checked: the
// source of the blocks at the buffer's first and last bytes, whose loads
// are clipped to the buffer.
template <bool Checked>
struct bordered_source {
    const unsigned char* in;
    int size;       // bytes of the whole buffer
    int row_bytes;  // its pitch
    int first;      // the block's first staged byte
    int rows;       // staged rows left in the buffer

    __device__ __forceinline__ int staged_rows() const { return rows; }

    // The four bytes at `offset`, at one of the buffer's ends: bytes outside
    // it read as 0.
    __device__ __forceinline__ word word_clipped(int offset) const {
        word w = 0;
#pragma unroll
        for (int i = 0; i < 4; ++i)
            if (offset + i >= 0 && offset + i < size) w |= word(in[offset + i]) << (8 * i);
        return w;
    }

    __device__ __forceinline__ void bytes(int r, int b, word (&t)[8]) const {
        const int offset = first + r * row_bytes + b;
        if (!Checked || aligned_span_inside(in, offset, size)) {
            load_aligned_span(in + offset, t);
        } else {
#pragma unroll
            for (int i = 0; i < 8; ++i) t[i] = word_clipped(offset + 4 * i);
        }
    }

    // Whether every load of the block's staged rows lies inside the buffer,
    // so that the unchecked source serves it (all blocks but a few at the
    // buffer's ends).
    __device__ __forceinline__ bool loads_inside() const {
        const int last_row = min(rows, input_rows) - 1;
        // Both tests always: a short cut makes the second one's operands
        // conditional, and the machine-code profile cannot follow that.
        return (first >= load_size) & (first + last_row * row_bytes + input_words * lanes + load_size <= size);
    }
};

}  // namespace

__global__ void __launch_bounds__(threads, min_blocks_per_sm)
    median_kernel_bitslice(const unsigned char* __restrict__ in, unsigned char* __restrict__ out, int pw, int height) {
    __shared__ __align__(16) word planes[plane_tile_words];
    __shared__ __align__(16) word out_tile[out_tile_words];

    const int row_bytes = pw * channels;
    const int x0 = blockIdx.x * tile_bytes;  // the tile's first byte in a row
    const int y0 = blockIdx.y * tile_rows;
    const int tid = threadIdx.y * threads_x + threadIdx.x;
    const int buffer_rows = height + 2 * ApronRadius;
    const bordered_source<true> source{in, buffer_rows * row_bytes, row_bytes, y0 * row_bytes + x0, buffer_rows - y0};
    // The same for the whole block.
    if (source.loads_inside())
        stage_planes(bordered_source<false>{source.in, source.size, source.row_bytes, source.first, source.rows}, tid,
                     planes);
    else
        stage_planes(source, tid, planes);
    __syncthreads();
    const output_image image{out, static_cast<std::size_t>(row_bytes), (pw - 2 * ApronRadius) * channels, height};
    select_and_store<channels>(planes, out_tile, image, x0, y0, tid);
}
