// Reading the answer of a dialog program.
#include "DialogOutput.h"

#include "basekit/utility/Parse.h"
#include "basekit/utility/Text.h"
#include "codecsettings/DialogProtocol.h"
#include "export/CodecSettings.h"
#include "export/ExportErrors.h"

namespace vireo::server::codecsettings::detail {

namespace {

namespace ex = vireo::server::exporting;

constexpr std::size_t kMaxLine = 64;

OutputMessage Garbage(std::string what) {
    OutputMessage message;
    message.kind = OutputMessage::kGarbage;
    message.what = std::move(what);
    return message;
}

}  // namespace

OutputMessage NextMessage(std::string& pending, std::uint32_t codec) {
    OutputMessage message;
    std::size_t const end = pending.find('\n');
    if (end == std::string::npos) {
        if (pending.size() > kMaxLine) {
            return Garbage("a line longer than " + std::to_string(kMaxLine) + " characters: \"" +
                           Printable(pending, 40) + "\"");
        }
        return message;
    }
    std::string const line = pending.substr(0, end);
    std::string const accepted = std::string(protocol::kAccepted) + " ";
    if (line == protocol::kReady || line == protocol::kRaised || line == protocol::kCancelled) {
        pending.erase(0, end + 1);
        message.kind = line == protocol::kReady    ? OutputMessage::kReady
                       : line == protocol::kRaised ? OutputMessage::kRaised
                                                   : OutputMessage::kCancelled;
        return message;
    }
    if (line.compare(0, accepted.size(), accepted) != 0) {
        return Garbage("\"" + Printable(line, 40) + "\"");
    }
    std::uint64_t size = 0;
    if (!basekit::utility::ParseInteger(std::string_view(line).substr(accepted.size()), size) ||
        size > ex::kCodecSettingsMaxBytes) {
        return Garbage("\"" + Printable(line, 40) + "\"");
    }
    if (pending.size() - (end + 1) < size) {
        return message;  // the data is still on its way
    }
    auto const first = pending.begin() + std::ptrdiff_t(end + 1);
    message.data.assign(first, first + std::ptrdiff_t(size));
    pending.erase(0, end + 1 + size);
    ex::CodecSettings settings;
    std::string why;
    if (ex::ReadCodecSettings(message.data.data(), message.data.size(), codec, settings, why) !=
        ex::kExportOK) {
        return Garbage("settings the codec cannot read (" + why + ")");
    }
    message.kind = OutputMessage::kAccepted;
    return message;
}

std::string Printable(std::string_view text, std::size_t limit) {
    std::string shown = basekit::utility::MakeValidUTF8(text.substr(0, limit));
    for (char& c : shown) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        } else if (static_cast<unsigned char>(c) < 0x20) {
            c = '?';
        }
    }
    return shown;
}

}  // namespace vireo::server::codecsettings::detail
