// Geometry of the bit-sliced 5x5 selection (bitslice_core.cuh) for 8-bit
// images of one to four interleaved channels: its tuning constants and what
// follows from them. Plain C++: the kernels, the library's catalog and the
// benchmark's table read it.
#pragma once

namespace median_core::bitslice {

using word = unsigned int;

// ---- tuning constants --------------------------------------------------------

constexpr int words_per_thread = 3;  // 96 bytes: 32 RGB pixels of a row
// Output rows a thread selects at once. Two would share four window rows'
// loads and shifts between vertical neighbours (about 8 instructions a
// pixel), but hold two selection states of 50 planes (167 registers on
// sm_80) and twice the shared tiles a thread: 64-thread blocks within the
// 48 KB of static shared memory, 2 to 6 warps an SM.
constexpr int rows_per_thread = 1;
constexpr int threads_x = 4;
constexpr int threads_y = 32;
// Up to 128 registers a thread. The shared tiles (41 KB a block, plus the
// 1 KB an SM keeps per block) are what hold the warps below 16 an SM: 1
// block (4 warps) on sm_75, 3 (12) on sm_80, 2 (8) on sm_86, sm_89 and
// sm_120, 5 (20) on sm_90 and sm_100. Halving them (one copy of each plane
// word, read as two 8-byte loads instead of one 16-byte load) would cost
// about 2 instructions a pixel; the selection itself has 25 independent
// chains of logic per bit to hide latency with.
constexpr int min_blocks_per_sm = 4;
// Copies of the selection code (16 KB each), one per word of a thread, and
// of the staging code (5 KB each), one per row a loader converts.
constexpr int selection_unroll = 3;
constexpr int staging_unroll = 1;
// Shared-row padding, in words: makes plane rows an odd number of 16-byte
// slots apart, so that a warp reading one slot of 32 rows hits distinct banks.
constexpr int plane_row_pad = 4;

// ---- geometry that follows ---------------------------------------------------

constexpr int radius = 2;
constexpr int window_side = 2 * radius + 1;
constexpr int window_values = window_side * window_side;
constexpr int median_index = window_values / 2;
constexpr int lanes = 32;  // bytes per plane word
constexpr int value_bits = 8;
constexpr int threads = threads_x * threads_y;
constexpr int tile_words = threads_x * words_per_thread;
constexpr int tile_bytes = tile_words * lanes;
constexpr int tile_rows = threads_y * rows_per_thread;
constexpr int input_rows = tile_rows + 2 * radius;
// Plane rows one thread reads for its rows' windows.
constexpr int window_rows = rows_per_thread + 2 * radius;
constexpr int input_words = tile_words + 1;
// A plane row holds, for each output word, planes b and b + 1 (b even) of
// its own 32 bytes and of the next 32 side by side: one 16-byte read gives
// two bits of a window row. Every plane word is stored twice.
constexpr int bit_pairs = value_bits / 2;
constexpr int pair_words = 4;  // lo b, lo b + 1, hi b, hi b + 1
constexpr int group_words = bit_pairs * pair_words;
constexpr int plane_row_words = tile_words * group_words + plane_row_pad;
constexpr int chunk = 16;  // bytes of one vector store
// Bytes loaded for one plane word: 32 starting anywhere in a word load.
// Word loads: 9 loads and 8 shifts where 8-byte loads take 5 loads, 9
// selections and 8 shifts.
constexpr int load_size = 4;
constexpr int load_span = lanes + load_size;
constexpr int chunk_words = chunk / 4;
// The output tile keeps one chunk before each row, so that a store chunk
// reaching back over the tile's first byte still reads inside the row; rows
// are an odd number of chunks apart, as are the plane rows.
constexpr int out_lead_words = chunk_words;
constexpr int out_row_words = out_lead_words + tile_bytes / 4;
// Store chunks touching a tile row that starts anywhere inside a chunk.
constexpr int chunks_per_row = tile_bytes / chunk + 1;
// A row's part spans at most chunks_per_row - 1 whole chunks.
constexpr int full_chunks_per_thread = (chunks_per_row - 1 + threads_x - 1) / threads_x;

// Threads converting rows to planes: input_words across, loader_rows down.
constexpr int loader_rows = threads / input_words;
constexpr int loaders = loader_rows * input_words;
constexpr int rows_per_loader = (input_rows + loader_rows - 1) / loader_rows;
constexpr int plane_tile_words = input_rows * plane_row_words;
constexpr int out_tile_words = tile_rows * out_row_words + chunk_words;  // the last row's reach
static_assert(tile_rows <= threads, "one pass stores the clipped chunks of every row");
static_assert(plane_row_words % 4 == 0 && out_row_words % chunk_words == 0, "vector accesses stay aligned");
static_assert(plane_row_words / 4 % 2 == 1 && out_row_words / chunk_words % 2 == 1, "rows start in different banks");

// The longest image row the kernels take: its byte offsets, a tile past
// its end included, are ints.
constexpr long long max_row_bytes = 0x7FFFFFFF - 2 * tile_bytes;

// Static shared memory of a block: the plane tile and the output tile.
constexpr int shared_bytes = (plane_tile_words + out_tile_words) * static_cast<int>(sizeof(word));

// What depends on the channel count: how far apart a window's values lie in
// a row, and how many pixels a tile holds.
template <int Channels>
struct geometry {
    static constexpr int channels = Channels;
    // The window reaches this many bytes past a word: into one more word.
    static constexpr int window_reach = 2 * radius * Channels;
    static_assert(window_reach <= lanes, "a window row must lie in two plane words");
    static_assert(tile_bytes % (Channels * chunk) == 0, "tiles hold whole pixels and whole chunks");
    static constexpr int span_cols = tile_bytes / Channels;  // pixels a block covers per block row
    static constexpr int span_rows = tile_rows;
    static constexpr int pixels_per_thread = span_cols / threads_x;  // of a thread's row
    static_assert(pixels_per_thread * Channels * threads_x == tile_bytes, "threads select whole pixels");
};

}  // namespace median_core::bitslice
