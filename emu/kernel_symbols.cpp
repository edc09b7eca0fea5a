// A kernel's variables are function-local statics, which the C++ ABI names
// after the function (`_ZZ<function>E<variable>`) and which the symbol table
// lists with their sizes: the __shared__ ones are thread-local (see
// cuda_runtime.h), and the constant `emu_launch_bounds` that the build puts
// at the top of a kernel declared with __launch_bounds__ holds its bound.
#include "kernel_symbols.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace emu {
namespace {

constexpr const char* bounds_variable = "emu_launch_bounds";

// The module (executable or shared object) whose loaded segments hold an address.
struct module_search {
    std::uintptr_t address = 0;
    std::string path;
    std::uintptr_t bias = 0;
    bool found = false;
};

int find_module(dl_phdr_info* info, std::size_t, void* data) {
    auto& search = *static_cast<module_search*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type != PT_LOAD || search.address < start || search.address >= start + segment.p_memsz)
            continue;
        search.path = info->dlpi_name && *info->dlpi_name ? info->dlpi_name : "/proc/self/exe";
        search.bias = info->dlpi_addr;
        search.found = true;
        return 1;
    }
    return 0;
}

// A file mapped read-only, with bounds-checked views into it.
class mapped_file {
public:
    explicit mapped_file(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st {};
        if (fstat(fd, &st) == 0 && st.st_size > 0) {
            void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (p != MAP_FAILED) {
                data_ = static_cast<const unsigned char*>(p);
                size_ = static_cast<std::size_t>(st.st_size);
            }
        }
        close(fd);
    }
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;
    ~mapped_file() {
        if (data_) munmap(const_cast<unsigned char*>(data_), size_);
    }

    // `count` objects of type T at `offset`, or nullptr past the end.
    template <class T>
    const T* at(std::uint64_t offset, std::uint64_t count = 1) const {
        if (!data_ || offset > size_ || count > (size_ - offset) / sizeof(T)) return nullptr;
        return reinterpret_cast<const T*>(data_ + offset);
    }

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

// The symbol table of an ELF file (the full one where the file keeps it,
// else the dynamic one) and its string table.
struct symbol_table {
    const ElfW(Shdr)* sections = nullptr;
    std::size_t section_count = 0;
    const ElfW(Sym)* symbols = nullptr;
    std::size_t symbol_count = 0;
    const char* strings = nullptr;
    std::size_t string_bytes = 0;

    const char* name(const ElfW(Sym)& s) const {
        if (s.st_name >= string_bytes || !std::memchr(strings + s.st_name, 0, string_bytes - s.st_name)) return "";
        return strings + s.st_name;
    }
};

bool read_symbol_table(const mapped_file& file, symbol_table& table) {
    const auto* header = file.at<ElfW(Ehdr)>(0);
    if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_shentsize != sizeof(ElfW(Shdr)))
        return false;
    table.sections = file.at<ElfW(Shdr)>(header->e_shoff, header->e_shnum);
    if (!table.sections) return false;
    table.section_count = header->e_shnum;
    for (const unsigned type : {SHT_SYMTAB, SHT_DYNSYM}) {
        for (std::size_t i = 0; i < table.section_count; ++i) {
            const ElfW(Shdr)& s = table.sections[i];
            if (s.sh_type != type || s.sh_link >= table.section_count) continue;
            const ElfW(Shdr)& str = table.sections[s.sh_link];
            table.symbols = file.at<ElfW(Sym)>(s.sh_offset, s.sh_size / sizeof(ElfW(Sym)));
            table.strings = file.at<char>(str.sh_offset, str.sh_size);
            if (!table.symbols || !table.strings) return false;
            table.symbol_count = s.sh_size / sizeof(ElfW(Sym));
            table.string_bytes = str.sh_size;
            return true;
        }
    }
    return false;
}

// What the ABI puts before the name of a local static of the function
// named `function`.
std::string local_static_prefix(const std::string& function) {
    if (function.rfind("_Z", 0) == 0) return "_ZZ" + function.substr(2) + "E";
    return "_ZZ" + std::to_string(function.size()) + function + "E";  // extern "C"
}

// The first value of the constant `s`, read from the file.
unsigned read_first_value(const mapped_file& file, const symbol_table& table, const ElfW(Sym)& s) {
    if (s.st_shndx == SHN_UNDEF || s.st_shndx >= table.section_count || s.st_size < sizeof(unsigned)) return 0;
    const ElfW(Shdr)& section = table.sections[s.st_shndx];
    if (section.sh_type == SHT_NOBITS || s.st_value < section.sh_addr) return 0;
    const auto* value = file.at<unsigned>(section.sh_offset + (s.st_value - section.sh_addr));
    return value ? *value : 0;
}

}  // namespace

kernel_symbols read_kernel_symbols(const void* kernel) {
    kernel_symbols result;
    module_search module;
    module.address = reinterpret_cast<std::uintptr_t>(kernel);
    dl_iterate_phdr(find_module, &module);
    if (!module.found) return result;
    const mapped_file file(module.path);
    symbol_table table;
    if (!read_symbol_table(file, table)) return result;

    const std::uintptr_t value = module.address - module.bias;
    for (std::size_t i = 0; i < table.symbol_count && !result.found; ++i) {
        const ElfW(Sym)& s = table.symbols[i];
        if (ELF64_ST_TYPE(s.st_info) == STT_FUNC && s.st_shndx != SHN_UNDEF && s.st_value == value) {
            result.name = table.name(s);
            result.found = !result.name.empty();
        }
    }
    if (!result.found) return result;

    const std::string prefix = local_static_prefix(result.name);
    const std::string bounds = prefix + std::to_string(std::strlen(bounds_variable)) + bounds_variable;
    for (std::size_t i = 0; i < table.symbol_count; ++i) {
        const ElfW(Sym)& s = table.symbols[i];
        const char* name = table.name(s);
        if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
        if (ELF64_ST_TYPE(s.st_info) == STT_TLS)
            result.static_shared += s.st_size;
        else if (name == bounds)
            result.max_threads = read_first_value(file, table, s);
    }
    return result;
}

}  // namespace emu
