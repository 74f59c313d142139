#include "Script.h"

#include <algorithm>
#include <boost/json.hpp>
#include <fstream>
#include <sstream>

namespace vireo::test {

namespace {

bool ReadInt(boost::json::value const& value, std::int64_t& out) {
    if (value.is_int64()) {
        out = value.get_int64();
        return true;
    }
    if (value.is_uint64() && value.get_uint64() <= INT64_MAX) {
        out = static_cast<std::int64_t>(value.get_uint64());
        return true;
    }
    return false;
}

// A non-negative integer no larger than `limit`.
bool ReadCount(boost::json::value const& value, std::int64_t limit, std::int64_t& out) {
    return ReadInt(value, out) && out >= 0 && out <= limit;
}

// A FourCC given as four characters ("BGRA") or as its number.
bool ReadFourCC(boost::json::value const& value, std::uint32_t& out) {
    if (auto const* text = value.if_string()) {
        if (text->size() != 4) {
            return false;
        }
        out = 0;
        for (char c : *text) {
            out = (out << 8) | static_cast<unsigned char>(c);
        }
        return true;
    }
    std::int64_t number = 0;
    if (ReadCount(value, UINT32_MAX, number)) {
        out = static_cast<std::uint32_t>(number);
        return true;
    }
    return false;
}

bool ParseFrame(boost::json::value const& json, Publication& out, std::string& error) {
    auto const* object = json.if_object();
    if (!object) {
        error = "publish frame must be an object";
        return false;
    }
    bool haveFourCC = false;
    for (auto const& member : *object) {
        std::string const key(member.key());
        auto const& value = member.value();
        std::int64_t number = 0;
        if (key == "width" || key == "height") {
            // Bounded well below what a reader accepts: a script should not ask for gigabytes.
            if (!ReadCount(value, 8192, number) || number == 0) {
                error = "frame " + key + " must be 1..8192";
                return false;
            }
            (key == "width" ? out.width : out.height) = static_cast<std::uint32_t>(number);
        } else if (key == "rowBytes") {
            if (!ReadCount(value, 1 << 20, number)) {
                error = "frame rowBytes must be a byte count";
                return false;
            }
            out.rowBytes = static_cast<std::uint32_t>(number);
        } else if (key == "fourcc") {
            if (!ReadFourCC(value, out.fourcc)) {
                error = "frame fourcc must be four characters or a number";
                return false;
            }
            haveFourCC = true;
        } else if (key == "corrupt") {
            std::string const what = value.is_string() ? std::string(value.get_string()) : "";
            if (what == "rowBytes") {
                out.corrupt = Publication::Corruption::RowBytes;
            } else if (what == "magic") {
                out.corrupt = Publication::Corruption::Magic;
            } else if (what == "dataSize") {
                out.corrupt = Publication::Corruption::DataSize;
            } else {
                error = "frame corrupt must be \"rowBytes\", \"magic\" or \"dataSize\"";
                return false;
            }
        } else {
            error = "unknown frame key \"" + key + "\"";
            return false;
        }
    }
    if (out.width == 0 || out.height == 0 || !haveFourCC) {
        error = "a frame needs width, height and fourcc";
        return false;
    }
    return true;
}

}  // namespace

bool ParsePublication(boost::json::value const& json, Publication& out, std::string& error) {
    auto const* object = json.if_object();
    if (!object) {
        error = "publish must be an object";
        return false;
    }
    Publication publication;
    bool haveId = false;
    int kinds = 0;
    for (auto const& member : *object) {
        std::string const key(member.key());
        auto const& value = member.value();
        std::int64_t number = 0;
        if (key == "idParam") {
            if (!ReadCount(value, 64, number)) {
                error = "idParam must be the index of a parameter";
                return false;
            }
            publication.idParam = static_cast<std::size_t>(number);
            haveId = true;
        } else if (key == "afterMs") {
            if (!ReadCount(value, 3600000, number)) {
                error = "afterMs must be a number of milliseconds";
                return false;
            }
            publication.afterMs = static_cast<int>(number);
        } else if (key == "bytes") {
            if (!ReadCount(value, std::int64_t(256) << 20, number)) {
                error = "bytes must be a byte count up to 256 MiB";
                return false;
            }
            publication.kind = Publication::Kind::Bytes;
            publication.bytes = static_cast<std::uint64_t>(number);
            ++kinds;
        } else if (key == "fill") {
            std::string const fill = value.is_string() ? std::string(value.get_string()) : "";
            if (fill == "ramp") {
                publication.fill = Publication::Fill::Ramp;
            } else if (fill == "floats") {
                publication.fill = Publication::Fill::Floats;
            } else if (fill == "zero") {
                publication.fill = Publication::Fill::Zero;
            } else {
                error = "fill must be \"ramp\", \"floats\" or \"zero\"";
                return false;
            }
        } else if (key == "frame") {
            publication.kind = Publication::Kind::Frame;
            if (!ParseFrame(value, publication, error)) {
                return false;
            }
            ++kinds;
        } else if (key == "fail") {
            if (!ReadInt(value, publication.failStatus)) {
                error = "fail must be an integer status";
                return false;
            }
            publication.kind = Publication::Kind::Failure;
            ++kinds;
        } else {
            error = "unknown publish key \"" + key + "\"";
            return false;
        }
    }
    if (!haveId) {
        error = "publish needs idParam";
        return false;
    }
    if (kinds != 1) {
        error = "publish needs exactly one of bytes, frame, fail";
        return false;
    }
    if (object->contains("fill") && publication.kind != Publication::Kind::Bytes) {
        error = "fill goes with bytes";
        return false;
    }
    out = publication;
    return true;
}

bool ParseBehaviour(boost::json::value const& json, Behaviour& out, std::string& error) {
    if (!json.is_object()) {
        error = "a behaviour must be an object";
        return false;
    }
    Behaviour behaviour;
    behaviour.result = boost::json::object();
    int actions = 0;
    for (auto const& member : json.get_object()) {
        std::string const key(member.key());
        auto const& value = member.value();
        if (key == "delayMs") {
            std::int64_t delay = 0;
            if (!ReadInt(value, delay) || delay < 0 || delay > 3600000) {
                error = "delayMs must be a number of milliseconds";
                return false;
            }
            behaviour.delayMs = static_cast<int>(delay);
        } else if (key == "result") {
            behaviour.kind = Behaviour::Kind::Result;
            behaviour.result = value;
            ++actions;
        } else if (key == "error") {
            behaviour.kind = Behaviour::Kind::Error;
            auto const* object = value.if_object();
            auto const* code = object ? object->if_contains("code") : nullptr;
            if (!code || !ReadInt(*code, behaviour.errorCode)) {
                error = "error needs an integer code";
                return false;
            }
            if (auto const* message = object->if_contains("message")) {
                if (!message->is_string()) {
                    error = "error message must be text";
                    return false;
                }
                behaviour.errorMessage = std::string(message->get_string());
            }
            ++actions;
        } else if (key == "stall" || key == "drop") {
            if (!value.is_bool() || !value.get_bool()) {
                error = key + " must be true";
                return false;
            }
            behaviour.kind = key == "stall" ? Behaviour::Kind::Stall : Behaviour::Kind::Drop;
            ++actions;
        } else if (key == "exit") {
            behaviour.kind = Behaviour::Kind::Exit;
            std::int64_t code = 0;
            if (value.is_bool() && value.get_bool()) {
                behaviour.exitCode = 0;
            } else if (ReadInt(value, code) && code >= 0 && code < 256) {
                behaviour.exitCode = static_cast<int>(code);
            } else {
                error = "exit must be true or an exit code";
                return false;
            }
            ++actions;
        } else if (key == "publish") {
            // Not an action: the data goes out first, then the action (or the default answer).
            if (!ParsePublication(value, behaviour.publish, error)) {
                return false;
            }
        } else {
            // Refused rather than ignored, so that a typo (or a behaviour of a later version)
            // shows at once.
            error = "unknown behaviour key \"" + key + "\"";
            return false;
        }
    }
    if (actions > 1) {
        error = "a behaviour has at most one of result, error, stall, drop, exit";
        return false;
    }
    out = std::move(behaviour);
    return true;
}

bool Script::Load(std::string const& path, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read the script " + path;
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    return Parse(text.str(), error);
}

bool Script::Parse(std::string const& text, std::string& error) {
    boost::system::error_code ec;
    boost::json::value json = boost::json::parse(text, ec);
    if (ec || !json.is_object()) {
        error = "the script is not a JSON object";
        return false;
    }
    std::map<std::string, MethodScript> methods;
    for (auto const& member : json.get_object()) {
        std::string const key(member.key());
        auto const& value = member.value();
        if (key == "announceDelayMs") {
            std::int64_t delay = 0;
            if (!ReadInt(value, delay) || delay < 0 || delay > 3600000) {
                error = "announceDelayMs must be a number of milliseconds";
                return false;
            }
            mAnnounceDelayMs = static_cast<int>(delay);
        } else if (key == "log") {
            if (!value.is_string()) {
                error = "log must be a path";
                return false;
            }
            mLogPath = std::string(value.get_string());
        } else if (key == "methods") {
            if (!value.is_object()) {
                error = "methods must be an object";
                return false;
            }
            for (auto const& method : value.get_object()) {
                MethodScript script;
                auto const& given = method.value();
                std::string behaviourError;
                if (given.is_array()) {
                    for (auto const& item : given.get_array()) {
                        Behaviour behaviour;
                        if (!ParseBehaviour(item, behaviour, behaviourError)) {
                            error = std::string(method.key()) + ": " + behaviourError;
                            return false;
                        }
                        script.behaviours.push_back(std::move(behaviour));
                    }
                    if (script.behaviours.empty()) {
                        error = std::string(method.key()) + ": an empty list";
                        return false;
                    }
                } else {
                    Behaviour behaviour;
                    if (!ParseBehaviour(given, behaviour, behaviourError)) {
                        error = std::string(method.key()) + ": " + behaviourError;
                        return false;
                    }
                    script.behaviours.push_back(std::move(behaviour));
                }
                methods[std::string(method.key())] = std::move(script);
            }
        } else {
            error = "unknown script key \"" + key + "\"";
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mMethods = std::move(methods);
    return true;
}

std::vector<std::string> Script::Methods() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::string> names;
    for (auto const& method : mMethods) {
        names.push_back(method.first);
    }
    return names;
}

Behaviour Script::Next(std::string const& method) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mMethods.find(method);
    if (found == mMethods.end()) {
        return Behaviour();
    }
    auto& script = found->second;
    std::size_t const index = std::min(script.next, script.behaviours.size() - 1);
    if (script.next < script.behaviours.size()) {
        ++script.next;
    }
    return script.behaviours[index];
}

}  // namespace vireo::test
