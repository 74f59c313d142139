#include "MovieWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "export/ExportErrors.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace vireo::server::exporting::detail {

namespace {

constexpr int kBufferBytes = 1 << 16;

std::int32_t CodeOf(int averror) {
    return averror == AVERROR(ENOMEM) ? kErrOutOfMemory : kErrWriteFailed;
}

}  // namespace

MovieWriter::~MovieWriter() {
    if (mContext != nullptr) {
        avformat_free_context(mContext);
    }
    if (mIO != nullptr) {
        av_freep(&mIO->buffer);
        avio_context_free(&mIO);
    }
}

int MovieWriter::WriteBytes(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<MovieWriter*>(opaque);
    int written = 0;
    while (written < size) {
        ssize_t const n = write(self->mFd, data + written, std::size_t(size - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            self->mWriteErrno = self->mWriteErrno != 0 ? self->mWriteErrno : (n < 0 ? errno : EIO);
            return AVERROR(self->mWriteErrno);
        }
        written += int(n);
    }
    return size;
}

std::int64_t MovieWriter::Seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<MovieWriter*>(opaque);
    if (whence & AVSEEK_SIZE) {
        off_t const here = lseek(self->mFd, 0, SEEK_CUR);
        off_t const end = lseek(self->mFd, 0, SEEK_END);
        lseek(self->mFd, here, SEEK_SET);
        return end < 0 ? AVERROR(errno) : end;
    }
    off_t const position = lseek(self->mFd, offset, whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : position;
}

std::int32_t MovieWriter::Failure(int averror) const {
    return mWriteErrno != 0 ? kErrWriteFailed : CodeOf(averror);
}

std::int32_t MovieWriter::Open() {
    int const ret = avformat_alloc_output_context2(&mContext, nullptr, "mov", nullptr);
    return ret < 0 || mContext == nullptr ? CodeOf(ret) : kExportOK;
}

AVStream* MovieWriter::AddStream(AVCodecContext const* encoder, AVRational timeBase) {
    AVStream* stream = avformat_new_stream(mContext, nullptr);
    if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, encoder) < 0) {
        return nullptr;
    }
    stream->time_base = timeBase;
    return stream;
}

std::int32_t MovieWriter::AddCaptions(EncodePlan const& plan) {
    if (plan.captions.empty()) {
        return kExportOK;
    }
    mCaptionStream = avformat_new_stream(mContext, nullptr);
    if (mCaptionStream == nullptr) {
        return kErrOutOfMemory;
    }
    mCaptionStream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    mCaptionStream->codecpar->codec_id = AV_CODEC_ID_EIA_608;
    mCaptionStream->time_base = plan.timelineBase;
    mCaptions = plan.captions;
    return kExportOK;
}

void MovieWriter::AddChapters(EncodePlan const& plan) {
    int id = 0;
    for (auto const& chapter : plan.chapters) {
        auto* entry = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (entry == nullptr) {
            return;
        }
        entry->id = ++id;
        entry->time_base = plan.timelineBase;
        entry->start = chapter.start;
        entry->end = chapter.end;
        av_dict_set(&entry->metadata, "title", chapter.title.c_str(), 0);
        // The context owns its chapters and frees them with itself.
        int count = int(mContext->nb_chapters);
        if (av_dynarray_add_nofree(&mContext->chapters, &count, entry) < 0) {
            av_dict_free(&entry->metadata);
            av_free(entry);
            return;
        }
        mContext->nb_chapters = unsigned(count);
    }
}

std::int32_t MovieWriter::WriteHeader(int fd) {
    mFd = fd;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferBytes));
    if (buffer == nullptr) {
        return kErrOutOfMemory;
    }
    mIO = avio_alloc_context(buffer, kBufferBytes, 1, this, nullptr, &MovieWriter::WriteBytes,
                             &MovieWriter::Seek);
    if (mIO == nullptr) {
        av_free(buffer);
        return kErrOutOfMemory;
    }
    mContext->pb = mIO;
    mContext->flags |= AVFMT_FLAG_CUSTOM_IO;
    int const ret = avformat_write_header(mContext, nullptr);
    if (ret < 0) {
        return Failure(ret);
    }
    return WriteCaptions();
}

// Each caption is one sample: its byte pairs as CEA-608 field-1 triplets, which the muxer
// stores as the sample's 'cdat' atom.
std::int32_t MovieWriter::WriteCaptions() {
    if (mCaptionStream == nullptr) {
        return kExportOK;
    }
    for (auto const& caption : mCaptions) {
        engine::detail::PacketPtr packet(av_packet_alloc());
        std::size_t const pairs = caption.pairs.size() / 2;
        if (!packet || av_new_packet(packet.get(), int(pairs * 3)) < 0) {
            return kErrOutOfMemory;
        }
        for (std::size_t i = 0; i < pairs; ++i) {
            packet->data[3 * i] = 0xFC;  // field 1, valid
            packet->data[3 * i + 1] = caption.pairs[2 * i];
            packet->data[3 * i + 2] = caption.pairs[2 * i + 1];
        }
        packet->pts = packet->dts = caption.start;
        packet->duration = caption.duration;
        packet->flags |= AV_PKT_FLAG_KEY;
        if (std::int32_t r = Write(packet.get(), mCaptionStream->time_base, mCaptionStream);
            r != kExportOK) {
            return r;
        }
    }
    return kExportOK;
}

std::int32_t MovieWriter::Write(AVPacket* packet, AVRational from, AVStream* stream) {
    av_packet_rescale_ts(packet, from, stream->time_base);
    packet->stream_index = stream->index;
    // Packets go straight to the file: QuickTime needs no interleaving to be correct, and
    // holding packets back for it would hold the host's frames and memory.
    int const ret = av_write_frame(mContext, packet);
    av_packet_unref(packet);
    return ret < 0 ? Failure(ret) : kExportOK;
}

std::int32_t MovieWriter::Finish() {
    int ret = av_write_trailer(mContext);
    if (ret < 0) {
        return Failure(ret);
    }
    avio_flush(mIO);
    return mIO->error < 0 ? Failure(mIO->error) : kExportOK;
}

}  // namespace vireo::server::exporting::detail
