// The converter of atom-container settings, over any bytes and for every export video codec
// (and for none named): it never reads outside its input, answers one of its documented codes,
// and whatever it converts is private data the export reads.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "FuzzCheck.h"
#include "codecsettings/AtomContainer.h"
#include "codecsettings/CodecSettingsErrors.h"
#include "codecsettings/ConvertSettings.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

using vireo::test::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    namespace cs = vireo::server::codecsettings;
    namespace ex = vireo::server::exporting;
    static std::set<std::int32_t> const structural = {
        cs::kConvertOK,         cs::kErrContainerTruncated, cs::kErrAtomSize,
        cs::kErrAtomChildCount, cs::kErrDuplicateAtom,      cs::kErrContainerLimits};
    static std::set<std::int32_t> const documented = {cs::kConvertOK,
                                                      cs::kErrConvertUnknownCodec,
                                                      cs::kErrConvertCodecMismatch,
                                                      cs::kErrContainerTruncated,
                                                      cs::kErrAtomSize,
                                                      cs::kErrAtomChildCount,
                                                      cs::kErrDuplicateAtom,
                                                      cs::kErrContainerLimits,
                                                      cs::kErrConvertDepth,
                                                      cs::kErrConvertQuality,
                                                      cs::kErrConvertKeyFrameRate,
                                                      cs::kErrConvertDataRate};

    cs::StandardCompression stored;
    std::string why;
    std::int32_t const read = cs::ReadStandardCompression(data, size, stored, why);
    Require(structural.count(read) == 1);
    Require((read == cs::kConvertOK) == why.empty());

    std::vector<std::uint32_t> codecs = {0};
    for (auto const& info : ex::ExportVideoCodecs()) {
        codecs.push_back(info.subType);
    }
    for (std::uint32_t codec : codecs) {
        cs::ConversionOutcome const outcome = cs::ConvertCodecSettings(true, codec, data, size);
        Require(documented.count(outcome.result) == 1);
        // A container the reader refuses is refused with the same code, whatever the codec.
        if (read != cs::kConvertOK) {
            Require(outcome.result == read);
        }
        if (outcome.result != cs::kConvertOK) {
            Require(outcome.codecSettings.empty() && !outcome.why.empty());
            continue;
        }
        Require(codec == 0 || outcome.codec == codec);
        ex::CodecSettings settings;
        std::string unreadable;
        Require(ex::ReadCodecSettings(outcome.codecSettings.data(), outcome.codecSettings.size(),
                                      outcome.codec, settings, unreadable) == ex::kExportOK);
    }
    return 0;
}
