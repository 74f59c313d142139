#pragma once
// The picture and sound written into the sample movies, and how to read the frame number back.
//
// Pictures of at least 8x2 pixels carry the frame number in their top half as 8 grey cells across
// the width (most significant bit on the left; white = 1, black = 0) and a moving colour texture
// in their bottom half. Smaller pictures are one flat grey whose level encodes the frame number.
#include <cstddef>
#include <cstdint>

namespace vireo::samples {

constexpr int kNumberBits = 8;

// Full-range pixel of the pattern: grey level or texture, as Y'CbCr (0-255 each).
struct PatternPixel {
    std::uint8_t y, cb, cr;
};

PatternPixel PatternAt(int frame, int x, int y, int width, int height);

// Grey level of a flat (small) picture for `frame`.
std::uint8_t FlatLevel(int frame);

// The frame number read from a BGRA picture, or -1 when the picture does not hold the pattern
// (a cell is neither clearly black nor clearly white). `frameCount` bounds the search for flat
// pictures.
int ReadFrameNumberBGRA(const std::uint8_t* pixels, std::size_t rowBytes, int width, int height,
                        int frameCount);
// The same for a '2vuy' (U Y V Y, video range) picture.
int ReadFrameNumber2vuy(const std::uint8_t* pixels, std::size_t rowBytes, int width, int height,
                        int frameCount);

// Audio: the value of sample `index` of `channel`. PCM samples are a 16-bit ramp (exact after a
// round trip); compressed samples a sine.
std::int16_t RampSample(std::int64_t index, int channel);
float SineSample(std::int64_t index, int channel, double sampleRate);

}  // namespace vireo::samples
