// The daemon's operator new: the settings texts are its only allocations, made
// once at start. libstdc++'s version throws std::bad_alloc, and throwing links
// the unwinder and the demangler of the terminate handler; running out of
// memory there ends the process either way.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    std::abort();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
