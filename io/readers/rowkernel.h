// RV_ROW_KERNEL marks a row kernel to be compiled also for AVX2 and SSSE3 and
// picked when the program starts: byte shuffles only vectorise with those
// instructions (2 to 3 times faster). Sanitizer builds keep one version, as
// ifunc resolvers run before the sanitizers are set up.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RV_SINGLE_ROW_KERNELS 1
#endif
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && !defined(RV_SINGLE_ROW_KERNELS)
#define RV_ROW_KERNEL __attribute__((target_clones("avx2", "ssse3", "default")))
#else
#define RV_ROW_KERNEL
#endif
