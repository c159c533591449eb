// Some libraries, the window toolkit among them, return with the upper halves
// of the AVX registers still in use. Every SSE instruction after that (our
// loops and the C library's pow, exp and log alike) then pays a transition
// penalty, which made a run inside the window about seven times slower than
// the same run alone. vzeroupper clears that state; it changes no value.
#pragma once

namespace elutrix {

namespace detail {
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx"))) inline void vzeroupper() { __builtin_ia32_vzeroupper(); }
#endif
}  // namespace detail

// Call before heavy floating-point work on a thread that may have run
// library code since its last such work.
inline void clear_vector_upper_state() {
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx")) detail::vzeroupper();
#endif
}

}  // namespace elutrix
