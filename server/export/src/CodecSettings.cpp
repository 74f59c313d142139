// Reading and writing the private settings data of a codec.
#include "export/CodecSettings.h"

#include <boost/json.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <set>
#include <system_error>

#include "basekit/utility/Text.h"
#include "engine/FourCC.h"
#include "export/ExportErrors.h"

namespace vireo::server::exporting {

namespace {

namespace json = boost::json;

// What the document holds, before its meaning is checked.
struct Document {
    bool hasFormat = false, hasVersion = false, hasCodec = false, hasOptions = false;
    std::string format;
    std::int64_t version = 0;
    std::string codec;
    std::vector<std::pair<std::string, OptionValue>> options;
};

// A SAX handler that accepts exactly the shape of the settings document: one object of scalar
// members, of which only "options" holds an object of scalar members. Arrays, nulls, fractions,
// nesting and repeated keys stop the parse.
class StrictHandler {
  public:
    static constexpr std::size_t max_array_size = 0;
    static constexpr std::size_t max_object_size = 64;
    static constexpr std::size_t max_string_size = 256;
    static constexpr std::size_t max_key_size = 64;

    Document document;
    std::string why;

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }
    bool on_array_begin(json::error_code& ec) { return Refuse(ec, "arrays are not allowed"); }
    bool on_array_end(std::size_t, json::error_code& ec) { return Refuse(ec, "array"); }
    bool on_object_begin(json::error_code& ec) {
        if (mDepth == 0) {
            mDepth = 1;
            return true;
        }
        if (mDepth == 1 && mKey == "options") {
            document.hasOptions = true;
            mDepth = 2;
            return true;
        }
        return Refuse(ec, "only \"options\" may hold an object");
    }
    bool on_object_end(std::size_t, json::error_code&) {
        --mDepth;
        return true;
    }
    bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
        mText.append(s.data(), s.size());
        return true;
    }
    bool on_string(json::string_view s, std::size_t, json::error_code& ec) {
        mText.append(s.data(), s.size());
        std::string text;
        text.swap(mText);
        if (mDepth == 2) {
            OptionValue value;
            value.isChoice = true;
            value.choice = std::move(text);
            document.options.emplace_back(mKey, std::move(value));
            return true;
        }
        if (mKey == "format") {
            document.hasFormat = true;
            document.format = std::move(text);
            return true;
        }
        if (mKey == "codec") {
            document.hasCodec = true;
            document.codec = std::move(text);
            return true;
        }
        return Refuse(ec, "\"" + mKey + "\" is not a text member");
    }
    bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
        mText.append(s.data(), s.size());
        return true;
    }
    bool on_key(json::string_view s, std::size_t, json::error_code& ec) {
        mText.append(s.data(), s.size());
        mKey.clear();
        mKey.swap(mText);
        if (!mKeys[mDepth - 1].insert(mKey).second) {
            return Refuse(ec, "\"" + mKey + "\" is given twice");
        }
        return true;
    }
    bool on_number_part(json::string_view, json::error_code&) { return true; }
    bool on_int64(std::int64_t i, json::string_view, json::error_code& ec) {
        if (mDepth == 2) {
            OptionValue value;
            value.number = i;
            document.options.emplace_back(mKey, std::move(value));
            return true;
        }
        if (mKey == "version") {
            document.hasVersion = true;
            document.version = i;
            return true;
        }
        return Refuse(ec, "\"" + mKey + "\" is not a number member");
    }
    bool on_uint64(std::uint64_t, json::string_view, json::error_code& ec) {
        return Refuse(ec, "\"" + mKey + "\" is too large");
    }
    bool on_double(double, json::string_view, json::error_code& ec) {
        return Refuse(ec, "\"" + mKey + "\" is not a whole number");
    }
    bool on_bool(bool, json::error_code& ec) { return Refuse(ec, "\"" + mKey + "\" is a boolean"); }
    bool on_null(json::error_code& ec) { return Refuse(ec, "\"" + mKey + "\" is null"); }
    bool on_comment_part(json::string_view, json::error_code& ec) {
        return Refuse(ec, "comments are not allowed");
    }
    bool on_comment(json::string_view, json::error_code& ec) {
        return Refuse(ec, "comments are not allowed");
    }

  private:
    bool Refuse(json::error_code& ec, std::string what) {
        if (why.empty()) {
            why = std::move(what);
        }
        ec = std::make_error_code(std::errc::invalid_argument);
        return false;
    }

    int mDepth = 0;
    std::string mKey;
    std::string mText;
    std::set<std::string> mKeys[2];
};

