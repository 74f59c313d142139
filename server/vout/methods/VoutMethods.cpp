// The video-output methods of the server over vout::VideoOutputs.
//
// Handlers run on transport threads and only read their arguments; the work (listing screens,
// opening windows, writing capture files, blitting) runs on the worker pool, on one strand per
// session, so the calls of a session reach the outputs in the order they were sent. Each answer
// is sent once the work is done: a blit is answered after the frame has been handed to the
// output, while the client still keeps the frame published. A session that ends gives its
// component back.
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "Log.h"
#include "MethodGroups.h"
#include "Pix/Pix.h"
#include "VireoRecords/VideoOutputRecordsWire.h"
#include "basekit/debug/Failure.h"
#include "basekit/serialization/JSONConvert.h"
#include "basekit/utility/Text.h"
#include "vout/VideoOutputs.h"

namespace vireo::server {

namespace {

using basekit::serialization::MakeVariant;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;
using basemarshal::Responder;
using basetransport::SessionPtr;
namespace wire = ::VireoServer;

// ---- The module's records on the wire ---------------------------------------------------------

wire::QTComponentDescription ToWire(vout::ComponentDescription const& d) {
    wire::QTComponentDescription w;
    w.mQTComponentDesc_componentType = d.mQTComponentDesc_componentType;
    w.mQTComponentDesc_componentSubType = d.mQTComponentDesc_componentSubType;
    w.mQTComponentDesc_componentManufacturer = d.mQTComponentDesc_componentManufacturer;
    w.mQTComponentDesc_componentFlags = d.mQTComponentDesc_componentFlags;
    w.mQTComponentDesc_componentFlagsMask = d.mQTComponentDesc_componentFlagsMask;
    return w;
}

vout::ComponentDescription FromWire(wire::QTComponentDescription const& w) {
    vout::ComponentDescription d;
    d.mQTComponentDesc_componentType = w.mQTComponentDesc_componentType;
    d.mQTComponentDesc_componentSubType = w.mQTComponentDesc_componentSubType;
    d.mQTComponentDesc_componentManufacturer = w.mQTComponentDesc_componentManufacturer;
    d.mQTComponentDesc_componentFlags = w.mQTComponentDesc_componentFlags;
    d.mQTComponentDesc_componentFlagsMask = w.mQTComponentDesc_componentFlagsMask;
    return d;
}

wire::QTVOutDisplayModeInfo ToWire(vout::DisplayModeInfo const& m) {
    wire::QTVOutDisplayModeInfo w;
    w.mWidth = m.mWidth;
    w.mHeight = m.mHeight;
    w.mResolution_XFixed = m.mResolution_XFixed;
    w.mResolution_XFloat = m.mResolution_XFloat;
    w.mResolution_YFixed = m.mResolution_YFixed;
    w.mResolution_YFloat = m.mResolution_YFloat;
    w.mRefresh_Fixed = m.mRefresh_Fixed;
    w.mRefresh_Float = m.mRefresh_Float;
    w.mQTPixelType = m.mQTPixelType;
    w.mQTAtomIDForMode = m.mQTAtomIDForMode;
    w.mDisplayModeID = m.mDisplayModeID;
    w.mDisplayModeName = m.mDisplayModeName;
    return w;
}

wire::QTVOutComponent ToWire(vout::Component const& c) {
    wire::QTVOutComponent w;
    w.mVOutComponentName = c.mVOutComponentName;
    w.mQTComponentDescription = ToWire(c.mQTComponentDescription);
    for (auto const& mode : c.mDisplayModes) {
        w.mDisplayModes.push_back(ToWire(mode));
    }
    return w;
}

wire::QTVOutOperationResult ToWire(vout::OperationResult const& r) {
    wire::QTVOutOperationResult w;
    w.mOperationResult = r.mOperationResult;
    w.mApplicationUsingComponentName = basekit::utility::UTF8to16(r.mApplicationUsingComponentName);
    w.mQTResultCode = r.mQTResultCode;
    return w;
}

wire::QTVOutUseComponentData ToWire(vout::UseComponentData const& u) {
    wire::QTVOutUseComponentData w;
    w.mQTComponentDescription = ToWire(u.mQTComponentDescription);
    w.mQTAtomIDForDisplayMode = u.mQTAtomIDForDisplayMode;
    w.mDisplayModeID = u.mDisplayModeID;
    w.mApplicationName = basekit::utility::UTF8to16(u.mApplicationName);
    w.mVOutOperationResult = ToWire(u.mVOutOperationResult);
    return w;
}

vout::UseComponentData FromWire(wire::QTVOutUseComponentData const& w) {
    vout::UseComponentData u;
    u.mQTComponentDescription = FromWire(w.mQTComponentDescription);
    u.mQTAtomIDForDisplayMode = w.mQTAtomIDForDisplayMode;
    u.mDisplayModeID = w.mDisplayModeID;
    u.mApplicationName = basekit::utility::UTF16to8(w.mApplicationName);
    return u;
}

template <class Record>
VariantPtr ValueAnswer(Record const& record) {
    VariantObject answer;
    answer["value"] = MakeVariant(basekit::serialization::JSONConvert<Record>::ToJSON(record));
    return MakeVariant(answer);
}

// The first element of a call's argument array, or nothing.
VariantPtr FirstArgument(VariantPtr const& params) {
    if (!params) {
        return VariantPtr();
    }
    auto const* array = boost::any_cast<basekit::serialization::VariantArray>(params.get());
    if (!array || array->empty()) {
        return VariantPtr();
    }
    return (*array)[0];
}

struct VoutMethods : std::enable_shared_from_this<VoutMethods> {
    ServerContext& context;
    std::mutex mutex;  // guards outputs and strands
    std::unique_ptr<vout::VideoOutputs> outputs;
    std::map<std::int64_t, Strand> strands;

