// Audio exported in each codec comes back from the decoding engine: linear PCM and Apple
// Lossless sample for sample, AAC with its length; gaps become silence, channel layouts stay.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "ExportTestSupport.h"
#include "engine/FourCC.h"
#include "engine/Movie.h"
#include "export/Catalogue.h"
#include "export/ExportErrors.h"

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

// A 16-bit ramp, distinct per channel: exact in every PCM format and in float.
float RampValue(std::int64_t sample, int channel) {
    int const k = int((sample * 37 + channel * 5000) % 65536) - 32768;
    return float(k) / 32768.0f;
}

std::vector<std::uint8_t> FloatBlock(std::int64_t first, std::int64_t count, int channels) {
    std::vector<std::uint8_t> bytes(std::size_t(count * channels) * 4);
    for (std::int64_t i = 0; i < count; ++i) {
        for (int c = 0; c < channels; ++c) {
            float const v = RampValue(first + i, c);
            std::memcpy(&bytes[std::size_t((i * channels + c) * 4)], &v, 4);
        }
    }
    return bytes;
}

std::vector<float> ReadAllAudio(std::string const& path, engine::AudioInfo& info) {
    std::int32_t error = 0;
    auto movie = engine::Movie::Open(path, {}, error);
    EXPECT_TRUE(movie) << "engine error " << error;
    if (!movie) {
        return {};
    }
    info = movie->Info().audio;
    std::vector<float> all;
    std::vector<float> block(4096 * std::size_t(std::max(1, info.channels)));
    for (;;) {
        std::int64_t const n = movie->ReadAudio(block.data(), 4096);
        if (n <= 0) {
            EXPECT_EQ(n, 0);
            break;
        }
        all.insert(all.end(), block.begin(), block.begin() + n * info.channels);
    }
    return all;
}

// Exports `blocks` of float audio (first sample, count) and completes.
std::int32_t ExportAudio(ex::ExportService& service, ex::ExportSettings const& settings,
                         std::vector<std::pair<std::int64_t, std::int64_t>> const& blocks) {
    ex::ExportId const id = NewId();
    if (std::int32_t r = StartExport(service, 1, id, settings); r != 0) {
        return r;
    }
    int const channels = int(settings.mAudioNumChannels);
    for (auto const& [first, count] : blocks) {
        if (std::int32_t r =
                SubmitAudio(service, 1, id, first, count, FloatBlock(first, count, channels));
            r != 0) {
            return r;
        }
    }
    return CompleteExport(service, 1, id);
}

