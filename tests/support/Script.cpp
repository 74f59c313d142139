#include "Script.h"

#include <algorithm>
#include <boost/json.hpp>
#include <fstream>
#include <sstream>

namespace vireotest {

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

}  // namespace

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
        } else {
            // Refused rather than ignored, so that a typo (or a behaviour of a later version,
            // such as data publishing) shows at once.
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

}  // namespace vireotest