    explicit VoutMethods(ServerContext& c) : context(c) {}

    // The module, made at its first use (a server that never shows video starts no display
    // thread).
    vout::VideoOutputs& Outputs() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!outputs) {
            vout::Settings settings;
            settings.log = [](std::string const& line) { Log("vout: %s", line.c_str()); };
            outputs = std::make_unique<vout::VideoOutputs>(std::move(settings));
        }
        return *outputs;
    }

    // Runs `work` on the session's strand; `work` answers.
    void OnStrand(SessionPtr const& session, std::function<void()> work) {
        Strand strand = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = strands.find(session->GetID());
            if (it == strands.end()) {
                it = strands.emplace(session->GetID(), context.Workers().MakeStrand()).first;
            }
            return it->second;
        }();
        Post(strand, std::move(work));
    }

    static vout::SessionKey Key(SessionPtr const& session) {
        return static_cast<vout::SessionKey>(session->GetID());
    }

    void List(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        auto self = shared_from_this();
        OnStrand(session, [self, responder] {
            basekit::serialization::VariantArray list;
            for (auto const& component : self->Outputs().GetComponents()) {
                list.push_back(
                    MakeVariant(basekit::serialization::JSONConvert<wire::QTVOutComponent>::ToJSON(
                        ToWire(component))));
            }
            VariantObject value;
            value[wire::wire::kQTVOutComponentsKey] = MakeVariant(list);
            VariantObject answer;
            answer["value"] = MakeVariant(value);
            responder.Reply(MakeVariant(answer));
        });
    }

    void BeginUsing(SessionPtr const& session, VariantPtr const& params,
                    Responder const& responder) {
        wire::QTVOutUseComponentData request;
        try {
            VariantPtr const argument = FirstArgument(params);
            if (!argument) {
                throw boost::bad_any_cast();
            }
            request = basekit::serialization::JSONConvert<wire::QTVOutUseComponentData>::FromJSON(
                *argument);
        } catch (boost::bad_any_cast const&) {
            responder.Error(basemarshal::kErrorInvalidParams,
                            "QTVOutBeginUsingComponent takes one QTVOutUseComponentData object");
            return;
        }
        auto self = shared_from_this();
        OnStrand(session, [self, session, request, responder] {
            // A session that ended while this waited would keep the component for ever: its
            // end has been handled already.
            if (session->IsClosed()) {
                responder.Error(basemarshal::kErrorInvalidRequest, "the session has ended");
                return;
            }
            vout::UseComponentData const answer =
                self->Outputs().BeginUsingComponent(Key(session), FromWire(request));
            responder.Reply(ValueAnswer(ToWire(answer)));
        });
    }

    void ActiveMode(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        auto self = shared_from_this();
        OnStrand(session, [self, session, responder] {
            vout::ActiveDisplayModeData const data =
                self->Outputs().GetActiveDisplayModeData(Key(session));
            wire::QTVGetActiveDisplayModeData answer;
            answer.mDisplayModeInfo = ToWire(data.mDisplayModeInfo);
            answer.mOperationResult = ToWire(data.mOperationResult);
            responder.Reply(ValueAnswer(answer));
        });
    }

    // "QTVOutBeginBlitting" (begin) and "QTVOutBlitFrame": the frame the client published under
    // the identifier in the call.
    void Blit(bool begin, SessionPtr const& session, VariantPtr const& params,
              Responder const& responder) {
        basekit::utility::Guid id;
        bool named = false;
        if (VariantPtr const argument = FirstArgument(params)) {
            if (auto const* text = boost::any_cast<basekit::UTF8String>(argument.get())) {
                id = basekit::utility::Guid(text->c_str());
                named = !id.IsNull();
            }
        }
        auto self = shared_from_this();
        OnStrand(session, [self, begin, session, id, named, responder] {
            vout::OperationResult result;
            InterfaceRef<Kino::IVideoFrame> frame;
            int const opened = named ? Pix::OpenVideoFrame(session, id, frame) : 0;
            if (opened < 0) {
                // The module answers a missing frame with its own outcome; the frame layer's
                // result says why it is missing.
                result = self->Blit(begin, session, InterfaceRef<Kino::IVideoFrame>());
                if (result.mOperationResult == vout::kVOutBadFrame) {
                    result.mQTResultCode = opened;
                }
            } else {
                result = self->Blit(begin, session, frame);
            }
            responder.Reply(ValueAnswer(ToWire(result)));
        });
    }

    vout::OperationResult Blit(bool begin, SessionPtr const& session,
                               InterfaceRef<Kino::IVideoFrame> const& frame) {
        return begin ? Outputs().BeginBlitting(Key(session), frame)
                     : Outputs().BlitFrame(Key(session), frame);
    }

    void EndBlitting(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        auto self = shared_from_this();
        OnStrand(session, [self, session, responder] {
            responder.Reply(ValueAnswer(ToWire(self->Outputs().EndBlitting(Key(session)))));
        });
    }

    void EndUsing(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        auto self = shared_from_this();
        OnStrand(session, [self, session, responder] {
            responder.Reply(ValueAnswer(ToWire(self->Outputs().EndUsingComponent(Key(session)))));
        });
    }

    // Runs on a transport thread: after everything the session queued, its component is given
    // back. Nothing to do for a session that never used a video-output method.
    void SessionEnded(SessionPtr const& session) {
        std::optional<Strand> strand;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = strands.find(session->GetID());
            if (it == strands.end() || !outputs) {
                return;
            }
            strand = it->second;
            strands.erase(it);
        }
        auto self = shared_from_this();
        vout::SessionKey const key = Key(session);
        Post(*strand, [self, key] { self->Outputs().SessionEnded(key); });
    }
};

}  // namespace

