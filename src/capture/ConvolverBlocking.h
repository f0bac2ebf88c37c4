#pragma once
// The order in which the convolver's spectral multiply-add visits its work,
// shared by the kernel sets (each instantiates it with its own inner run, in a
// unit compiled for its instruction set).
#include <type_traits>

namespace corvena {

// Calls run(n, k, b0, b1) (n a std::integral_constant of 1 to 4) to add
// partitions k .. k + n - 1 over bins [b0, b1): blocks of bins small enough for
// the accumulator to stay in the first-level cache, four partitions at a time
// with the sum in registers.
template <typename Run> inline void forEachBinBlock(int count, int bins, Run run) {
    constexpr int block = 512;
    for (int b0 = 0; b0 < bins; b0 += block) {
        const int b1 = b0 + block < bins ? b0 + block : bins;
        int k = 0;
        for (; k + 4 <= count; k += 4) run(std::integral_constant<int, 4>{}, k, b0, b1);
        switch (count - k) {
        case 3: run(std::integral_constant<int, 3>{}, k, b0, b1); break;
        case 2: run(std::integral_constant<int, 2>{}, k, b0, b1); break;
        case 1: run(std::integral_constant<int, 1>{}, k, b0, b1); break;
        default: break;
        }
    }
}

} // namespace corvena
