#pragma once
// A host's side of an export, for tests: settings for a small movie, frames and audio shared
// under fresh identifiers and submitted through the client, each submission waited for.
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "Kino/VideoFrame.h"
#include "Pix/Pix.h"
#include "TimeScale.h"
#include "VireoClient/IVireoClient.h"
#include "basekit/utility/Text.h"
#include "crossprocess/CrossProcess.h"

namespace vireo::test::library {

using namespace std::chrono_literals;

constexpr std::uint32_t FourCC(char const* text) {
    return (std::uint32_t(std::uint8_t(text[0])) << 24) |
           (std::uint32_t(std::uint8_t(text[1])) << 16) |
           (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3]));
}

// Video at 25 frames per second (ticks are milliseconds), `frames` long, width x height.
inline VireoServer::StartExportData VideoSettings(std::string const& path, std::uint32_t codec,
                                                  std::uint32_t width, std::uint32_t height,
                                                  std::int64_t frames) {
    VireoServer::StartExportData s;
    s.mFilePath = basekit::utility::UTF8to16(path);
    s.mExportVideo = true;
    s.mTicksPerSecond = 1000;
    s.mExportStartTime = 0;
    s.mExportEndTime = frames * 40;
    s.mVideoCodecFourCC = std::int32_t(codec);
    s.mVideoCodecQuality = 1024;
    s.mVideoFrameWidth = width;
    s.mVideoFrameHeight = height;
    s.mVideoFrameRate = 40;
    s.mQTVideoTimescale = 25;
    s.mQTVideoSampleSize = 1;
    s.mFieldType = 0;
    return s;
}

// Sound only: 32-bit float stereo at 48 kHz (ticks are samples), `samples` long.
inline VireoServer::StartExportData PCMSettings(std::string const& path, std::int64_t samples) {
    VireoServer::StartExportData s;
    s.mFilePath = basekit::utility::UTF8to16(path);
    s.mExportAudio = true;
    s.mTicksPerSecond = 48000;
    s.mExportEndTime = samples;
    s.mAudioCodecFourCC = std::int32_t(FourCC("fl32"));
    s.mAudioFrameRate = 48000;
    s.mAudioNumChannels = 2;
    return s;
}

// A '2vuy' frame whose pixels are a smooth pattern that moves with `index`.
inline InterfaceRef<Kino::IWritableVideoFrame> PatternFrame2vuy(
    std::uint32_t width, std::uint32_t height, int index,
    crossprocess::WritableBinaryReferencePtr& block) {
    auto frame = Pix::CreateSharedVideoFrame(
        width, height, Kino::kPixelFormat_2vuy, VireoServer::PixelFormat::kDefaultWireProperties,
        basemediatypes::PixelAspectRatio(1, 1), Kino::kFieldOrder_Progressive, block);
    if (!frame) {
        return frame;
    }
    auto* pixels = static_cast<std::uint8_t*>(frame->GetMutablePixels());
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = pixels + std::size_t(y) * frame->GetRowBytes();
        for (std::uint32_t x = 0; x < width; x += 2) {
            row[2 * x + 0] = std::uint8_t(96 + (x + index * 3) % 64);           // Cb
            row[2 * x + 1] = std::uint8_t(32 + (x + y + index * 5) % 180);      // Y0
            row[2 * x + 2] = std::uint8_t(112 + (y + index * 2) % 48);          // Cr
            row[2 * x + 3] = std::uint8_t(32 + (x + 1 + y + index * 5) % 180);  // Y1
        }
    }
    return frame;
}

// The value `future` gets, or `late` when none came in time.
template <class T>
T Await(std::future<T>& future, T late) {
    return future.wait_for(vireo::test::Scaled(60s)) == std::future_status::ready ? future.get()
                                                                                  : late;
}

// Submits and waits; results are the records' codes (-100 when no answer came in time).
class ExportHost {
  public:
    ExportHost(InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient> client,
               basekit::utility::Guid id = basekit::utility::Guid::CreateUnique())
        : mClient(std::move(client)), mId(id) {}

    basekit::utility::Guid const& Id() const { return mId; }

    std::int32_t Start(VireoServer::StartExportData const& settings) {
        return mClient->StartExport(mId, settings);
    }

    std::int32_t SubmitFrame(InterfaceRef<Kino::IVideoFrame> const& frame, std::uint32_t number) {
        basekit::utility::Guid const frameId = basekit::utility::Guid::CreateUnique();
        crossprocess::WritableBinaryReferencePtr shared;
        if (Pix::PublishVideoFrameProvidingReference(frame, frameId, shared) != Pix::kOK) {
            return -101;
        }
        auto answer = std::make_shared<std::promise<std::int32_t>>();
        auto future = answer->get_future();
        mClient->CompressAndWriteFrame(
            mId, frameId, number, 0, false,
            [answer, frameId, number](VireoServer::ExportFrameReceivedData record) {
                answer->set_value(record.mPublishedFrameIdentifier == frameId &&
                                          record.mFrameNumber == number
                                      ? record.mExporterResultCode
                                      : -102);
            });
        return Await(future, -100);
    }

    // Interleaved 32-bit floats, `channels` per sample frame.
    std::int32_t SubmitAudio(std::vector<float> const& samples, int channels, std::int64_t first) {
        basekit::utility::Guid const audioId = basekit::utility::Guid::CreateUnique();
        std::uint64_t const bytes = samples.size() * sizeof(float);
        auto block = crossprocess::CreateWritableReference(bytes);
        if (!block) {
            return -101;
        }
        std::memcpy(block->GetData(), samples.data(), bytes);
        if (crossprocess::Share(audioId, block, bytes) != 0) {
            return -101;
        }
        auto answer = std::make_shared<std::promise<std::int32_t>>();
        auto future = answer->get_future();
        std::int64_t const count = std::int64_t(samples.size()) / channels;
        mClient->CompressAndWriteAudio(
            mId, audioId, first, count,
            [answer, first, count](VireoServer::ExportAudioDataReceived record) {
                answer->set_value(record.mStartingAudioSample == first &&
                                          record.mNumAudioSamples == count
                                      ? record.mExporterResultCode
                                      : -102);
            });
        std::int32_t const result = Await(future, -100);
        crossprocess::Unshare(audioId);
        return result;
    }

    std::int32_t Complete(std::int32_t status = 0) {
        auto answer = std::make_shared<std::promise<std::int32_t>>();
        auto future = answer->get_future();
        mClient->ExportCompleted(mId, status, [answer](VireoServer::ExportCompletedData record) {
            answer->set_value(record.mServerResultCode);
        });
        return Await(future, -100);
    }

    // The pulse's (status, value).
    std::pair<std::int32_t, std::uint32_t> Pulse() {
        auto answer = std::make_shared<std::promise<std::pair<std::int32_t, std::uint32_t>>>();
        auto future = answer->get_future();
        mClient->ExportServerProgressPulse(mId, [answer](std::int32_t status, std::uint32_t value) {
            answer->set_value({status, value});
        });
        return Await(future, std::pair<std::int32_t, std::uint32_t>{-100, 0});
    }

  private:
    InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient> mClient;
    basekit::utility::Guid mId;
};

}  // namespace vireo::test::library
