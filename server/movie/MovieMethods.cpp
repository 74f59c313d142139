// The movie methods: opening and closing movies, their frames and audio, and audio control.
//
// Handlers run on transport worker threads and only parse, look up and queue: opening runs on
// the server's worker pool, everything else on the movie's serial queue, which answers. Data is
// always published before the request that asked for it is answered with success; a failure is
// answered with its code and publishes nothing.
#include <boost/make_shared.hpp>
#include <memory>

#include "Log.h"
#include "MethodGroups.h"
#include "MovieWire.h"
#include "OpenMovie.h"
#include "Pix/Pix.h"
#include "basekit/serialization/JSONConvert.h"
#include "crossprocess/CrossProcess.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

namespace vireoserver {

namespace {

using basekit::serialization::MakeVariant;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;
using basekit::utility::Guid;
using basemarshal::Responder;
using basetransport::SessionPtr;
using movie::Arguments;
using movie::OpenMoviePtr;
using movie::ValueAnswer;
namespace engine = vireo::engine;

constexpr int kFramesAhead = 2;  // decoded beyond the last frame asked for
constexpr std::int32_t kMaxDimension = 16384;

struct MovieMethods : std::enable_shared_from_this<MovieMethods> {
    ServerContext& context;
    movie::MovieRegistry registry;

    explicit MovieMethods(ServerContext& c) : context(c) {}

    // ---- OpenMovieFromFile(path, flag1, flag2, flag3) --------------------------------------
    // flag1: do not decode ahead (a host that reads single frames, e.g. thumbnails);
    // flag2: decode on one thread (a host that opens many movies at once); flag3: reserved.
    void Open(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        Arguments args(params);
        std::string path = args.Text(0);
        bool noWorkAhead = args.Flag(1);
        bool singleThread = args.Flag(2);
        args.Flag(3);
        if (args.Failed()) {
            responder.Reply(OpenAnswer(Guid(), engine::kErrBadRequest, nullptr));
            return;
        }
        // Runs on a pool thread: opening reads the file and decodes its first frame.
        auto self = shared_from_this();
        context.Workers().Post([self, this, session, path, noWorkAhead, singleThread, responder] {
            engine::OpenOptions options;
            options.decoderThreads = singleThread ? 1 : 0;
            std::int32_t error = engine::kOK;
            std::unique_ptr<engine::Movie> opened = engine::Movie::Open(path, options, error);
            if (!opened) {
                Log("open failed (%d): %s", int(error), path.c_str());
                responder.Reply(OpenAnswer(Guid(), error, nullptr));
                return;
            }
            auto entry = std::make_shared<movie::OpenMovie>(
                Guid::CreateUnique(), session->GetID(), std::move(opened),
                context.Workers().MakeQueue(), !noWorkAhead);
            registry.Add(entry);
            // A session that ended while the file was opening has no one to close the movie.
            if (session->IsClosed()) {
                if (registry.Remove(entry->Id(), session->GetID()))
                    movie::CloseMovie(entry);
                return;
            }
            responder.Reply(OpenAnswer(entry->Id(), engine::kOK, &entry->Info()));
        });
    }

    static VariantPtr OpenAnswer(Guid const& id, std::int32_t error,
                                 engine::MovieInfo const* info) {
        return movie::OpenMovieAnswer(id, error, info);
    }

    // ---- CloseMovie(movieId) -----------------------------------------------------------------
    void Close(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        Arguments args(params);
        Guid id = args.Id(0);
        OpenMoviePtr found = args.Failed() ? nullptr : registry.Remove(id, session->GetID());
        if (found)
            movie::CloseMovie(found);
        responder.Reply(ValueAnswer(std::int64_t(found ? engine::kOK : engine::kErrUnknownMovie)));
    }

