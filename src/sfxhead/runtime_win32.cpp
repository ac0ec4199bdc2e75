// The few memory routines that the compiler may call on its own for copies and clearing,
// since the module links no C runtime.
#include <stddef.h>

extern "C" {

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memset(void* dst, int c,
                                                                           size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    while (n-- != 0)
        *d++ = static_cast<unsigned char>(c);
    return dst;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void*
memcpy(void* dst, const void* src, size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    while (n-- != 0)
        *d++ = *s++;
    return dst;
}

} // extern "C"
