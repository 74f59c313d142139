#pragma once
// The export methods' values on the wire: positional arguments, {"value": ...} answers, the start
// record as the engine's settings, and the catalogue methods answered from the engine.
#include <boost/any.hpp>

#include "Answers.h"
#include "ServerContext.h"
#include "VireoServer/ExportRecords.h"
#include "basekit/serialization/JSONConvert.h"
#include "basekit/serialization/Variant.h"
#include "export/ExportSettings.h"

namespace vireo::server::exporting {

// The positional arguments of a call; Get throws boost::bad_any_cast for a missing argument or
// one of the wrong kind.
class Params {
  public:
    explicit Params(basekit::serialization::VariantPtr const& params)
        : mArray(params ? boost::any_cast<basekit::serialization::VariantArray>(params.get())
                        : nullptr) {}
    template <class T>
    T Get(std::size_t index) const {
        if (!mArray || index >= mArray->size() || !(*mArray)[index]) {
            throw boost::bad_any_cast();
        }
        return basekit::serialization::JSONConvert<T>::FromJSON(*(*mArray)[index]);
    }

  private:
    basekit::serialization::VariantArray const* mArray;
};

// The engine's settings from the start record (text converted to UTF-8).
ExportSettings ToSettings(VireoServer::StartExportData const& record);

// "GetQuicktimeImportCodecs", "GetQuicktimeExportVideoCodecs", "GetQuicktimeExportAudioCodecs"
// and "GetQuicktimeCodecName", answered from the engine's catalogues.
void RegisterCatalogueMethods(ServerContext& context);

}  // namespace vireo::server::exporting