    // ---- GetMovieVideo(movieId, requestId, time, format, width, height) ----------------------
    // time: in the movie's video time scale; width, height: output size, 0 for the movie's own.
    void Video(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        Arguments args(params);
        Guid id = args.Id(0);
        Guid request = args.Id(1);
        std::int64_t time = args.Integer(2);
        std::uint32_t fourcc = args.FourCC(3);
        std::int64_t width = args.Integer(4);
        std::int64_t height = args.Integer(5);
        if (args.Failed() || request.IsNull()) {
            responder.Reply(ValueAnswer(std::int64_t(engine::kErrBadRequest)));
            return;
        }
        OpenMoviePtr found = registry.Find(id, session->GetID());
        if (!found) {
            responder.Reply(ValueAnswer(std::int64_t(engine::kErrUnknownMovie)));
            return;
        }
        found->FrameRequestQueued(request);
        // Runs on the movie's queue.
        found->Queue().Post([found, session, request, time, fourcc, width, height, responder] {
            std::int32_t result = engine::kErrMovieClosing;
            if (found->FrameRequestStarts(request)) {
                result = engine::kErrCancelled;
            } else if (!found->IsClosed() && found->Engine()) {
                result = RenderFrame(*found, session, request, time, fourcc, width, height);
            }
            responder.Reply(ValueAnswer(std::int64_t(result)));
            if (result == engine::kOK && found->ShouldWorkAhead() && found->Engine())
                found->Engine()->DecodeAhead(kFramesAhead);
        });
    }

    // Converts the frame straight into a shared block and publishes it under `request`.
    static std::int32_t RenderFrame(movie::OpenMovie& open, SessionPtr const& session,
                                    Guid const& request, std::int64_t time, std::uint32_t fourcc,
                                    std::int64_t width, std::int64_t height) {
        engine::VideoInfo const& video = open.Info().video;
        if (!video.present)
            return engine::kErrNoVideo;
        if (!engine::IsSupportedFormat(fourcc))
            return engine::kErrUnsupportedPixelFormat;
        if (time < 0 || time >= video.duration)
            return engine::kErrTimeOutOfRange;
        if (width == 0)
            width = video.width;
        if (height == 0)
            height = video.height;
        if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension)
            return engine::kErrBadDestination;
        std::uint32_t parNumerator = video.parNumerator, parDenominator = video.parDenominator;
        movie::ScaledPixelAspect(parNumerator, parDenominator, video.width, video.height,
                                 std::int32_t(width), std::int32_t(height));
        crossprocess::WritableBinaryReferencePtr block;
        InterfaceRef<Kino::IWritableVideoFrame> frame = Pix::CreateSharedVideoFrame(
            std::uint32_t(width), std::uint32_t(height), fourcc, engine::FormatProperties(fourcc),
            basemediatypes::PixelAspectRatio(parNumerator, parDenominator), video.fieldType, block);
        if (!frame || !block)
            return engine::kErrPublishFailed;
        std::int32_t result = open.Engine()->ReadVideoFrame(
            time, fourcc, frame->GetMutablePixels(), frame->GetRowBytes(), std::int32_t(width),
            std::int32_t(height));
        if (result != engine::kOK)
            return result;
        if (crossprocess::PublishToSession(session, request, block, block->GetSize()) != 0)
            return engine::kErrPublishFailed;
        return engine::kOK;
    }

    // ---- CancelMovieVideo(movieId, requestId): a notification ---------------------------------
    void CancelVideo(SessionPtr const& session, VariantPtr const& params, Responder const&) {
        Arguments args(params);
        Guid id = args.Id(0);
        Guid request = args.Id(1);
        if (args.Failed())
            return;
        if (OpenMoviePtr found = registry.Find(id, session->GetID()))
            found->CancelFrameRequest(request);
    }

    // ---- GetMovieAudio(movieId, requestId) -----------------------------------------------------
    // Answers the number of 32-bit floats published (> 0), 0 at the end of the audio, or a
    // negative error code.
    void Audio(SessionPtr const& session, VariantPtr const& params, Responder const& responder) {
        Arguments args(params);
        Guid id = args.Id(0);
        Guid request = args.Id(1);
        if (args.Failed() || request.IsNull()) {
            responder.Reply(ValueAnswer(std::int64_t(engine::kErrBadRequest)));
            return;
        }
        OpenMoviePtr found = registry.Find(id, session->GetID());
        if (!found) {
            responder.Reply(ValueAnswer(std::int64_t(engine::kErrUnknownMovie)));
            return;
        }
        // Runs on the movie's queue.
        found->Queue().Post([found, session, request, responder] {
            std::int64_t result = engine::kErrMovieClosing;
            if (!found->IsClosed() && found->Engine())
                result = AudioBlock(*found, session, request);
            responder.Reply(ValueAnswer(result));
        });
    }

