#pragma once
// The frame objects Pix hands out and the fixed description every frame carries.
#include <array>
#include <cstdint>
#include <cstdlib>

#include "Kino/VideoFrame.h"
#include "Orb/ObjectModel.h"
#include "crossprocess/CrossProcess.h"

namespace Pix {
namespace detail {

struct FrameInfo {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rowBytes = 0;
    std::uint32_t fourcc = 0;
    basemediatypes::PixelFormatProperties properties =
        basemediatypes::kPixelFormatProperties_Invalid;
    basemediatypes::PixelAspectRatio par;
    std::int32_t fieldOrder = 0;
    std::uint64_t dataSize = 0;
};

// The getters of IVideoFrame for a frame class T whose most derived interface is `Interface`
// (IVideoFrame or IWritableVideoFrame); reference counting and queries come from the object
// model (a private object, answering T::kInterfaceIds).
template <class T, class Interface>
class FrameBase : public Orb::PrivateImplementation<T, Interface> {
  public:
    static constexpr std::array<basekit::utility::Guid, 3> kInterfaceIds{
        Interface::kIID, Kino::IVideoFrame::kIID, OrbUnknown::kIID};

    std::uint32_t GetWidth() const override { return mInfo.width; }
    std::uint32_t GetHeight() const override { return mInfo.height; }
    std::uint32_t GetRowBytes() const override { return mInfo.rowBytes; }
    std::uint32_t GetPixelFormat() const override { return mInfo.fourcc; }
    basemediatypes::PixelFormatProperties GetPixelFormatProperties() const override {
        return mInfo.properties;
    }
    basemediatypes::PixelAspectRatio GetPixelAspectRatio() const override { return mInfo.par; }
    std::int32_t GetFieldOrder() const override { return mInfo.fieldOrder; }
    std::uint64_t GetDataSize() const override { return mInfo.dataSize; }

  protected:
    explicit FrameBase(FrameInfo const& info) : mInfo(info) {}

    FrameInfo const mInfo;
};

// A frame over a peer's shared bytes; read-only.
class WrappedFrame final : public FrameBase<WrappedFrame, Kino::IVideoFrame> {
  public:
    WrappedFrame(FrameInfo const& info, crossprocess::BinaryReferencePtr ref, const void* data,
                 const std::uint8_t* pixels)
        : FrameBase(info), mRef(std::move(ref)), mData(data), mPixels(pixels) {}
    ~WrappedFrame() override { mRef->ReleaseData(mData); }
    const void* GetPixels() const override { return mPixels; }

  private:
    crossprocess::BinaryReferencePtr mRef;
    const void* mData;
    const std::uint8_t* mPixels;
};

// A frame made in one of this process's shared blocks; its maker may write the pixels.
class SharedFrame final : public FrameBase<SharedFrame, Kino::IWritableVideoFrame> {
  public:
    SharedFrame(FrameInfo const& info, crossprocess::WritableBinaryReferencePtr block,
                std::uint8_t* pixels)
        : FrameBase(info), mBlock(std::move(block)), mPixels(pixels) {}
    const void* GetPixels() const override { return mPixels; }
    void* GetMutablePixels() override { return mPixels; }
    crossprocess::WritableBinaryReferencePtr const& Block() const { return mBlock; }

  private:
    crossprocess::WritableBinaryReferencePtr mBlock;
    std::uint8_t* mPixels;
};

// A frame in this process's own memory.
class LocalFrame final : public FrameBase<LocalFrame, Kino::IWritableVideoFrame> {
  public:
    LocalFrame(FrameInfo const& info, std::uint8_t* pixels) : FrameBase(info), mPixels(pixels) {}
    ~LocalFrame() override { std::free(mPixels); }
    const void* GetPixels() const override { return mPixels; }
    void* GetMutablePixels() override { return mPixels; }

  private:
    std::uint8_t* mPixels;
};

}  // namespace detail
}  // namespace Pix
