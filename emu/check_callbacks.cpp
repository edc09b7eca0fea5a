// The callbacks of clang's -fsanitize-coverage=trace-loads,trace-stores, the
// instrumentation that median_emu_check's compile options give a kernel:
// each load and store of checked code reports its address here. Linking
// this object (any checked code pulls it in) turns the checks on.
#include "check.h"

#include <cstdint>

namespace {

[[maybe_unused]] const bool checks_activated = (emu::check::activate(), true);

}  // namespace

#define EMU_CHECK_CALLBACKS(bytes, type)                                                        \
    extern "C" void __sanitizer_cov_load##bytes(type* address) {                                \
        emu::check::on_access(address, bytes, false, __builtin_return_address(0));              \
    }                                                                                           \
    extern "C" void __sanitizer_cov_store##bytes(type* address) {                               \
        emu::check::on_access(address, bytes, true, __builtin_return_address(0));               \
    }

EMU_CHECK_CALLBACKS(1, std::uint8_t)
EMU_CHECK_CALLBACKS(2, std::uint16_t)
EMU_CHECK_CALLBACKS(4, std::uint32_t)
EMU_CHECK_CALLBACKS(8, std::uint64_t)
EMU_CHECK_CALLBACKS(16, __int128)

#undef EMU_CHECK_CALLBACKS
