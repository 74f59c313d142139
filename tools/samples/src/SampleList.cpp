// The list of sample movies.
#include <stdexcept>

#include "samples/SampleSet.h"

namespace vireo::samples {

std::vector<SampleMovie> const& SampleMovies() {
    static const std::vector<SampleMovie> movies = [] {
        std::vector<SampleMovie> list;
        {
            // H.264 with B-frames and AAC, a drop-frame timecode track with a reel name, and a
            // creation date: the typical camera or editing file.
            SampleMovie s;
            s.fileName = "h264_aac_tc.mov";
            s.container = "mov";
            VideoTrack v;
            v.codec = VideoCodec::H264;
            v.width = 320;
            v.height = 240;
            v.rateNumerator = 30000;
            v.rateDenominator = 1001;
            v.frames = 45;
            v.gop = 12;
            v.bFrames = 2;
            s.video = v;
            s.audio = AudioTrack{AudioCodec::AAC, 48000, 2, 72072};
            s.timecode = "01:00:00;00";
            s.reel = "TAPE042";
            s.creationTime = "2021-03-04T05:06:07.000000Z";
            s.expectedCodecFourCC = "avc1";
            s.expectedAudioFormat = "aac ";
            list.push_back(s);
        }
        {
            // Full HD H.264 for measuring decoding and conversion speed.
            SampleMovie s;
            s.fileName = "h264_1080p.mov";
            s.container = "mov";
            VideoTrack v;
            v.width = 1920;
            v.height = 1080;
            v.frames = 50;
            v.gop = 25;
            v.fast = true;
            s.video = v;
            s.expectedCodecFourCC = "avc1";
            list.push_back(s);
        }
        {
            // ProRes 422, interlaced top field first, NTSC pixel shape, 24-bit PCM.
            SampleMovie s;
            s.fileName = "prores_422.mov";
            s.container = "mov";
            VideoTrack v;
            v.codec = VideoCodec::ProRes422;
            v.width = 720;
            v.height = 486;
            v.rateNumerator = 30000;
            v.rateDenominator = 1001;
            v.frames = 12;
            v.sarNumerator = 10;
            v.sarDenominator = 11;
            v.interlacedTopFirst = true;
            s.video = v;
            s.audio = AudioTrack{AudioCodec::PCM24, 48000, 2, 19219};
            s.expectedCodecFourCC = "apcn";
            s.expectedAudioFormat = "lpcm";
            list.push_back(s);
        }
        {
            SampleMovie s;
            s.fileName = "mjpeg_pcm.avi";
            s.container = "avi";
            VideoTrack v;
            v.codec = VideoCodec::MJPEG;
            v.width = 176;
            v.height = 144;
            v.rateNumerator = 15;
            v.frames = 30;
            s.video = v;
            s.audio = AudioTrack{AudioCodec::PCM16, 44100, 1, 88200};
            s.expectedCodecFourCC = "jpeg";
            s.expectedAudioFormat = "lpcm";
            list.push_back(s);
        }
        {
            SampleMovie s;
            s.fileName = "audio.wav";
            s.container = "wav";
            s.audio = AudioTrack{AudioCodec::PCM16, 48000, 2, 72013};
            s.expectedAudioFormat = "lpcm";
            list.push_back(s);
        }
        {
            SampleMovie s;
            s.fileName = "tiny_1x1.mov";
            s.container = "mov";
            VideoTrack v;
            v.codec = VideoCodec::PNG;
            v.width = 1;
            v.height = 1;
            v.rateNumerator = 10;
            v.frames = 5;
            s.video = v;
            s.expectedCodecFourCC = "png ";
            list.push_back(s);
        }
        {
            SampleMovie s;
            s.fileName = "odd_33x17.mov";
            s.container = "mov";
            VideoTrack v;
            v.codec = VideoCodec::MPEG4;
            v.width = 33;
            v.height = 17;
            v.rateNumerator = 24;
            v.frames = 8;
            s.video = v;
            s.expectedCodecFourCC = "mp4v";
            list.push_back(s);
        }
        {
            SampleMovie s;
            s.fileName = "one_frame.mov";
            s.container = "mov";
            VideoTrack v;
            v.width = 64;
            v.height = 48;
            v.rateNumerator = 24;
            v.frames = 1;
            s.video = v;
            s.expectedCodecFourCC = "avc1";
            list.push_back(s);
        }
        {
            // MPEG transport stream: timestamps start well after 0 and seeking has no index.
            SampleMovie s;
            s.fileName = "offset.ts";
            s.container = "mpegts";
            VideoTrack v;
            v.width = 160;
            v.height = 120;
            v.frames = 40;
            v.gop = 10;
            v.bFrames = 2;
            s.video = v;
            s.expectedCodecFourCC = "avc1";
            list.push_back(s);
        }
        {
            // Variable frame rate: frames sit at 0, 1, 3, 4, 6, ... periods of 1/25 s.
            SampleMovie s;
            s.fileName = "vfr.mkv";
            s.container = "matroska";
            VideoTrack v;
            v.width = 96;
            v.height = 64;
            v.frames = 20;
            v.gop = 6;
            v.variableRate = true;
            s.video = v;
            s.expectedCodecFourCC = "avc1";
            list.push_back(s);
        }
        return list;
    }();
    return movies;
}

SampleMovie const& FindSample(std::string const& fileName) {
    for (auto const& movie : SampleMovies()) {
        if (movie.fileName == fileName)
            return movie;
    }
    throw std::out_of_range("no sample named " + fileName);
}

std::int64_t FramePeriods(VideoTrack const& video, int index) {
    return video.variableRate ? index + index / 2 : index;
}

}  // namespace vireo::samples
