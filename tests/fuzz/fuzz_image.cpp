// libFuzzer target: any bytes through the whole image path.
#include "image_path.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    run_image_path(data, size);
    return 0;
}
