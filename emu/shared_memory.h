// The block's shared memory: each worker thread's copy of the emu_shared TLS
// section, which holds every `__shared__` variable and the dynamic area.
#pragma once

#include <cstddef>

namespace emu {

// Shared memory holds this byte at the start of every block, so a read of
// shared memory the block did not write shows (device memory starts as 0xA5).
constexpr unsigned char shared_poison_byte = 0x5A;

struct shared_section {
    unsigned char* begin;
    unsigned char* end;
    unsigned char* dynamic;  // dynamic_shared_limit bytes inside [begin, end)

    // The calling thread's copy; aborts when it cannot be found.
    static shared_section this_thread();

    // Fills the section with the poison byte before a block; past the
    // launch's dynamic size is not the block's (AddressSanitizer builds).
    void poison(std::size_t dynamic_bytes) const;
    // Lets the TLS block outlive the thread's use of it.
    void release() const;
};

}  // namespace emu