void RegisterVideoOutputMethods(ServerContext& context) {
    auto methods = std::make_shared<VoutMethods>(context);
    auto& rpc = context.Rpc();
    using Handler = void (VoutMethods::*)(SessionPtr const&, VariantPtr const&, Responder const&);
    auto bind = [methods](Handler handler) {
        return [methods, handler](SessionPtr const& session, VariantPtr const& params,
                                  Responder const& responder) {
            ((*methods).*handler)(session, params, responder);
        };
    };
    auto blit = [methods](bool begin) {
        return [methods, begin](SessionPtr const& session, VariantPtr const& params,
                                Responder const& responder) {
            methods->Blit(begin, session, params, responder);
        };
    };
    rpc.AddMethod("GetQTVOutComponents", bind(&VoutMethods::List));
    rpc.AddMethod("QTVOutBeginUsingComponent", bind(&VoutMethods::BeginUsing));
    rpc.AddMethod("QTVOutGetActiveDisplayModeData", bind(&VoutMethods::ActiveMode));
    rpc.AddMethod("QTVOutBeginBlitting", blit(true));
    rpc.AddMethod("QTVOutBlitFrame", blit(false));
    rpc.AddMethod("QTVOutEndBlitting", bind(&VoutMethods::EndBlitting));
    rpc.AddMethod("QTVOutEndUsingComponent", bind(&VoutMethods::EndUsing));
    context.AddSessionEndListener(
        [methods](SessionPtr const& session) { methods->SessionEnded(session); });
}

}  // namespace vireo::server
