// The exported file functions: ImportFile, TrimFile, GetExternalReferencesList.
#include "VireoClient/VireoClient.h"
#include "VireoImporter.h"
#include "basekit/threads/SyncPoint.h"

#include <boost/make_shared.hpp>

namespace VireoClient {

namespace {
constexpr long kImportNotSent = 5;
constexpr long kTrimNotSent = 13;
}  // namespace

long ImportFile(basekit::UTF16String const& path, bool flag1, bool flag2, bool flag3,
                InterfaceRef<IVireoImporter, IVireoImporter>& importer) {
    InterfaceRef<IVireoClient, IVireoClient> client = Create();
    importer.reset();

    // The answer's state is shared with the callback rather than kept on this stack.
    struct OpenCall {
        basekit::threads::SyncPoint rendezvous{2};
        VireoServer::OpenMovieFromFileResult result;
    };
    auto call = boost::make_shared<OpenCall>();
    if (!client) {
        throw Orb::NullInterfaceException();
    }
    OpenMovieCallback onOpened = [call](VireoServer::OpenMovieFromFileResult const& answer) {
        call->result = answer;
        call->rendezvous.Wait();
    };
    if (!client->OpenMovieFromFile(path, flag1, flag2, flag3, onOpened)) {
        return kImportNotSent;
    }
    call->rendezvous.Wait();
    VireoServer::OpenMovieFromFileResult const result = call->result;
    if (result.ImporterSDKErrorResult != 0) {
        return result.ImporterSDKErrorResult;
    }

    InterfaceRef<VireoImporter> created = VireoImporter::Make();
    created->Setup(result.MovieIdentifier, client, result.MovieProperties);
    OrbUnknown* out = nullptr;
    if (created->QueryInterface(IVireoImporter::kIID, &out) >= 0 && out) {
        importer =
            InterfaceRef<IVireoImporter, IVireoImporter>::Adopt(static_cast<IVireoImporter*>(out));
    }
    return 0;
}

long TrimFile(VireoServer::TrimMovieParams const&) {
    // Trimming is not offered yet: the request is never sent.
    return kTrimNotSent;
}

bool GetExternalReferencesList(basekit::UTF16String const&,
                               std::map<std::uint32_t, basekit::UTF16String> const&,
                               std::map<std::uint32_t, basekit::UTF16String> const&,
                               std::vector<basekit::UTF16String>&) {
    return false;
}

}  // namespace VireoClient
