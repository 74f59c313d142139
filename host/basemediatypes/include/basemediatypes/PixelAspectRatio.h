#pragma once
#include <cstdint>

namespace basemediatypes {

// Shape of a pixel as numerator / denominator (1/1 for square pixels). The default value is
// 0/0: no ratio known.
class PixelAspectRatio {
public:
    constexpr PixelAspectRatio() noexcept = default;
    constexpr PixelAspectRatio(std::uint32_t numerator, std::uint32_t denominator) noexcept
        : mNumerator(numerator), mDenominator(denominator) {}

    constexpr std::uint32_t GetNumerator() const noexcept { return mNumerator; }
    constexpr std::uint32_t GetDenominator() const noexcept { return mDenominator; }
    constexpr bool IsValid() const noexcept { return mNumerator != 0 && mDenominator != 0; }
    double AsDouble() const noexcept {
        return IsValid() ? static_cast<double>(mNumerator) / mDenominator : 1.0;
    }

    friend constexpr bool operator==(PixelAspectRatio a, PixelAspectRatio b) noexcept {
        return a.mNumerator == b.mNumerator && a.mDenominator == b.mDenominator;
    }
    friend constexpr bool operator!=(PixelAspectRatio a, PixelAspectRatio b) noexcept {
        return !(a == b);
    }

private:
    std::uint32_t mNumerator = 0;
    std::uint32_t mDenominator = 0;
};

}  // namespace basemediatypes
