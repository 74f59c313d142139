// The exported file functions: ImportFile, TrimFile, GetExternalReferencesList.
#include "RequestPatterns.h"
#include "VireoClient/VireoClient.h"
#include "VireoImporter.h"

namespace VireoClient {

namespace {
constexpr long kImportNotSent = 5;
constexpr long kTrimNotSent = 13;
}  // namespace

long ImportFile(basekit::UTF16String const& path, bool flag1, bool flag2, bool flag3,
                InterfaceRef<IVireoImporter, IVireoImporter>& importer) {
    // Made on a handler thread, the import would wait for an answer only such a thread delivers.
    if (VIREO_REFUSE_BLOCKING_CALL("VireoClient::ImportFile")) {
        importer.reset();
        return kImportNotSent;
    }
    InterfaceRef<IVireoClient, IVireoClient> client = Create();
    importer.reset();

    auto outcome = patterns::MakeOneShot(VireoServer::OpenMovieFromFileResult());
    if (!client) {
        throw Orb::NullInterfaceException();
    }
    OpenMovieCallback onOpened = [outcome](VireoServer::OpenMovieFromFileResult const& answer) {
        outcome->Answer(answer);
    };
    if (!client->OpenMovieFromFile(path, flag1, flag2, flag3, onOpened)) {
        return kImportNotSent;
    }
    VireoServer::OpenMovieFromFileResult const result = outcome->Wait();
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
