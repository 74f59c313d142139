#include "samples/Pattern.h"

#include <cmath>
#include <cstdlib>

namespace vireo::samples {

namespace {

bool IsFlat(int width, int height) {
    return width < kNumberBits || height < 2;
}

// -1 for a level that is neither dark nor bright enough to be a cell of the number.
int BitOfLevel(int level) {
    if (level < 64)
        return 0;
    if (level > 192)
        return 1;
    return -1;
}

int NearestFlatFrame(int level, int frameCount) {
    int best = -1;
    int bestDistance = 1000;
    for (int frame = 0; frame < frameCount; ++frame) {
        int distance = std::abs(int(FlatLevel(frame)) - level);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = frame;
        }
    }
    return bestDistance <= 8 ? best : -1;
}

template <class LevelAt>
int ReadNumber(int width, int height, int frameCount, LevelAt levelAt) {
    if (width <= 0 || height <= 0)
        return -1;
    if (IsFlat(width, height))
        return NearestFlatFrame(levelAt(width / 2, height / 2), frameCount);
    int number = 0;
    int row = height / 4;
    for (int cell = 0; cell < kNumberBits; ++cell) {
        int column = (2 * cell + 1) * width / (2 * kNumberBits);
        int bit = BitOfLevel(levelAt(column, row));
        if (bit < 0)
            return -1;
        number = (number << 1) | bit;
    }
    return number;
}

}  // namespace

std::uint8_t FlatLevel(int frame) {
    return std::uint8_t((frame * 40 + 20) % 256);
}

PatternPixel PatternAt(int frame, int x, int y, int width, int height) {
    if (IsFlat(width, height))
        return {FlatLevel(frame), 128, 128};
    if (y < height / 2) {
        int cell = x * kNumberBits / width;
        bool bit = (frame >> (kNumberBits - 1 - cell)) & 1;
        return {std::uint8_t(bit ? 255 : 0), 128, 128};
    }
    return {std::uint8_t((x * 5 + y * 3 + frame * 7) & 0xFF), std::uint8_t(96 + (x + frame) % 64),
            std::uint8_t(96 + (y * 2 + frame) % 64)};
}

int ReadFrameNumberBGRA(const std::uint8_t* pixels, std::size_t rowBytes, int width, int height,
                        int frameCount) {
    return ReadNumber(width, height, frameCount, [&](int x, int y) {
        const std::uint8_t* p = pixels + std::size_t(y) * rowBytes + std::size_t(x) * 4;
        return (int(p[0]) + int(p[1]) + int(p[2])) / 3;
    });
}

int ReadFrameNumber2vuy(const std::uint8_t* pixels, std::size_t rowBytes, int width, int height,
                        int frameCount) {
    return ReadNumber(width, height, frameCount, [&](int x, int y) {
        int luma = pixels[std::size_t(y) * rowBytes + std::size_t(x) * 2 + 1];
        return (luma - 16) * 255 / 219;  // video range to full range
    });
}

std::int16_t RampSample(std::int64_t index, int channel) {
    return std::int16_t(((index * 37 + channel * 5000) % 30000) - 15000);
}

float SineSample(std::int64_t index, int channel, double sampleRate) {
    const double kPi = 3.14159265358979323846;
    double frequency = 440.0 * (channel + 1);
    return float(0.3 * std::sin(2.0 * kPi * frequency * double(index) / sampleRate));
}

}  // namespace vireo::samples
