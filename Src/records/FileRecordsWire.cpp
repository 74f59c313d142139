// The field lists of the file services' records.
#include "VireoRecords/FileRecordsWire.h"

namespace VireoServer {
namespace wire {

template <>
struct RecordFields<TrimMovieParams> {
    static auto const& List() {
        using T = TrimMovieParams;
        static auto const list =
            std::make_tuple(Field("TrimIn", &T::TrimIn), Field("Duration", &T::Duration),
                            Field("Scale", &T::Scale), Field("SampleSize", &T::SampleSize),
                            Field("Source", &T::Source), Field("Destination", &T::Destination));
        return list;
    }
};

template <>
struct RecordFields<ImportableFileExtensionItem> {
    static auto const& List() {
        using I = ImportableFileExtensionItem;
        static auto const list =
            std::make_tuple(Field("inImportableFileExtensionItem.extension", &I::extension),
                            Field("inImportableFileExtensionItem.description", &I::description));
        return list;
    }
};

}  // namespace wire
}  // namespace VireoServer

VIREO_DEFINE_WIRE_RECORD(VireoServer::TrimMovieParams);
VIREO_DEFINE_WIRE_RECORD(VireoServer::ImportableFileExtensionItem);
