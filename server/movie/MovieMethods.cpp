// The movie methods: opening and closing movies, their frames and audio, and audio control.
//
// Handlers run on transport threads and only parse, check, look up and queue: opening runs on
// the server's open pool (a few opens of one session at once, SessionOpeners.h), everything else
// on the movie's strand of the worker pool, which answers. Data is always published before the
// request that asked for it is answered with success; a failure is answered with its code and
// publishes nothing. Requests refused by a limit are answered before any work is done.
#include <memory>

#include "Answers.h"
#include "Delivery.h"
#include "Log.h"
#include "MethodGroups.h"
#include "MovieLimits.h"
#include "MovieWire.h"
#include "OpenMovie.h"
#include "SessionOpeners.h"
#include "crossprocess/CrossProcess.h"
#include "engine/Errors.h"

namespace vireo::server {

namespace {

using basekit::serialization::MakeVariant;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;
using basekit::utility::Guid;
using basemarshal::Responder;
using basetransport::SessionPtr;
using movie::OpenMoviePtr;
// The wire forms of arguments, answers and properties.
using vireo::server::ValueAnswer;
using vireo::server::movie::Arguments;
using vireo::server::movie::MoviePropertiesToVariant;
namespace engine = vireo::engine;

constexpr int kFramesAhead = 2;  // decoded beyond the last frame asked for

struct MovieMethods : std::enable_shared_from_this<MovieMethods> {
    ServerContext& context;
    movie::MovieLimits const limits;
    movie::MovieRegistry registry;
    movie::SessionOpeners openers;
    std::shared_ptr<movie::AheadLedger> const ahead = std::make_shared<movie::AheadLedger>();

    MovieMethods(ServerContext& c, movie::MovieLimits const& l)
        : context(c), limits(l), openers(c.Openers(), l.opensPerSession) {}

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
        if (!registry.Reserve(session->GetID(), limits.maxMoviesPerSession)) {
            responder.Reply(OpenAnswer(Guid(), engine::kErrTooManyMovies, nullptr));
            return;
        }
        // Runs on the open pool: opening reads the file and decodes its first frame.
        auto self = shared_from_this();
        openers.Post(session->GetID(), [self, session, path, noWorkAhead, singleThread, responder] {
            self->OpenNow(session, path, noWorkAhead, singleThread, responder);
        });
    }

    void OpenNow(SessionPtr const& session, std::string const& path, bool noWorkAhead,
                 bool singleThread, Responder const& responder) {
        std::int64_t const sessionId = session->GetID();
        if (session->IsClosed()) {
            registry.Unreserve(sessionId);
            return;  // nobody to answer, nobody to close the movie
        }
        engine::OpenOptions options;
        options.decoderThreads = singleThread ? 1 : 0;
        options.openTimeLimitMs = limits.openTimeLimitMs;
        std::int32_t error = engine::kOK;
        std::unique_ptr<engine::Movie> opened = engine::Movie::Open(path, options, error);
        if (!opened) {
            registry.Unreserve(sessionId);
            Log("open failed (%d): %s", int(error), path.c_str());
            responder.Reply(OpenAnswer(Guid(), error, nullptr));
            return;
        }
        auto entry =
            std::make_shared<movie::OpenMovie>(Guid::CreateUnique(), sessionId, std::move(opened),
                                               context.Workers().MakeStrand(), !noWorkAhead);
        registry.Add(entry);
        // A session that ended while the file was opening has no one to close the movie.
        if (session->IsClosed()) {
            if (registry.Remove(entry->Id(), sessionId))
                movie::CloseMovie(entry);
            return;
        }
        responder.Reply(OpenAnswer(entry->Id(), engine::kOK, &entry->Info()));
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
        movie::FrameRequest frame;
        frame.time = args.Integer(2);
        frame.fourcc = args.FourCC(3);
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
        // Sizes beyond 32 bits are as far beyond the limit as the largest 32-bit ones.
        frame.width = std::int32_t(std::clamp<std::int64_t>(width, -1, INT32_MAX));
        frame.height = std::int32_t(std::clamp<std::int64_t>(height, -1, INT32_MAX));
        std::int32_t checked = movie::CheckFrameRequest(found->Info(), limits, frame);
        if (checked != engine::kOK) {
            responder.Reply(ValueAnswer(std::int64_t(checked)));
            return;
        }
        found->FrameRequestQueued(request);
        auto self = shared_from_this();
        // Runs on the movie's strand.
        found->Post([self, found, session, request, frame, responder] {
            std::int32_t result = engine::kErrMovieClosing;
            if (found->FrameRequestStarts(request)) {
                result = engine::kErrCancelled;
            } else if (!found->IsClosed() && found->Engine()) {
                result = movie::DeliverFrame(*found, session, request, frame, self->limits);
            }
            responder.Reply(ValueAnswer(std::int64_t(result)));
            if (result != engine::kOK)
                return;
            // While the host reads this frame: the next one rendered, then more decoded, one
            // frame at a time. Each step only while no request waits (a request that came
            // meanwhile, a seek for one, goes first) and the movie is open.
            auto mayWork = [&found] {
                return found->ShouldWorkAhead() && !found->IsClosed() && found->Engine();
            };
            if (mayWork())
                movie::RenderAhead(*found, session, frame, self->limits, self->ahead);
            for (int frames = 1; frames <= kFramesAhead && mayWork(); ++frames)
                found->Engine()->DecodeAhead(frames);
        });
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
        auto self = shared_from_this();
        // Runs on the movie's strand.
        found->Post([self, found, session, request, responder] {
            std::int64_t result = engine::kErrMovieClosing;
            if (!found->IsClosed() && found->Engine())
                result = movie::DeliverAudio(*found, session, request, self->limits);
            responder.Reply(ValueAnswer(result));
        });
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
        // Runs on the movie's strand.
        found->Post([found, control, responder] {
            if (control == Control::Quiet)
                found->TakeAhead();
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
    movie::MovieLimits const limits = movie::ReadMovieLimits();
    // What a session's client may hold of the blocks published to it; crossprocess refuses
    // publications beyond (the methods check before they decode, too).
    crossprocess::SessionLimits shared;
    shared.maxBytes = limits.maxSharedBytesPerSession;
    shared.maxBlocks = limits.maxHeldFramesPerSession;
    crossprocess::SetSessionLimits(shared);
    Log("limits: open %d ms, frames %dx%d, %llu movies, %llu bytes and %llu blocks held per "
        "session, %u opens at once per session",
        int(limits.openTimeLimitMs), int(limits.maxFrameWidth), int(limits.maxFrameHeight),
        static_cast<unsigned long long>(limits.maxMoviesPerSession),
        static_cast<unsigned long long>(limits.maxSharedBytesPerSession),
        static_cast<unsigned long long>(limits.maxHeldFramesPerSession),
        unsigned(limits.opensPerSession));

    // Shared by every handler and by the tasks they queue.
    auto methods = std::make_shared<MovieMethods>(context, limits);
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

}  // namespace vireo::server
