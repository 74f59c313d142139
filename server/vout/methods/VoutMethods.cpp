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

#include "Answers.h"
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

// ---- The module's records on the wire --------------------------------------------------------
//
// Components and display modes are the wire records themselves. The outcome and the use of a
// component are the module's own records: they keep text in UTF-8 and their outcome starts as a
// failure. Each copy below serves both directions.

void CopyText(std::string const& from, basekit::UTF16String& to) {
    to = basekit::utility::UTF8to16(from);
}

void CopyText(basekit::UTF16String const& from, std::string& to) {
    to = basekit::utility::UTF16to8(from);
}

// vout::OperationResult and wire::QTVOutOperationResult.
template <class From, class To>
void CopyResult(From const& from, To& to) {
    to.mOperationResult = from.mOperationResult;
    CopyText(from.mApplicationUsingComponentName, to.mApplicationUsingComponentName);
    to.mQTResultCode = from.mQTResultCode;
}

// vout::UseComponentData and wire::QTVOutUseComponentData.
template <class From, class To>
void CopyUse(From const& from, To& to) {
    to.mQTComponentDescription = from.mQTComponentDescription;
    to.mQTAtomIDForDisplayMode = from.mQTAtomIDForDisplayMode;
    to.mDisplayModeID = from.mDisplayModeID;
    CopyText(from.mApplicationName, to.mApplicationName);
    CopyResult(from.mVOutOperationResult, to.mVOutOperationResult);
}

template <class Record>
VariantPtr RecordAnswer(Record const& record) {
    return ValueAnswer(basekit::serialization::JSONConvert<Record>::ToJSON(record));
}

// The answers to the module's results.
VariantPtr Answer(std::vector<vout::Component> const& components) {
    VariantObject value;
    value[wire::wire::kQTVOutComponentsKey] =
        MakeVariant(basekit::serialization::JSONConvert<std::vector<wire::QTVOutComponent>>::ToJSON(
            components));
    return ValueAnswer(value);
}

VariantPtr Answer(vout::OperationResult const& result) {
    wire::QTVOutOperationResult record;
    CopyResult(result, record);
    return RecordAnswer(record);
}

VariantPtr Answer(vout::ActiveDisplayModeData const& data) {
    wire::QTVGetActiveDisplayModeData record;
    record.mDisplayModeInfo = data.mDisplayModeInfo;
    CopyResult(data.mOperationResult, record.mOperationResult);
    return RecordAnswer(record);
}

VariantPtr Answer(vout::UseComponentData const& use) {
    wire::QTVOutUseComponentData record;
    CopyUse(use, record);
    return RecordAnswer(record);
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

    // Runs `work(*this, session)` on the session's strand and answers with the module's result
    // it returns.
    template <class Work>
    void AnswerOnStrand(SessionPtr const& session, Responder const& responder, Work work) {
        auto self = shared_from_this();
        OnStrand(session, [self, session, responder, work = std::move(work)] {
            responder.Reply(Answer(work(*self, session)));
        });
    }

    void List(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        AnswerOnStrand(session, responder, [](VoutMethods& self, SessionPtr const&) {
            return self.Outputs().GetComponents();
        });
    }

    void BeginUsing(SessionPtr const& session, VariantPtr const& params,
                    Responder const& responder) {
        wire::QTVOutUseComponentData received;
        try {
            VariantPtr const argument = FirstArgument(params);
            if (!argument) {
                throw boost::bad_any_cast();
            }
            received = basekit::serialization::JSONConvert<wire::QTVOutUseComponentData>::FromJSON(
                *argument);
        } catch (boost::bad_any_cast const&) {
            responder.Error(basemarshal::kErrorInvalidParams,
                            "QTVOutBeginUsingComponent takes one QTVOutUseComponentData object");
            return;
        }
        vout::UseComponentData request;
        CopyUse(received, request);
        auto self = shared_from_this();
        OnStrand(session, [self, session, request, responder] {
            // A session that ended while this waited would keep the component for ever: its
            // end has been handled already.
            if (session->IsClosed()) {
                responder.Error(basemarshal::kErrorInvalidRequest, "the session has ended");
                return;
            }
            responder.Reply(Answer(self->Outputs().BeginUsingComponent(Key(session), request)));
        });
    }

    void ActiveMode(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        AnswerOnStrand(session, responder, [](VoutMethods& self, SessionPtr const& caller) {
            return self.Outputs().GetActiveDisplayModeData(Key(caller));
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
        AnswerOnStrand(session, responder,
                       [begin, id, named](VoutMethods& self, SessionPtr const& caller) {
                           InterfaceRef<Kino::IVideoFrame> frame;
                           int const opened = named ? Pix::OpenVideoFrame(caller, id, frame) : 0;
                           if (opened >= 0) {
                               return self.Blit(begin, caller, frame);
                           }
                           // The module answers a missing frame with its own outcome; the frame
                           // layer's result says why it is missing.
                           vout::OperationResult result =
                               self.Blit(begin, caller, InterfaceRef<Kino::IVideoFrame>());
                           if (result.mOperationResult == vout::kVOutBadFrame) {
                               result.mQTResultCode = opened;
                           }
                           return result;
                       });
    }

    vout::OperationResult Blit(bool begin, SessionPtr const& session,
                               InterfaceRef<Kino::IVideoFrame> const& frame) {
        return begin ? Outputs().BeginBlitting(Key(session), frame)
                     : Outputs().BlitFrame(Key(session), frame);
    }

    void EndBlitting(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        AnswerOnStrand(session, responder, [](VoutMethods& self, SessionPtr const& caller) {
            return self.Outputs().EndBlitting(Key(caller));
        });
    }

    void EndUsing(SessionPtr const& session, VariantPtr const&, Responder const& responder) {
        AnswerOnStrand(session, responder, [](VoutMethods& self, SessionPtr const& caller) {
            return self.Outputs().EndUsingComponent(Key(caller));
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
