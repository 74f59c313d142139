// The reader of a codec's private settings data, over any bytes: it never reads outside its
// input, and whatever it accepts is written back to bytes that read back to the same settings.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

namespace {

using vireo::test::fuzz::Require;

bool Same(vireo::server::exporting::CodecSettings const& a,
          vireo::server::exporting::CodecSettings const& b) {
    if (a.codec != b.codec || a.options.size() != b.options.size()) {
        return false;
    }
    for (auto const& [name, value] : a.options) {
        auto other = b.options.find(name);
        if (other == b.options.end() || other->second.isChoice != value.isChoice ||
            other->second.number != value.number || other->second.choice != value.choice) {
            return false;
        }
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    namespace ex = vireo::server::exporting;
    // Each input is read as the settings of every codec, so one input reaches every option table.
    for (auto const& codec : ex::ExportVideoCodecs()) {
        ex::CodecSettings settings;
        std::string why;
        std::int32_t const result = ex::ReadCodecSettings(data, size, codec.subType, settings, why);
        Require(result == ex::kExportOK || result == ex::kErrCodecSettingsUnreadable);
        Require((result == ex::kExportOK) == why.empty());
        if (result != ex::kExportOK) {
            Require(settings.options.empty());
            continue;
        }
        std::vector<std::uint8_t> const written = ex::WriteCodecSettings(settings);
        ex::CodecSettings again;
        Require(ex::ReadCodecSettings(written.data(), written.size(), codec.subType, again, why) ==
                ex::kExportOK);
        Require(Same(settings, again));
        Require(ex::WriteCodecSettings(again) == written);
    }
    return 0;
}
