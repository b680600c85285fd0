// What the processor running this library offers beyond the x86-64
// baseline, asked once. Loops compiled for AVX2 run only where it says yes.
#ifndef VORLAN_SDK2_CPU_FEATURES_H
#define VORLAN_SDK2_CPU_FEATURES_H

namespace vorlan_sdk2 {

inline bool cpuHasAvx2() {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
    static const bool yes = [] {
        // Also when asked before the constructors that would have asked the
        // processor (a client's own constructor calling in).
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
#else
    return false;
#endif
}

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_CPU_FEATURES_H
