// The file service methods: "TrimMovie", "GetExternalReferencesList" and
// "QTGetImportableFileExtensions".
//
// Handlers run on transport threads and only read their arguments: trims run one at a time on a
// strand of the worker pool (each takes as long as copying its range takes, and one at a time
// leaves the pool's other threads to the decoding of open movies), the reference listing on the
// open pool (it reads the movie file, which may be slow), and each answers from there. A trim whose
// session ends is cancelled: nobody is left to hear its result, and it removes what it wrote.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "Answers.h"
#include "Log.h"
#include "MethodGroups.h"
#include "VireoRecords/FileRecordsWire.h"
#include "basekit/serialization/JSONConvert.h"
#include "basekit/utility/Text.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"
#include "files/FileTypes.h"
#include "files/References.h"
#include "files/Trim.h"

namespace vireo::server::files {

namespace {

using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;
using basemarshal::Responder;
using basetransport::SessionPtr;

// The cancel flags of the trims running for each session.
class RunningTrims {
  public:
    using Flag = std::shared_ptr<std::atomic<bool>>;

    // A flag for a new trim of `session`; already set when the session has ended. The session
    // is marked closed before its end listeners run, so a flag added while it ends is set
    // either here or by CancelSession.
    Flag Add(SessionPtr const& session) {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard<std::mutex> lock(mMutex);
        mFlags[session->GetID()].insert(flag);
        if (session->IsClosed()) {
            flag->store(true);
        }
        return flag;
    }
    void Remove(SessionPtr const& session, Flag const& flag) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mFlags.find(session->GetID());
        if (it != mFlags.end()) {
            it->second.erase(flag);
            if (it->second.empty()) {
                mFlags.erase(it);
            }
        }
    }
    // Sets the flags of the session's trims; each trim removes its own flag when it ends.
    void CancelSession(SessionPtr const& session) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mFlags.find(session->GetID());
        if (it != mFlags.end()) {
            for (Flag const& flag : it->second) {
                flag->store(true);
            }
        }
    }

  private:
    std::mutex mMutex;  // guards mFlags
    std::map<std::int64_t, std::set<Flag>> mFlags;
};

// Runs on a worker thread: the trim, then its answer.
void RunTrim(std::shared_ptr<RunningTrims> const& running, SessionPtr const& session,
             TrimRequest const& request, Responder const& responder) {
    if (session->IsClosed()) {
        return;  // queued behind other trims while its session ended: nobody to answer
    }
    RunningTrims::Flag const cancel = running->Add(session);
    TrimControl control;
    control.cancel = cancel.get();
    std::int32_t const result = TrimMovie(request, control);
    running->Remove(session, cancel);
    Log("trim of %s into %s: %d (%s)", request.source.c_str(), request.destination.c_str(),
        int(result), result == 0 ? "done" : FileErrorText(result));
    if (!session->IsClosed()) {
        responder.Reply(ValueAnswer(std::int64_t(result)));
    }
}

// The answer to "QTGetImportableFileExtensions", made once.
VariantPtr FileTypesAnswer() {
    static VariantPtr const answer = [] {
        std::vector<VireoServer::ImportableFileExtensionItem> items;
        for (ImportableFileType const& type : ImportableFileTypes()) {
            items.push_back({basekit::utility::UTF8to16(type.extension),
                             basekit::utility::UTF8to16(type.description)});
        }
        return ValueAnswer(basekit::serialization::JSONConvert<
                           std::vector<VireoServer::ImportableFileExtensionItem>>::ToJSON(items));
    }();
    return answer;
}

}  // namespace

}  // namespace vireo::server::files

namespace vireo::server {

void RegisterFileMethods(ServerContext& context) {
    using basekit::serialization::MakeVariant;
    using basekit::serialization::VariantObject;
    using basekit::serialization::VariantPtr;
    using basemarshal::Responder;
    using basetransport::SessionPtr;
    auto& rpc = context.Rpc();
    auto running = std::make_shared<files::RunningTrims>();
    ServerContext* const shared = &context;
    Strand const trims = context.Workers().MakeStrand();

    // TrimMovie(params: TrimMovieParams) -> {"value": code}. Parameters that are not a
    // TrimMovieParams object are answered with kErrBadRequest at once.
    rpc.AddMethod("TrimMovie", [trims, running](SessionPtr const& session, VariantPtr const& params,
                                                Responder const& responder) {
        VariantPtr const argument = FirstArgument(params);
        files::TrimRequest request;
        try {
            if (!argument) {
                throw boost::bad_any_cast();
            }
            auto const record =
                basekit::serialization::JSONConvert<VireoServer::TrimMovieParams>::FromJSON(
                    *argument);
            request.trimIn = record.TrimIn;
            request.duration = record.Duration;
            request.scale = record.Scale;
            request.sampleSize = record.SampleSize;
            request.source = basekit::utility::UTF16to8(record.Source);
            request.destination = basekit::utility::UTF16to8(record.Destination);
        } catch (boost::bad_any_cast const&) {
            responder.Reply(ValueAnswer(std::int64_t(vireo::engine::kErrBadRequest)));
            return;
        }
        Post(trims, [running, session, request, responder] {
            files::RunTrim(running, session, request, responder);
        });
    });

    // GetExternalReferencesList(path: text) -> {"value": {"inExternalFileList": [text, ...]}}.
    // A movie that cannot be read lists nothing.
    rpc.AddMethod("GetExternalReferencesList", [shared](SessionPtr const&, VariantPtr const& params,
                                                        Responder const& responder) {
        VariantPtr const argument = FirstArgument(params);
        auto const* path = argument ? boost::any_cast<std::string>(argument.get()) : nullptr;
        std::string const moviePath = path ? *path : std::string();
        shared->Openers().Post([moviePath, responder] {
            std::vector<std::string> paths;
            std::int32_t const result = moviePath.empty()
                                            ? std::int32_t(vireo::engine::kErrInvalidPath)
                                            : files::ListExternalReferences(moviePath, paths);
            if (result != 0) {
                Log("references of %s: %d (%s)", moviePath.c_str(), int(result),
                    files::FileErrorText(result));
            }
            VariantObject value;
            value["inExternalFileList"] = MakeVariant(
                basekit::serialization::JSONConvert<std::vector<std::string>>::ToJSON(paths));
            responder.Reply(ValueAnswer(value));
        });
    });

    // QTGetImportableFileExtensions() -> {"value": [ImportableFileExtensionItem, ...]}.
    rpc.AddMethod("QTGetImportableFileExtensions", [shared](SessionPtr const&, VariantPtr const&,
                                                            Responder const& responder) {
        shared->Workers().Post([responder] { responder.Reply(files::FileTypesAnswer()); });
    });

    // Runs on a transport thread when a session ends: its trims stop.
    context.AddSessionEndListener(
        [running](SessionPtr const& session) { running->CancelSession(session); });
}

}  // namespace vireo::server
