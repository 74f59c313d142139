#include "engine/Movie.h"

#include "AudioReader.h"
#include "Container.h"
#include "PixelConverter.h"
#include "Properties.h"
#include "VideoReader.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

namespace vireo::engine {

using namespace detail;

namespace {
constexpr std::int32_t kMaxDimension = 16384;
}

struct Movie::Impl {
    std::string path;
    const AVInputFormat* format = nullptr;
    OpenOptions options;
    MovieInfo info;
    int videoStream = -1;
    std::int64_t startPts = 0;
    AVRational timeBase{1, 1};
    std::unique_ptr<VideoReader> video;  // null while released
    std::unique_ptr<AudioReader> audio;
    PixelConverter converter;
    DecodeStats released;  // counts of readers already released

    // `deadline`: of the movie's opening, when `first`.
    std::int32_t OpenVideo(FormatPtr container, bool first,
                           Clock::time_point deadline = Clock::time_point::max());
};

std::int32_t Movie::Impl::OpenVideo(FormatPtr container, bool first, Clock::time_point deadline) {
    if (!container) {
        std::int32_t result =
            OpenContainer(path, format, OpeningDeadline(options.openTimeLimitMs), container);
        if (result != kOK)
            return result;
        if (unsigned(videoStream) >= container->nb_streams)
            return kErrCorrupt;
    }
    std::int32_t result =
        VideoReader::Create(path, std::move(container), videoStream, options.decoderThreads,
                            options.openTimeLimitMs, video);
    if (result != kOK)
        return result;
    timeBase = video->TimeBase();
    if (!first) {
        video->SetStartPts(startPts);
        return kOK;
    }
    // The first frame belongs to opening: the same deadline cuts it.
    AVFrame const* frame = nullptr;
    ArmedGuard armed(video->Container(), deadline);
    result = video->ReadFirstFrame(frame);
    if (result != kOK)
        return armed.Explain(kErrCorrupt);
    startPts = video->StartPts();
    if (info.video.fieldType == kFieldsUnknown || info.video.fieldType == kFieldsNone) {
        // Most files leave the field order to the stream; the decoder knows it per frame.
        info.video.fieldType = !frame->interlaced_frame ? kFieldsNone
                               : frame->top_field_first ? kFieldsUpperFirst
                                                        : kFieldsLowerFirst;
    }
    return kOK;
}

Movie::Movie(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}
Movie::~Movie() = default;

std::unique_ptr<Movie> Movie::Open(std::string const& path, OpenOptions const& options,
                                   std::int32_t& error) {
    Clock::time_point const deadline = OpeningDeadline(options.openTimeLimitMs);
    FormatPtr container;
    error = OpenContainer(path, nullptr, deadline, container);
    if (error != kOK)
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->format = container->iformat;
    impl->options = options;
    impl->info.formatName = container->iformat->name;
    StreamChoice choice = ChooseStreams(container.get());
    if (choice.video < 0 && choice.audio < 0) {
        error = ExplainFailure(container.get(), kErrNoDecodableStream);
        return nullptr;
    }
    impl->info.video.codecNotFound = choice.videoWithoutDecoder;
    ReadCreationTime(container.get(), impl->info.creation);
    bool exactAudio = false;
    if (choice.audio >= 0) {
        ReadAudioInfo(container.get(), choice.audio, choice.audioStreams, impl->info.audio,
                      exactAudio);
        impl->audio = std::make_unique<AudioReader>(
            path, impl->format, choice.audio, impl->info.audio.channels,
            exactAudio ? impl->info.audio.duration : -1, options.openTimeLimitMs);
    }
    if (choice.video >= 0) {
        ReadVideoInfo(container.get(), choice.video, impl->info.video);
        ReadTimecode(container.get(), choice.video, impl->info.video, impl->info.timecode);
        impl->videoStream = choice.video;
        error = impl->OpenVideo(std::move(container), true, deadline);
        if (error != kOK)
            return nullptr;
    } else {
        ReadTimecode(container.get(), -1, impl->info.video, impl->info.timecode);
    }
    error = kOK;
    return std::unique_ptr<Movie>(new Movie(std::move(impl)));
}

MovieInfo const& Movie::Info() const noexcept {
    return mImpl->info;
}

std::int32_t Movie::ReadVideoFrame(std::int64_t time, std::uint32_t fourcc, void* destination,
                                   std::size_t rowBytes, std::int32_t width, std::int32_t height) {
    Impl& m = *mImpl;
    VideoInfo const& video = m.info.video;
    if (!video.present)
        return kErrNoVideo;
    if (!IsSupportedFormat(fourcc))
        return kErrUnsupportedPixelFormat;
    if (time < 0 || time >= video.duration)
        return kErrTimeOutOfRange;
    if (width == 0)
        width = video.width;
    if (height == 0)
        height = video.height;
    if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension ||
        !destination || rowBytes < MinimumRowBytes(fourcc, width))
        return kErrBadDestination;
    if (!m.video) {
        std::int32_t result = m.OpenVideo(nullptr, false);
        if (result != kOK)
            return result;
    }
    std::int64_t target = av_sat_add64(
        m.startPts, av_rescale_q_rnd(time, AVRational{1, video.timeScale}, m.timeBase,
                                     AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX)));
    AVFrame const* frame = nullptr;
    std::int32_t result = m.video->FrameAt(target, frame);
    if (result != kOK)
        return result;
    return m.converter.Convert(frame, fourcc, static_cast<std::uint8_t*>(destination), rowBytes,
                               width, height);
}

std::int32_t Movie::DecodeAhead(std::int32_t frames) {
    Impl& m = *mImpl;
    if (!m.info.video.present)
        return kErrNoVideo;
    if (!m.video || frames <= 0)
        return kOK;
    return m.video->DecodeAhead(frames);
}

std::int64_t Movie::ReadAudio(float* destination, std::int64_t maxFrames) {
    if (!mImpl->audio)
        return kErrNoAudio;
    return mImpl->audio->Read(destination, maxFrames);
}

void Movie::UnreadAudio(std::int64_t frames) noexcept {
    if (mImpl->audio)
        mImpl->audio->Unread(frames);
}

void Movie::RestartAudio() {
    if (mImpl->audio)
        mImpl->audio->Restart();
}

std::int64_t Movie::AudioPosition() const noexcept {
    return mImpl->audio ? mImpl->audio->Position() : 0;
}

DecodeStats Movie::VideoStats() const noexcept {
    DecodeStats stats = mImpl->released;
    if (mImpl->video) {
        stats.seeks += mImpl->video->Seeks();
        stats.framesDecoded += mImpl->video->FramesDecoded();
    }
    return stats;
}

void Movie::ReleaseVideoResources() {
    mImpl->released = VideoStats();
    mImpl->video.reset();
    mImpl->converter.Release();
}

}  // namespace vireo::engine
