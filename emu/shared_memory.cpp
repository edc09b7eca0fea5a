#include "shared_memory.h"

#include "fiber.h"
#include "scheduler.h"

#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef EMU_ASAN
#include <sanitizer/asan_interface.h>
#endif

// The block's dynamic shared memory: the symbol every `extern __shared__`
// array refers to (see cuda_runtime.h). It lies in the section of the static
// shared variables, so one poisoning covers both.
alignas(128) __attribute__((section("emu_shared"))) __thread unsigned char dynamic_shared_memory
    [emu::dynamic_shared_limit] __asm__("emu_dynamic_shared");

// The linker brackets the section with these (its name is a C identifier).
extern "C" unsigned char __start_emu_shared[], __stop_emu_shared[];

namespace emu {
namespace {

struct tls_search {
    std::uintptr_t image;  // an address in the module's TLS initialisation image
    unsigned char* copy;   // the same offset in the calling thread's TLS block
    std::size_t module;    // else the module's TLS index and the offset, for __tls_get_addr
    std::size_t offset;
};

// The ABI's argument of __tls_get_addr (x86-64, AArch64 and others).
struct tls_index {
    unsigned long module;
    unsigned long offset;
};
extern "C" void* __tls_get_addr(tls_index*);

int find_tls_copy(dl_phdr_info* info, std::size_t, void* data) {
    auto& search = *static_cast<tls_search*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_TLS) continue;
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (search.image < start || search.image >= start + segment.p_memsz) continue;
        search.offset = search.image - start;
        if (info->dlpi_tls_data)
            search.copy = static_cast<unsigned char*>(info->dlpi_tls_data) + search.offset;
        search.module = info->dlpi_tls_modid;
        return 1;
    }
    return 0;
}

}  // namespace

shared_section shared_section::this_thread() {
    // Taking the address also allocates this thread's block of a dynamically loaded module.
    unsigned char* const dynamic = dynamic_shared_memory;
    tls_search search{reinterpret_cast<std::uintptr_t>(__start_emu_shared), nullptr, 0, 0};
    dl_iterate_phdr(find_tls_copy, &search);
    // glibc reports no dlpi_tls_data for a dlopen()ed module (a Python
    // extension) once a later dlopen has raised the TLS generation; the
    // module's index still finds this thread's block. Asked outside the
    // iteration, which holds the loader's lock.
    if (!search.copy && search.module) {
        tls_index index{search.module, search.offset};
        search.copy = static_cast<unsigned char*>(__tls_get_addr(&index));
    }
    const std::size_t bytes = static_cast<std::size_t>(__stop_emu_shared - __start_emu_shared);
    // The dynamic area the compiler addresses must lie in the copy found.
    if (!search.copy || dynamic < search.copy || dynamic + dynamic_shared_limit > search.copy + bytes) {
        std::fprintf(stderr, "CUDA emulation: cannot locate this thread's shared memory section\n");
        std::abort();
    }
    return {search.copy, search.copy + bytes, dynamic};
}

void shared_section::poison(std::size_t dynamic_bytes) const {
#ifdef EMU_ASAN
    ASAN_UNPOISON_MEMORY_REGION(dynamic, dynamic_bytes);
    ASAN_POISON_MEMORY_REGION(dynamic + dynamic_bytes, dynamic_shared_limit - dynamic_bytes);
#endif
    unsigned char* const dynamic_end = dynamic + dynamic_shared_limit;
    std::memset(begin, shared_poison_byte, static_cast<std::size_t>(dynamic - begin));
    std::memset(dynamic, shared_poison_byte, dynamic_bytes);
    std::memset(dynamic_end, shared_poison_byte, static_cast<std::size_t>(end - dynamic_end));
}

void shared_section::release() const {
#ifdef EMU_ASAN
    ASAN_UNPOISON_MEMORY_REGION(dynamic, dynamic_shared_limit);
#endif
}

}  // namespace emu
