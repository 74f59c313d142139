// The exported file functions: ImportFile, TrimFile, GetExternalReferencesList.
#include "Orb/PathUtils.h"
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

long TrimFile(VireoServer::TrimMovieParams const& params) {
    // Made on a handler thread, the trim would wait for an answer only such a thread delivers:
    // nothing is sent.
    if (VIREO_REFUSE_BLOCKING_CALL("VireoClient::TrimFile")) {
        return kTrimNotSent;
    }
    InterfaceRef<IVireoClient, IVireoClient> client = Create();
    auto outcome = patterns::MakeOneShot<long>(0);
    if (!client) {
        throw Orb::NullInterfaceException();
    }
    TrimCallback onDone = [outcome](long code) { outcome->Answer(code); };
    if (!client->TrimMovie(params, onDone)) {
        return kTrimNotSent;
    }
    return outcome->Wait();
}

namespace {

using RecordedReferences = std::map<std::uint32_t, basekit::UTF16String>;

// The highest position a recorded reference may have. A position beyond it (a damaged record)
// fails its map as a missing file does, instead of growing the list to billions of elements.
constexpr std::uint32_t kMaxReferencePosition = 65535;

// Confirms recorded reference paths on disk and stores them in `references` at their positions,
// in ascending order. A recorded path that is gone is looked for under its file name in
// `movieDirectory`; an empty one is not. False at the first path found nowhere, or at a
// position past kMaxReferencePosition (the paths stored before it stay).
bool ResolveRecordedReferences(basekit::UTF16String const& movieDirectory,
                               RecordedReferences const& recorded,
                               std::vector<basekit::UTF16String>& references) {
    for (auto const& [position, recordedPath] : recorded) {
        basekit::UTF16String path = recordedPath;
        if (!path.empty() && !Orb::PathUtils::ExistsOnDisk(path)) {
            // Exactly one separator between the folder and the name, whether or not the folder
            // part ends in one.
            path =
                Orb::PathUtils::CombinePaths(movieDirectory, Orb::PathUtils::GetFullFilePart(path));
        }
        if (!Orb::PathUtils::ExistsOnDisk(path) || position > kMaxReferencePosition) {
            return false;
        }
        if (references.size() <= position) {
            references.resize(std::size_t(position) + 1);
        }
        references[position] = path;
    }
    return true;
}

}  // namespace

bool GetExternalReferencesList(basekit::UTF16String const& path, RecordedReferences const& first,
                               RecordedReferences const& second,
                               std::vector<basekit::UTF16String>& references) {
    basekit::UTF16String const directory = Orb::PathUtils::GetFullDirectoryPart(path);
    if (ResolveRecordedReferences(directory, first, references) &&
        ResolveRecordedReferences(directory, second, references)) {
        return true;
    }
    // Made on a handler thread, the request would wait for an answer only such a thread
    // delivers: the server is not asked.
    if (VIREO_REFUSE_BLOCKING_CALL("VireoClient::GetExternalReferencesList")) {
        return false;
    }
    InterfaceRef<IVireoClient, IVireoClient> client = Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        return false;
    }
    using List = std::vector<basekit::UTF16String>;
    auto outcome = patterns::MakeOneShot<List>(List());
    ReferenceListCallback onList = [outcome](List const& paths) { outcome->Answer(paths); };
    if (!client->GetExternalReferencesList(path, onList)) {
        return false;
    }
    references = outcome->Wait();
    return true;
}

}  // namespace VireoClient
