#include "basekit/debug/DebugDatabase.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

namespace basekit {
namespace debug {

namespace {

struct State {
    std::mutex mutex;
    std::map<UTF8String, UTF8String> entries;
    bool fileRead = false;
};

// Never destroyed, so that reads during the destruction of other static objects stay valid.
State& GetState() {
    static State* state = new State;
    return *state;
}

bool ReadFile(UTF8String const& path, std::map<UTF8String, UTF8String>& entries) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    UTF8String text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    DebugDatabase::ParseSettings(text, entries);
    return true;
}

// Called with the state's mutex held.
void EnsureFileRead(State& state) {
    if (state.fileRead) {
        return;
    }
    state.fileRead = true;
    if (const char* path = std::getenv(DebugDatabase::kSettingsFileVariable)) {
        if (*path != '\0') {
            ReadFile(path, state.entries);
        }
    }
}

UTF8String Trim(UTF8String const& text) {
    static const char kBlanks[] = " \t\r\n\f\v";
    std::size_t const first = text.find_first_not_of(kBlanks);
    if (first == UTF8String::npos) {
        return UTF8String();
    }
    std::size_t const last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

}  // namespace

DebugDatabase& DebugDatabase::Instance() {
    static DebugDatabase* instance = new DebugDatabase;
    return *instance;
}

void DebugDatabase::ParseSettings(UTF8String const& text,
                                  std::map<UTF8String, UTF8String>& entries) {
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == UTF8String::npos) {
            end = text.size();
        }
        UTF8String const line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::size_t const eq = line.find('=');
        if (eq == UTF8String::npos) {
            continue;
        }
        UTF8String key = Trim(line.substr(0, eq));
        if (key.empty()) {
            continue;
        }
        entries[std::move(key)] = Trim(line.substr(eq + 1));
    }
}

UTF8String DebugDatabase::GetEntry(UTF8String const& key, UTF8String const& defaultValue) {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureFileRead(state);
    auto it = state.entries.find(key);
    return it == state.entries.end() ? defaultValue : it->second;
}

bool DebugDatabase::HasEntry(UTF8String const& key) {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureFileRead(state);
    return state.entries.count(key) != 0;
}

void DebugDatabase::SetEntry(UTF8String const& key, UTF8String const& value) {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureFileRead(state);
    state.entries[key] = value;
}

void DebugDatabase::RemoveEntry(UTF8String const& key) {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureFileRead(state);
    state.entries.erase(key);
}

bool DebugDatabase::LoadFile(UTF8String const& path) {
    // Read outside the lock; merge under it.
    std::map<UTF8String, UTF8String> loaded;
    if (!ReadFile(path, loaded)) {
        return false;
    }
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureFileRead(state);
    for (auto& entry : loaded) {
        state.entries[entry.first] = std::move(entry.second);
    }
    return true;
}

void DebugDatabase::Reset() {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.entries.clear();
    state.fileRead = false;
}

}  // namespace debug
}  // namespace basekit
