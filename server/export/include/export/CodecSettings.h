#pragma once
// The private settings of a video codec: the bytes an export carries as mVideoCodecPrefsData and
// that a codec's settings dialog reads and writes. docs/codec-settings.md describes the format:
// a small versioned UTF-8 JSON object naming the codec and its encoder options.
//
//   {"format":"vireo-codec-settings","version":1,"codec":"avc1",
//    "options":{"preset":"fast","bFrames":2}}
//
// Reading is strict: anything but exactly this form, with options the codec knows and values
// within their bounds, is refused as a whole. Empty data means "the codec's defaults".
//
// Thread use: all functions may be called from any thread.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vireo::server::exporting {

constexpr char kCodecSettingsFormat[] = "vireo-codec-settings";
constexpr std::int64_t kCodecSettingsVersion = 1;
// Longest private data read; anything longer is refused unread.
constexpr std::size_t kCodecSettingsMaxBytes = 4096;

// One option a codec honours. An integer option takes whole numbers in [minimum, maximum]; a
// choice option takes one of its texts.
struct CodecOption {
    std::string name;
    bool isChoice = false;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
    std::int64_t defaultNumber = 0;
    std::vector<std::string> choices;
    std::string defaultChoice;
    std::string meaning;  // one line, for dialogs and documentation
};

struct OptionValue {
    bool isChoice = false;
    std::int64_t number = 0;
    std::string choice;
};

struct CodecSettings {
    std::uint32_t codec = 0;  // the FourCC these settings are for
    // Only options the codec knows, each within its bounds; an option not given takes its
    // default (see Number and Choice).
    std::map<std::string, OptionValue> options;

    // The value of integer option `name`: the one given, else its default (0 when the codec has
    // no such option).
    std::int64_t Number(std::string const& name) const;
    // The value of choice option `name`: the one given, else its default ("" when unknown).
    std::string Choice(std::string const& name) const;
    // True when `name` was given in the data read.
    bool Has(std::string const& name) const { return options.count(name) != 0; }
};

// The options codec `fourcc` honours, in the order a dialog shows them; empty for codecs
// without options and for unknown codecs.
std::vector<CodecOption> const& CodecOptions(std::uint32_t fourcc);

// Reads the private data of an export in `fourcc`. Empty data gives the defaults. Returns
// kExportOK, or kErrCodecSettingsUnreadable with `why` saying what is wrong (for diagnostics).
std::int32_t ReadCodecSettings(std::uint8_t const* data, std::size_t size, std::uint32_t fourcc,
                               CodecSettings& out, std::string& why);

// The bytes of `settings`: keys in a fixed order, options in the codec's order, no blanks.
// Options the codec does not know, or values outside their bounds, are left out, so that what
// is written can always be read back.
std::vector<std::uint8_t> WriteCodecSettings(CodecSettings const& settings);

// Settings of codec `fourcc` with every option at its default, written out in full.
CodecSettings DefaultCodecSettings(std::uint32_t fourcc);

}  // namespace vireo::server::exporting