std::int32_t Unreadable(std::string& why, std::string text) {
    why = std::move(text);
    return kErrCodecSettingsUnreadable;
}

std::int32_t CheckOption(std::uint32_t fourcc, std::string const& name, OptionValue const& value,
                         std::string& why) {
    for (auto const& option : CodecOptions(fourcc)) {
        if (option.name != name) {
            continue;
        }
        if (option.isChoice != value.isChoice) {
            return Unreadable(why, "option \"" + name + "\" has the wrong kind of value");
        }
        if (option.isChoice) {
            for (auto const& choice : option.choices) {
                if (choice == value.choice) {
                    return kExportOK;
                }
            }
            return Unreadable(why, "option \"" + name + "\" has no choice \"" +
                                       basekit::utility::MakeValidUTF8(value.choice) + "\"");
        }
        if (value.number < option.minimum || value.number > option.maximum) {
            return Unreadable(why, "option \"" + name + "\" is out of bounds");
        }
        return kExportOK;
    }
    return Unreadable(why,
                      "the codec has no option \"" + basekit::utility::MakeValidUTF8(name) + "\"");
}

}  // namespace

std::int32_t ReadCodecSettings(std::uint8_t const* data, std::size_t size, std::uint32_t fourcc,
                               CodecSettings& out, std::string& why) {
    out = CodecSettings();
    out.codec = fourcc;
    why.clear();
    if (size == 0) {
        return kExportOK;
    }
    if (data == nullptr || size > kCodecSettingsMaxBytes) {
        return Unreadable(why, "longer than " + std::to_string(kCodecSettingsMaxBytes) + " bytes");
    }
    json::parse_options options;
    options.max_depth = 2;
    json::basic_parser<StrictHandler> parser(options);
    json::error_code ec;
    std::size_t const used =
        parser.write_some(false, reinterpret_cast<const char*>(data), size, ec);
    if (ec || used != size || !parser.done()) {
        std::string const& reason = parser.handler().why;
        return Unreadable(why, reason.empty() ? "not a JSON document: " + ec.message() : reason);
    }
    Document const& document = parser.handler().document;
    if (!document.hasFormat || !document.hasVersion || !document.hasCodec || !document.hasOptions) {
        return Unreadable(why, "\"format\", \"version\", \"codec\" and \"options\" are required");
    }
    if (document.format != kCodecSettingsFormat) {
        return Unreadable(why, "not codec settings");
    }
    if (document.version != kCodecSettingsVersion) {
        return Unreadable(why, "version " + std::to_string(document.version) + " is not known");
    }
    if (document.codec.size() != 4 ||
        engine::MakeFourCC(document.codec[0], document.codec[1], document.codec[2],
                           document.codec[3]) != fourcc) {
        return Unreadable(why, "settings of another codec");
    }
    // Refused data leaves `out` without options: nothing of it is half taken.
    std::map<std::string, OptionValue> checked;
    for (auto const& [name, value] : document.options) {
        std::int32_t const result = CheckOption(fourcc, name, value, why);
        if (result != kExportOK) {
            return result;
        }
        checked[name] = value;
    }
    out.options = std::move(checked);
    return kExportOK;
}

std::vector<std::uint8_t> WriteCodecSettings(CodecSettings const& settings) {
    json::object options;
    for (auto const& option : CodecOptions(settings.codec)) {
        auto given = settings.options.find(option.name);
        if (given == settings.options.end()) {
            continue;
        }
        std::string ignored;
        if (CheckOption(settings.codec, option.name, given->second, ignored) != kExportOK) {
            continue;
        }
        if (option.isChoice) {
            options[option.name] = given->second.choice;
        } else {
            options[option.name] = given->second.number;
        }
    }
    json::object document;
    document["format"] = kCodecSettingsFormat;
    document["version"] = kCodecSettingsVersion;
    document["codec"] = engine::FourCCToString(settings.codec);
    document["options"] = std::move(options);
    std::string const text = json::serialize(document);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace vireo::server::exporting
