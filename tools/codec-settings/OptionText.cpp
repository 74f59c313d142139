// Labels and choice texts of the codec options.
#include "OptionText.h"

#include <map>
#include <utility>

namespace vireo::server::codecsettings::dialog {

namespace {

using Key = std::pair<std::string, std::string>;

// The letters of the standard buttons' shortcuts on common desktops (OK, Cancel, Restore
// Defaults) are left to them: C, O, R and D.
std::map<std::string, std::string> const& Labels() {
    static std::map<std::string, std::string> const labels = {
        {"profile", "&Profile"},
        {"preset", "Pre&set"},
        {"rateControl", "R&ate control"},
        {"bitrate", "&Bitrate"},
        {"keyFrameInterval", "&Key frame every"},
        {"bFrames", "B-&frames"},
        {"quantiser", "&Quantiser"},
        {"class", "Bit-rate c&lass"},
        {"chroma", "C&hroma subsampling"},
        {"compression", "Compression &level"},
        {"prediction", "&Prediction filter"},
    };
    return labels;
}

std::map<Key, std::string> const& Choices() {
    static std::map<Key, std::string> const choices = {
        {{"profile", "baseline"}, "Baseline (no B-frames)"},
        {{"profile", "main"}, "Main"},
        {{"profile", "high"}, "High"},
        {{"preset", "ultrafast"}, "Ultra fast"},
        {{"preset", "superfast"}, "Super fast"},
        {{"preset", "veryfast"}, "Very fast"},
        {{"preset", "faster"}, "Faster"},
        {{"preset", "fast"}, "Fast"},
        {{"preset", "medium"}, "Medium"},
        {{"preset", "slow"}, "Slow"},
        {{"preset", "slower"}, "Slower"},
        {{"preset", "veryslow"}, "Very slow"},
        {{"rateControl", "quality"}, "Constant quality (the export's quality)"},
        {{"rateControl", "bitrate"}, "Average bitrate"},
        {{"class", "36"}, "DNxHD 36 (8-bit)"},
        {{"class", "145"}, "DNxHD 145 (8-bit)"},
        {{"class", "220"}, "DNxHD 220 (8-bit)"},
        {{"class", "220x"}, "DNxHD 220x (10-bit)"},
        {{"profile", "lb"}, "LB (low bandwidth, 8-bit 4:2:2)"},
        {{"profile", "sq"}, "SQ (standard quality, 8-bit 4:2:2)"},
        {{"profile", "hq"}, "HQ (high quality, 8-bit 4:2:2)"},
        {{"profile", "hqx"}, "HQX (10-bit 4:2:2)"},
        {{"profile", "444"}, "444 (10-bit 4:4:4)"},
        {{"prediction", "none"}, "None"},
        {{"prediction", "sub"}, "Sub (left)"},
        {{"prediction", "up"}, "Up"},
        {{"prediction", "average"}, "Average"},
        {{"prediction", "paeth"}, "Paeth"},
        {{"prediction", "mixed"}, "Mixed (best per row)"},
    };
    return choices;
}

}  // namespace

std::string OptionLabel(std::string const& name) {
    auto found = Labels().find(name);
    return found != Labels().end() ? found->second : name;
}

std::string OptionUnit(std::string const& name) {
    if (name == "bitrate") {
        return "kbit/s";
    }
    if (name == "keyFrameInterval") {
        return "frames";
    }
    return std::string();
}

std::string ChoiceText(std::string const& name, std::string const& choice) {
    auto found = Choices().find({name, choice});
    return found != Choices().end() ? found->second : choice;
}

}  // namespace vireo::server::codecsettings::dialog
