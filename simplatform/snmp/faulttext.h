// Fault texts that name a limit, made from the limit's constant when the
// platform is compiled: the codec's faults stay static texts, and a limit
// is written in one place only.
//
//   constexpr auto kTooManyBindings = faultText<kMaxBindings>("more than ", " bindings");
//   return kTooManyBindings.text;  // "more than 512 bindings"
#pragma once

#include <cstddef>
#include <cstdint>

namespace simplatform {

template <size_t N> struct FaultText {
    char text[N];
};

constexpr size_t decimalDigits(uint64_t value)
{
    size_t digits = 1;
    for (; value >= 10; value /= 10) {
        ++digits;
    }
    return digits;
}

// before, then Number in decimal, then after.
template <uint64_t Number, size_t Before, size_t After>
constexpr FaultText<Before - 1 + decimalDigits(Number) + After> faultText(const char (&before)[Before],
                                                                          const char (&after)[After])
{
    FaultText<Before - 1 + decimalDigits(Number) + After> out{};
    size_t at = 0;
    for (size_t i = 0; i + 1 < Before; ++i) {
        out.text[at++] = before[i];
    }
    uint64_t value = Number;
    for (size_t i = decimalDigits(Number); i-- > 0; value /= 10) {
        out.text[at + i] = static_cast<char>('0' + value % 10);
    }
    at += decimalDigits(Number);
    for (size_t i = 0; i < After; ++i) {
        out.text[at++] = after[i];  // with its terminating NUL
    }
    return out;
}

}  // namespace simplatform
