// The options each codec honours in its private settings.
#include <map>

#include "engine/FourCC.h"
#include "export/CodecSettings.h"

namespace vireo::server::exporting {

namespace {

using engine::MakeFourCC;

CodecOption Integer(const char* name, std::int64_t minimum, std::int64_t maximum,
                    std::int64_t defaultValue, const char* meaning) {
    CodecOption option;
    option.name = name;
    option.minimum = minimum;
    option.maximum = maximum;
    option.defaultNumber = defaultValue;
    option.meaning = meaning;
    return option;
}

CodecOption Choice(const char* name, std::vector<std::string> choices, const char* defaultValue,
                   const char* meaning) {
    CodecOption option;
    option.name = name;
    option.isChoice = true;
    option.choices = std::move(choices);
    option.defaultChoice = defaultValue;
    option.meaning = meaning;
    return option;
}

std::map<std::uint32_t, std::vector<CodecOption>> MakeOptions() {
    std::map<std::uint32_t, std::vector<CodecOption>> table;
    table[MakeFourCC("avc1")] = {
        Choice("profile", {"baseline", "main", "high"}, "high", "H.264 profile"),
        Choice("preset",
               {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower",
                "veryslow"},
               "medium", "encoding speed against size (x264 preset)"),
        Choice("rateControl", {"quality", "bitrate"}, "quality",
               "constant quality (the export's quality) or an average data rate"),
        Integer("bitrate", 100, 800000, 10000,
                "average data rate in kbit/s when rate control is by bitrate"),
        Integer("keyFrameInterval", 1, 10000, 24,
                "frames between key frames when the export does not set it"),
        Integer("bFrames", 0, 16, 2, "B-frames between references when reordering is allowed"),
    };
    auto const prores = std::vector<CodecOption>{
        Integer("quantiser", 0, 64, 0,
                "0: the profile's data rate; 1-64: one fixed quantiser (lower is better)"),
    };
    for (const char* code : {"apco", "apcs", "apcn", "apch", "ap4h", "ap4x"}) {
        table[MakeFourCC(code[0], code[1], code[2], code[3])] = prores;
    }
    table[MakeFourCC("AVdn")] = {
        Choice("class", {"36", "145", "220", "220x"}, "220",
               "bit-rate class, named by its rate at 29.97 fps (220x: 10-bit)"),
    };
    table[MakeFourCC("AVdh")] = {
        Choice("profile", {"lb", "sq", "hq", "hqx", "444"}, "hq",
               "DNxHR profile (hqx: 10-bit 4:2:2, 444: 10-bit 4:4:4)"),
    };
    table[MakeFourCC("jpeg")] = {
        Choice("chroma", {"4:2:0", "4:2:2", "4:4:4"}, "4:2:2", "chroma subsampling"),
    };
    table[MakeFourCC("png ")] = {
        Integer("compression", 0, 9, 6, "zlib compression level"),
        Choice("prediction", {"none", "sub", "up", "average", "paeth", "mixed"}, "paeth",
               "row filter"),
    };
    table[MakeFourCC("rle ")] = {
        Integer("keyFrameInterval", 1, 10000, 24,
                "frames between key frames when the export does not set it"),
    };
    return table;
}

CodecOption const* FindOption(std::uint32_t fourcc, std::string const& name) {
    for (auto const& option : CodecOptions(fourcc)) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

std::vector<CodecOption> const& CodecOptions(std::uint32_t fourcc) {
    static std::map<std::uint32_t, std::vector<CodecOption>> const table = MakeOptions();
    static std::vector<CodecOption> const none;
    auto found = table.find(fourcc);
    return found != table.end() ? found->second : none;
}

std::int64_t CodecSettings::Number(std::string const& name) const {
    auto given = options.find(name);
    if (given != options.end() && !given->second.isChoice) {
        return given->second.number;
    }
    CodecOption const* option = FindOption(codec, name);
    return option != nullptr && !option->isChoice ? option->defaultNumber : 0;
}

std::string CodecSettings::Choice(std::string const& name) const {
    auto given = options.find(name);
    if (given != options.end() && given->second.isChoice) {
        return given->second.choice;
    }
    CodecOption const* option = FindOption(codec, name);
    return option != nullptr && option->isChoice ? option->defaultChoice : std::string();
}

CodecSettings DefaultCodecSettings(std::uint32_t fourcc) {
    CodecSettings settings;
    settings.codec = fourcc;
    for (auto const& option : CodecOptions(fourcc)) {
        OptionValue value;
        value.isChoice = option.isChoice;
        value.number = option.defaultNumber;
        value.choice = option.defaultChoice;
        settings.options[option.name] = value;
    }
    return settings;
}

}  // namespace vireo::server::exporting
