// Standard compression settings to the private data of an export video codec.
#include "codecsettings/ConvertSettings.h"

#include <algorithm>

#include "codecsettings/AtomContainer.h"
#include "codecsettings/CodecSettingsErrors.h"
#include "engine/FourCC.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

namespace vireo::server::codecsettings {

namespace {

namespace ex = vireo::server::exporting;
using engine::FourCCToString;

constexpr std::uint32_t kLosslessQuality = 1024;
constexpr std::int16_t kGreyDepth = 40;  // 8-bit grey, as QuickTime numbers it

ConversionOutcome Fail(std::int32_t result, std::uint32_t codec, std::string why) {
    ConversionOutcome outcome;
    outcome.result = result;
    outcome.codec = codec;
    outcome.why = std::move(why);
    return outcome;
}

ex::CodecOption const* FindOption(std::uint32_t codec, char const* name) {
    for (auto const& option : ex::CodecOptions(codec)) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

void SetNumber(ex::CodecSettings& settings, char const* name, std::int64_t value) {
    ex::OptionValue v;
    v.number = value;
    settings.options[name] = v;
}

void SetChoice(ex::CodecSettings& settings, char const* name, std::string value) {
    ex::OptionValue v;
    v.isChoice = true;
    v.choice = std::move(value);
    settings.options[name] = v;
}

bool DepthSupported(ex::VideoCodecInfo const& info, std::int16_t depth) {
    if (depth == 0) {
        return true;  // "the best depth": the codec's own
    }
    if (depth == kGreyDepth) {
        return info.supports8BitGrayscale;
    }
    return std::find(info.videoDepthsArray.begin(), info.videoDepthsArray.end(),
                     std::int32_t(depth)) != info.videoDepthsArray.end();
}

}  // namespace

ConversionOutcome ConvertCodecSettings(bool isVideoCodec, std::uint32_t codec,
                                       std::uint8_t const* container, std::size_t size) {
    if (!isVideoCodec) {
        return Fail(kErrConvertNotVideo, codec, "no audio codec has codec settings");
    }
    if (codec != 0 && ex::FindVideoCodec(codec) == nullptr) {
        return Fail(kErrConvertUnknownCodec, codec,
                    "'" + FourCCToString(codec) + "' is not an export video codec");
    }

    StandardCompression stored;
    std::string why;
    std::int32_t const read = ReadStandardCompression(container, size, stored, why);
    if (read != kConvertOK) {
        return Fail(read, codec, "malformed atom container: " + why);
    }

    std::uint32_t const named = stored.spatial ? stored.spatial->codecType : 0;
    if (codec != 0 && named != 0 && named != codec) {
        return Fail(kErrConvertCodecMismatch, codec,
                    "the container holds settings of '" + FourCCToString(named) + "', not of '" +
                        FourCCToString(codec) + "'");
    }
    if (codec == 0) {
        codec = named;
    }
    ex::VideoCodecInfo const* info = codec != 0 ? ex::FindVideoCodec(codec) : nullptr;
    if (info == nullptr) {
        return Fail(kErrConvertUnknownCodec, codec,
                    codec == 0 ? std::string("neither the request nor the container names a codec")
                               : "'" + FourCCToString(codec) + "' is not an export video codec");
    }

    // The codec's own settings, when the container carries ours; anything else there (another
    // program's private bytes) cannot be read and leaves the defaults.
    ex::CodecSettings settings = ex::DefaultCodecSettings(codec);
    if (stored.codecData && !stored.codecData->empty()) {
        ex::CodecSettings own;
        std::string ignored;
        if (ex::ReadCodecSettings(stored.codecData->data(), stored.codecData->size(), codec, own,
                                  ignored) == ex::kExportOK) {
            for (auto const& [name, value] : own.options) {
                settings.options[name] = value;
            }
        }
    }

    if (stored.spatial) {
        if (!DepthSupported(*info, stored.spatial->depth)) {
            return Fail(kErrConvertDepth, codec,
                        "'" + FourCCToString(codec) + "' does not write depth " +
                            std::to_string(stored.spatial->depth));
        }
        if (stored.spatial->spatialQuality > kLosslessQuality) {
            return Fail(kErrConvertQuality, codec,
                        "spatial quality " + std::to_string(stored.spatial->spatialQuality) +
                            " is above " + std::to_string(kLosslessQuality));
        }
    }

    if (stored.temporal) {
        std::int32_t const rate = stored.temporal->keyFrameRate;
        ex::CodecOption const* option = FindOption(codec, "keyFrameInterval");
        if (rate < 0 || (option != nullptr && rate > option->maximum)) {
            return Fail(kErrConvertKeyFrameRate, codec,
                        "key-frame rate " + std::to_string(rate) + " is out of range");
        }
        // 0 asks for no key frames beyond the encoder's own: the option keeps its value. Codecs
        // whose every frame is a key frame have nothing to set.
        if (option != nullptr && rate > 0) {
            SetNumber(settings, "keyFrameInterval", std::max<std::int64_t>(rate, option->minimum));
        }
    }

    if (stored.dataRate && stored.dataRate->dataRate != 0) {
        std::int32_t const bytesPerSecond = stored.dataRate->dataRate;
        ex::CodecOption const* option = FindOption(codec, "bitrate");
        if (bytesPerSecond < 0) {
            return Fail(kErrConvertDataRate, codec,
                        "data rate " + std::to_string(bytesPerSecond) + " is negative");
        }
        if (!info->canSetDataRate || option == nullptr) {
            return Fail(kErrConvertDataRate, codec,
                        "'" + FourCCToString(codec) + "' takes no data rate");
        }
        // Bytes per second to kbit/s, rounded to the nearest.
        std::int64_t const kbits = (std::int64_t(bytesPerSecond) * 8 + 500) / 1000;
        if (kbits < option->minimum || kbits > option->maximum) {
            return Fail(kErrConvertDataRate, codec,
                        "data rate " + std::to_string(kbits) + " kbit/s is outside " +
                            std::to_string(option->minimum) + " .. " +
                            std::to_string(option->maximum));
        }
        SetChoice(settings, "rateControl", "bitrate");
        SetNumber(settings, "bitrate", kbits);
    }

    if (stored.allowFrameReordering && !*stored.allowFrameReordering &&
        FindOption(codec, "bFrames") != nullptr) {
        SetNumber(settings, "bFrames", 0);
    }

    ConversionOutcome outcome;
    outcome.result = kConvertOK;
    outcome.codec = codec;
    outcome.codecSettings = ex::WriteCodecSettings(settings);
    return outcome;
}

const char* ConvertResultText(std::int32_t code) noexcept {
    switch (code) {
        case kConvertOK:
            return "converted";
        case kErrConvertNotVideo:
            return "not the settings of a video codec";
        case kErrConvertUnknownCodec:
            return "not an export video codec";
        case kErrConvertCodecMismatch:
            return "the settings are for another codec";
        case kErrContainerTruncated:
            return "the atom container is truncated";
        case kErrAtomSize:
            return "an atom of the container has a wrong size";
        case kErrAtomChildCount:
            return "an atom of the container has a wrong child count";
        case kErrDuplicateAtom:
            return "the container holds an atom twice";
        case kErrContainerLimits:
            return "the container is too large or too deeply nested";
        case kErrConvertDepth:
            return "a depth the codec does not write";
        case kErrConvertQuality:
            return "a quality above lossless";
        case kErrConvertKeyFrameRate:
            return "a key-frame rate out of range";
        case kErrConvertDataRate:
            return "a data rate the codec cannot take";
        default:
            return "unknown conversion result";
    }
}

}  // namespace vireo::server::codecsettings