TEST(AudioExport, PcmAndAppleLosslessComeBackSampleForSample) {
    std::int64_t const total = 10000;
    for (const char* code :
         {"twos", "sowt", "in24", "42ni", "in32", "23ni", "fl32", "23lf", "alac"}) {
        SCOPED_TRACE(code);
        std::uint32_t const codec = MakeFourCC(code[0], code[1], code[2], code[3]);
        ScratchDirectory dir;
        std::string const path = dir.File("audio.mov");
        ex::ExportService service;
        ASSERT_EQ(ExportAudio(service, AudioSettings(path, codec, 48000, 2, total),
                              {{0, 4096}, {4096, 3000}, {7096, 2904}}),
                  0);
        engine::AudioInfo info;
        std::vector<float> const samples = ReadAllAudio(path, info);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.sampleRate, 48000);
        EXPECT_EQ(info.duration, total);
        EXPECT_EQ(info.formatID, codec == MakeFourCC("alac") ? codec : MakeFourCC("lpcm"));
        ASSERT_EQ(samples.size(), std::size_t(total * 2));
        std::int64_t mismatches = 0;
        for (std::int64_t i = 0; i < total * 2; ++i) {
            mismatches += samples[std::size_t(i)] != RampValue(i / 2, int(i % 2));
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(AudioExport, IntegerSamplesAreReadAsTheirType) {
    for (int bytes : {2, 4}) {
        ScratchDirectory dir;
        std::string const path = dir.File("int.mov");
        ex::ExportSettings settings = AudioSettings(path, MakeFourCC("in32"), 44100, 1, 300);
        settings.mAudioSampleType = bytes;  // 2: 16-bit, 4: 32-bit integers
        ex::ExportService service;
        ex::ExportId const id = NewId();
        ASSERT_EQ(StartExport(service, 1, id, settings), 0);
        std::vector<std::uint8_t> block(300 * std::size_t(bytes));
        for (int i = 0; i < 300; ++i) {
            // Little-endian: the 16-bit value in the top half of a 32-bit one.
            auto const v = std::uint32_t(std::int32_t(i * 200 - 30000) * (bytes == 4 ? 65536 : 1));
            std::memcpy(&block[std::size_t(i * bytes)], &v, std::size_t(bytes));
        }
        ASSERT_EQ(SubmitAudio(service, 1, id, 0, 300, block), 0);
        ASSERT_EQ(CompleteExport(service, 1, id), 0);
        engine::AudioInfo info;
        std::vector<float> const samples = ReadAllAudio(path, info);
        ASSERT_EQ(samples.size(), 300u);
        for (int i = 0; i < 300; ++i) {
            ASSERT_EQ(samples[std::size_t(i)], float(i * 200 - 30000) / 32768.0f) << i;
        }
    }
}

TEST(AudioExport, AacKeepsItsLengthAndSignal) {
    ScratchDirectory dir;
    std::string const path = dir.File("aac.mov");
    std::int64_t const total = 48000;
    ex::ExportService service;
    ASSERT_EQ(ExportAudio(service, AudioSettings(path, MakeFourCC("aac "), 48000, 2, total),
                          {{0, 20000}, {20000, 28000}}),
              0);
    engine::AudioInfo info;
    std::vector<float> const samples = ReadAllAudio(path, info);
    EXPECT_EQ(info.formatID, MakeFourCC("aac "));
    EXPECT_EQ(info.duration, total);
    EXPECT_EQ(samples.size(), std::size_t(total * 2));
    double energy = 0;
    for (float s : samples) {
        energy += double(s) * s;
    }
    EXPECT_GT(energy / double(samples.size()), 0.01);  // the ramp is loud; silence is not it
}

TEST(AudioExport, GapsAreSilenceAndOverlapsAreRefused) {
    ScratchDirectory dir;
    std::string const path = dir.File("gap.mov");
    ex::ExportService service;
    ex::ExportId const id = NewId();
    ASSERT_EQ(StartExport(service, 1, id, AudioSettings(path, MakeFourCC("fl32"), 48000, 1, 5000)),
              0);
    ASSERT_EQ(SubmitAudio(service, 1, id, 0, 1000, FloatBlock(0, 1000, 1)), 0);
    EXPECT_EQ(SubmitAudio(service, 1, id, 999, 10, FloatBlock(999, 10, 1)), ex::kErrAudioPosition);
    EXPECT_EQ(SubmitAudio(service, 1, id, 1000, 10, std::vector<std::uint8_t>(39)),
              ex::kErrAudioBlock);
    EXPECT_EQ(SubmitAudio(service, 1, id, 1000, 0, std::vector<std::uint8_t>(40)),
              ex::kErrAudioBlock);
    EXPECT_EQ(SubmitAudio(service, 1, id, 5001, 10, FloatBlock(5001, 10, 1)),
              ex::kErrAudioPosition);
    ASSERT_EQ(SubmitAudio(service, 1, id, 2000, 1000, FloatBlock(2000, 1000, 1)), 0);
    // The range holds 5001 samples: what lies beyond is dropped.
    ASSERT_EQ(SubmitAudio(service, 1, id, 4000, 2000, FloatBlock(4000, 2000, 1)), 0);
    EXPECT_EQ(service.Progress(1, id), 5001);
    ASSERT_EQ(CompleteExport(service, 1, id), 0);
    engine::AudioInfo info;
    std::vector<float> const samples = ReadAllAudio(path, info);
    ASSERT_EQ(samples.size(), 5001u);
    for (std::int64_t i = 0; i < 5001; ++i) {
        float const expected =
            (i >= 1000 && i < 2000) || (i >= 3000 && i < 4000) ? 0.0f : RampValue(i, 0);
        ASSERT_EQ(samples[std::size_t(i)], expected) << "sample " << i;
    }
}

TEST(AudioExport, ChannelLayoutsReachTheFile) {
    struct Case {
        std::uint32_t tag;
        int channels;
        std::vector<std::uint32_t> labels;  // Core Audio labels the engine reports
    };
    for (Case const& c :
         {Case{0, 6, {1, 2, 3, 4, 5, 6}}, Case{(121u << 16) | 6, 6, {1, 2, 3, 4, 5, 6}},
          Case{(113u << 16) | 3, 3, {1, 2, 3}}, Case{0, 1, {42}}}) {
        ScratchDirectory dir;
        std::string const path = dir.File("layout.mov");
        ex::ExportSettings settings =
            AudioSettings(path, MakeFourCC("sowt"), 48000, c.channels, 2000);
        settings.mChannelLayout = c.tag;
        ex::ExportService service;
        ASSERT_EQ(ExportAudio(service, settings, {{0, 2000}}), 0);
        engine::AudioInfo info;
        ReadAllAudio(path, info);
        EXPECT_EQ(info.channelLayout, c.labels) << std::hex << c.tag;
    }
}

TEST(AudioExport, CatalogueChannelCountsOpen) {
    // Every channel count an audio codec lists exports.
    for (auto const& codec : ex::ExportAudioCodecs()) {
        for (int channels : codec.audioChannelsArray) {
            ScratchDirectory dir;
            int const rate =
                codec.supportedSampleRateMin <= 48000 && codec.supportedSampleRateMax >= 48000
                    ? 48000
                    : int(codec.supportedSampleRateMax);
            ex::ExportService service;
            EXPECT_EQ(
                ExportAudio(service,
                            AudioSettings(dir.File("c.mov"), codec.codecID, rate, channels, 2048),
                            {{0, 2048}}),
                0)
                << codec.codecName << " with " << channels << " channels";
        }
    }
}

}  // namespace
}  // namespace vireo::test::exporting
