// What the build leaves in the symbol table about a kernel: the size of its
// __shared__ variables and its __launch_bounds__ maximum, which a GPU's
// runtime knows from the compiled kernel and the emulator reads back here.
#pragma once

#include <cstddef>
#include <string>

namespace emu {

struct kernel_symbols {
    bool found = false;             // the kernel's own symbol was found
    std::string name;               // its (mangled) symbol name
    std::size_t static_shared = 0;  // bytes of the __shared__ variables declared in its body
    unsigned max_threads = 0;       // its __launch_bounds__ maximum; 0 where it declares none
};

// Reads the symbols of the kernel at `kernel` from the file of the module
// that holds it. A stripped module gives found == false and no limits.
kernel_symbols read_kernel_symbols(const void* kernel);

}  // namespace emu
