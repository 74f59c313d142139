#pragma once
// The frame objects Pix hands out: reference counting, interface queries and the fixed
// description every frame carries.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "Kino/VideoFrame.h"
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

// Implements OrbUnknown and the getters of IVideoFrame for a frame class whose most derived
// interface is `Interface` (IVideoFrame or IWritableVideoFrame).
template <class Interface>
class FrameBase : public Interface {
  public:
    void AddRef() override { mRefCount.fetch_add(1, std::memory_order_relaxed); }
    void Release() override {
        if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
    std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) override {
        std::int32_t const result = QueryInterfaceNoRef(id, out);
        if (result == 0) {
            AddRef();
        }
        return result;
    }
    std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id, OrbUnknown** out) override {
        if (!out) {
            return Orb::kUnknownInterface;
        }
        if (id == OrbUnknown::kIID || id == Kino::IVideoFrame::kIID || id == Interface::kIID) {
            *out = static_cast<OrbUnknown*>(this);
            return 0;
        }
        *out = nullptr;
        return Orb::kUnknownInterface;
    }

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

  private:
    std::atomic<std::uint32_t> mRefCount{0};
};

// A frame over a peer's shared bytes; read-only.
class WrappedFrame final : public FrameBase<Kino::IVideoFrame> {
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
class SharedFrame final : public FrameBase<Kino::IWritableVideoFrame> {
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
class LocalFrame final : public FrameBase<Kino::IWritableVideoFrame> {
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