    // Half a second of audio at most, decoded straight into a shared block.
    static std::int64_t AudioBlock(movie::OpenMovie& open, SessionPtr const& session,
                                   Guid const& request) {
        engine::AudioInfo const& audio = open.Info().audio;
        if (!audio.present || audio.channels <= 0)
            return engine::kErrNoAudio;
        std::int64_t frames = std::max<std::int64_t>(1, std::int64_t(audio.sampleRate / 2));
        std::uint64_t bytes = std::uint64_t(frames) * std::uint64_t(audio.channels) * sizeof(float);
        crossprocess::WritableBinaryReferencePtr block =
            crossprocess::CreateWritableReference(bytes);
        if (!block || block->GetSize() < bytes)
            return engine::kErrPublishFailed;
        std::int64_t got = open.Engine()->ReadAudio(static_cast<float*>(block->GetData()), frames);
        if (got <= 0)
            return got;
        std::int64_t values = got * audio.channels;
        if (crossprocess::PublishToSession(session, request, block,
                                           std::uint64_t(values) * sizeof(float)) != 0)
            return engine::kErrPublishFailed;
        return values;
    }

    // ---- QuietMovie, UnquietMovie, RestartMovieAudio(movieId) ----------------------------------
    // Quiet: stop decoding ahead and free the video decoder and its frames (the next frame
    // request opens them again). Unquiet: decode ahead again. Restart: audio from its start.
    // Each answers {"value": 0} once everything queued before it is done.
    enum class Control { Quiet, Unquiet, Restart };

    void AudioControl(Control control, SessionPtr const& session, VariantPtr const& params,
                      Responder const& responder) {
        Arguments args(params);
        Guid id = args.Id(0);
        OpenMoviePtr found = args.Failed() ? nullptr : registry.Find(id, session->GetID());
        if (!found) {
            responder.Reply(ValueAnswer(std::int64_t(engine::kErrUnknownMovie)));
            return;
        }
        if (control != Control::Restart)
            found->SetQuiet(control == Control::Quiet);
        // Runs on the movie's queue.
        found->Queue().Post([found, control, responder] {
            if (found->Engine()) {
                if (control == Control::Quiet)
                    found->Engine()->ReleaseVideoResources();
                if (control == Control::Restart)
                    found->Engine()->RestartAudio();
            }
            responder.Reply(ValueAnswer(std::int64_t(engine::kOK)));
        });
    }

    // Runs on a transport thread when a session ends: its movies are closed.
    void SessionEnded(SessionPtr const& session) {
        for (OpenMoviePtr const& open : registry.RemoveSession(session->GetID()))
            movie::CloseMovie(open);
    }
};

}  // namespace

void RegisterMovieMethods(ServerContext& context) {
    // Shared by every handler and by the tasks they queue.
    auto methods = std::make_shared<MovieMethods>(context);
    auto& rpc = context.Rpc();
    using Handler = void (MovieMethods::*)(SessionPtr const&, VariantPtr const&, Responder const&);
    auto bind = [methods](Handler handler) {
        return [methods, handler](SessionPtr const& session, VariantPtr const& params,
                                  Responder const& responder) {
            ((*methods).*handler)(session, params, responder);
        };
    };
    rpc.AddMethod("OpenMovieFromFile", bind(&MovieMethods::Open));
    rpc.AddMethod("CloseMovie", bind(&MovieMethods::Close));
    rpc.AddMethod("GetMovieVideo", bind(&MovieMethods::Video));
    rpc.AddMethod("CancelMovieVideo", bind(&MovieMethods::CancelVideo));
    rpc.AddMethod("GetMovieAudio", bind(&MovieMethods::Audio));
    auto control = [methods](MovieMethods::Control which) {
        return [methods, which](SessionPtr const& session, VariantPtr const& params,
                                Responder const& responder) {
            methods->AudioControl(which, session, params, responder);
        };
    };
    rpc.AddMethod("QuietMovie", control(MovieMethods::Control::Quiet));
    rpc.AddMethod("UnquietMovie", control(MovieMethods::Control::Unquiet));
    rpc.AddMethod("RestartMovieAudio", control(MovieMethods::Control::Restart));
    // Runs on a transport thread when a session ends: its movies are closed.
    context.AddSessionEndListener(
        [methods](SessionPtr const& session) { methods->SessionEnded(session); });
}

}  // namespace vireoserver
