#include "ScriptPublisher.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "Kino/VideoFrame.h"
#include "Pix/FrameLayout.h"
#include "Pix/Pix.h"
#include "VariantJson.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

namespace vireo::test {

namespace {

using basekit::utility::Guid;

// The request identifier at params[index], or a null Guid when there is none.
Guid RequestId(basekit::serialization::VariantPtr const& params, std::size_t index) {
    try {
        boost::json::value const json = VariantToJson(params);
        auto const* array = json.if_array();
        if (!array || index >= array->size() || !(*array)[index].is_string()) {
            return Guid();
        }
        return Guid(std::string((*array)[index].get_string()).c_str());
    } catch (std::exception const&) {
        return Guid();
    }
}

void FillBytes(void* data, std::uint64_t size, Publication::Fill fill) {
    auto* bytes = static_cast<unsigned char*>(data);
    switch (fill) {
        case Publication::Fill::Zero:
            std::memset(bytes, 0, size);
            break;
        case Publication::Fill::Ramp:
            for (std::uint64_t i = 0; i < size; ++i) {
                bytes[i] = static_cast<unsigned char>(i);
            }
            break;
        case Publication::Fill::Floats: {
            // Float k is k; a partial float at the end stays zero.
            std::memset(bytes, 0, size);
            for (std::uint64_t k = 0; k < size / sizeof(float); ++k) {
                float const value = static_cast<float>(k);
                std::memcpy(bytes + k * sizeof(float), &value, sizeof(float));
            }
            break;
        }
    }
}

long PublishBytes(Publication const& publication, basetransport::SessionPtr const& session,
                  Guid const& id) {
    // A block is never empty; zero bytes publish an empty range of a small block.
    auto block =
        crossprocess::CreateWritableReference(std::max<std::uint64_t>(1, publication.bytes));
    if (!block) {
        return -1;
    }
    FillBytes(block->GetData(), publication.bytes, publication.fill);
    return crossprocess::PublishToSession(session, id, block, publication.bytes);
}

void Corrupt(Publication::Corruption corruption,
             crossprocess::WritableBinaryReferencePtr const& block, std::uint32_t fourcc,
             std::uint32_t width) {
    Pix::FrameHeader header;
    std::memcpy(&header, block->GetData(), sizeof(header));
    switch (corruption) {
        case Publication::Corruption::None:
            return;
        case Publication::Corruption::RowBytes:
            header.rowBytes = static_cast<std::uint32_t>(Pix::MinimumRowBytes(fourcc, width) - 1);
            break;
        case Publication::Corruption::Magic:
            header.magic = 0;
            break;
        case Publication::Corruption::DataSize:
            header.dataSize = block->GetSize();  // runs past the end of the block
            break;
    }
    std::memcpy(block->GetData(), &header, sizeof(header));
}

long PublishFrame(Publication const& publication, basetransport::SessionPtr const& session,
                  Guid const& id) {
    crossprocess::WritableBinaryReferencePtr block;
    InterfaceRef<Kino::IWritableVideoFrame> frame =
        Pix::CreateSharedVideoFrame(publication.width, publication.height, publication.fourcc, 0,
                                    basemediatypes::PixelAspectRatio(1, 1),
                                    Kino::kFieldOrder_Progressive, block, publication.rowBytes);
    if (!frame || !block) {
        return -1;
    }
    // Byte b of row y is (b + y) mod 256, padding included.
    auto* pixels = static_cast<unsigned char*>(frame->GetMutablePixels());
    std::uint32_t const rowBytes = frame->GetRowBytes();
    for (std::uint32_t y = 0; y < publication.height; ++y) {
        for (std::uint32_t b = 0; b < rowBytes; ++b) {
            pixels[std::size_t(y) * rowBytes + b] = static_cast<unsigned char>(b + y);
        }
    }
    Corrupt(publication.corrupt, block, publication.fourcc, publication.width);
    return crossprocess::PublishToSession(session, id, block, block->GetSize());
}

}  // namespace

boost::json::object Publish(Publication const& publication,
                            basetransport::SessionPtr const& session,
                            basekit::serialization::VariantPtr const& params) {
    boost::json::object line;
    line["event"] = "publish";
    line["session"] = session->GetID();
    Guid const id = RequestId(params, publication.idParam);
    line["id"] = id.IsNull() ? std::string() : std::string(id.AsUTF8String());
    long status = -1;
    switch (publication.kind) {
        case Publication::Kind::None:
            return line;
        case Publication::Kind::Bytes:
            line["kind"] = "bytes";
            if (!id.IsNull()) {
                status = PublishBytes(publication, session, id);
            }
            break;
        case Publication::Kind::Frame:
            line["kind"] = "frame";
            if (!id.IsNull()) {
                status = PublishFrame(publication, session, id);
            }
            break;
        case Publication::Kind::Failure:
            line["kind"] = "fail";
            if (!id.IsNull()) {
                status = crossprocess::PublishFailureToSession(
                    session, id, static_cast<long>(publication.failStatus));
            }
            break;
    }
    line["status"] = status;
    if (publication.afterMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(publication.afterMs));
    }
    return line;
}

boost::json::object SharedDataCounters() {
    crossprocess::Stats const stats = crossprocess::GetStats();
    boost::json::object counters;
    counters["publications"] = stats.publications;
    counters["releasesReceived"] = stats.releasesReceived;
    counters["peerHolds"] = stats.peerHolds;
    counters["blocksLeased"] = stats.blocksLeased;
    return counters;
}

}  // namespace vireo::test
