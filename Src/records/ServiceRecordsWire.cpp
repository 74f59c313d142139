// The field lists of the service records that are on the wire today.
#include "VireoRecords/ServiceRecordsWire.h"

namespace VireoServer {
namespace wire {

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

VIREO_DEFINE_WIRE_RECORD(VireoServer::ImportableFileExtensionItem);
