#pragma once

// Run-time choice of the vector kernels. One binary carries an AVX-512BW, an AVX2 and a scalar
// version of each row kernel (functions compiled with `__attribute__((target(...)))`); the widest
// instruction set the processor has is used unless a test or a benchmark caps it.

#include <atomic>
#include <cstdint>

namespace rux_dp::simd {

/// Instruction sets the row kernels are built for, narrowest first.
enum class Isa : std::uint8_t { scalar = 0, avx2 = 1, avx512bw = 2 };

/// Width of the score lanes of one pass.
enum class Lanes : std::uint8_t {
    bits16,  // every value of the pass provably fits in 16 bits
    bits32,  // every value provably fits the exact 32-bit kernels
    scalar,  // neither bound holds: only the plain reference computation is exact
};

namespace detail {
inline Isa probe_isa() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        return Isa::avx512bw;
    if (__builtin_cpu_supports("avx2"))
        return Isa::avx2;
#endif
    return Isa::scalar;
}
inline std::atomic<std::uint8_t>& isa_cap() {
    static std::atomic<std::uint8_t> cap{static_cast<std::uint8_t>(Isa::avx512bw)};
    return cap;
}
}  // namespace detail

/// What this processor supports.
inline Isa machine_isa() {
    static const Isa isa = detail::probe_isa();
    return isa;
}

/// The instruction set the kernels use now: the machine's, capped by `cap_isa`.
inline Isa active_isa() {
    const auto cap = detail::isa_cap().load(std::memory_order_relaxed);
    const auto machine = static_cast<std::uint8_t>(machine_isa());
    return static_cast<Isa>(cap < machine ? cap : machine);
}

/// Caps the instruction set for the whole process (tests and benchmarks compare the versions).
inline void cap_isa(Isa isa) {
    detail::isa_cap().store(static_cast<std::uint8_t>(isa), std::memory_order_relaxed);
}

/// Restores the previous cap when it goes out of scope.
class ScopedIsaCap {
public:
    explicit ScopedIsaCap(Isa isa) : previous_(static_cast<Isa>(detail::isa_cap().load())) {
        cap_isa(isa);
    }
    ~ScopedIsaCap() { cap_isa(previous_); }
    ScopedIsaCap(const ScopedIsaCap&) = delete;
    ScopedIsaCap& operator=(const ScopedIsaCap&) = delete;

private:
    Isa previous_;
};

/// Largest magnitude that the 16-bit kernels accept for any value of a pass. It leaves room below
/// for an "impossible" sentinel that may drift upwards by a bounded amount and still stay apart.
inline constexpr std::int64_t kBound16 = 8'000;
/// The same for the 32-bit vector kernels, below the threshold under which the exact kernels
/// treat a value as impossible.
inline constexpr std::int64_t kBound32 = std::int64_t{1} << 26;

/// Lane width for a pass whose every value (including any shifted-in or sentinel-adjacent value)
/// has magnitude at most `magnitude_bound`. Decided before the pass, from lengths and scoring.
inline Lanes lanes_for(std::int64_t magnitude_bound) {
    if (magnitude_bound < 0)
        return Lanes::scalar;
    if (magnitude_bound <= kBound16)
        return Lanes::bits16;
    if (magnitude_bound <= kBound32)
        return Lanes::bits32;
    return Lanes::scalar;
}

/// The 16-bit limit of the linear-gap row kernels. Their shifts either mask the lanes they wrap
/// or shift in the lowest 16-bit value with saturating adds, which a bound below 2^14 keeps under
/// every real value; no impossible sentinel drifts through their rows.
inline constexpr std::int64_t kLinearBound16 = 16'000;

/// The 16-bit limit of the local linear row kernels, for the highest value of the table and for
/// the magnitude of the scores and gap multiples they form below 0. Local values never fall
/// below 0 and every value the kernels form in a real column is a candidate of its cell, so the
/// whole 16-bit range is usable (the argument is beside `local_fits16`).
inline constexpr std::int64_t kLocalBound16 = 32'767;

/// `lanes_for` for the linear-gap row kernels: the same 32-bit bound, the wider 16-bit one.
inline Lanes linear_lanes_for(std::int64_t magnitude_bound) {
    if (magnitude_bound < 0)
        return Lanes::scalar;
    if (magnitude_bound <= kLinearBound16)
        return Lanes::bits16;
    if (magnitude_bound <= kBound32)
        return Lanes::bits32;
    return Lanes::scalar;
}

}  // namespace rux_dp::simd
