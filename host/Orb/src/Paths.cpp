#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "Orb/DirectoryRegistry.h"
#include "Orb/PathUtils.h"
#include "basekit/utility/Text.h"

namespace Orb {

using basekit::UTF16String;
using basekit::UTF8String;

basekit::UTF16String MakeString(const char* text) {
    return text == nullptr ? UTF16String() : basekit::utility::UTF8to16(text);
}

// ---- PathUtils -------------------------------------------------------------------------------

UTF16String PathUtils::ToNativePath(UTF16String const& path) {
    UTF16String out = path;
    for (auto& c : out) {
        if (c == u'\\') {
            c = u'/';
        }
    }
    return out;
}

UTF16String PathUtils::CombinePaths(UTF16String const& directory, UTF16String const& file) {
    if (directory.empty()) {
        return ToNativePath(file);
    }
    if (file.empty()) {
        return ToNativePath(directory);
    }
    std::size_t dirEnd = directory.size();
    while (dirEnd > 0 && IsSeparator(directory[dirEnd - 1])) {
        --dirEnd;
    }
    std::size_t fileStart = 0;
    while (fileStart < file.size() && IsSeparator(file[fileStart])) {
        ++fileStart;
    }
    UTF16String out = ToNativePath(directory.substr(0, dirEnd));
    out += u'/';
    out += ToNativePath(file.substr(fileStart));
    return out;
}

bool PathUtils::ExistsOnDisk(UTF16String const& path) {
    if (path.empty()) {
        return false;
    }
    UTF8String const native = basekit::utility::UTF16to8(ToNativePath(path));
    struct stat info {};
    return ::stat(native.c_str(), &info) == 0;
}

UTF16String PathUtils::GetFullDirectoryPart(UTF16String const& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsSeparator(path[i - 1])) {
            return ToNativePath(path.substr(0, i));
        }
    }
    return UTF16String();
}

UTF16String PathUtils::GetFullFilePart(UTF16String const& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsSeparator(path[i - 1])) {
            return path.substr(i);
        }
    }
    return path;
}

// ---- DirectoryRegistry -----------------------------------------------------------------------

namespace {

// A directory without trailing separators ("/" stays "/").
UTF16String StripTrailingSeparators(UTF16String path) {
    path = PathUtils::ToNativePath(path);
    while (path.size() > 1 && path.back() == u'/') {
        path.pop_back();
    }
    return path;
}

UTF16String ExecutableDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t const n = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
        if (n < 0) {
            return UTF16String();
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    std::size_t const slash = buffer.rfind('/');
    if (slash == std::string::npos) {
        return UTF16String();
    }
    return StripTrailingSeparators(basekit::utility::UTF8to16(buffer.substr(0, slash + 1)));
}

struct Registry {
    std::mutex mutex;
    std::map<UTF16String, UTF16String> registered;
    bool applicationKnown = false;
    UTF16String application;
};

Registry& GetRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

UTF16String DirectoryRegistry::FindDirectory(UTF16String const& name) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.registered.find(name);
    if (it != registry.registered.end()) {
        return it->second;
    }
    if (name == u"application") {
        if (!registry.applicationKnown) {
            registry.application = ExecutableDirectory();
            registry.applicationKnown = true;
        }
        return registry.application;
    }
    if (name == u"temporary") {
        const char* tmp = std::getenv("TMPDIR");
        return StripTrailingSeparators(MakeString(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"));
    }
    return UTF16String();
}

void DirectoryRegistry::RegisterDirectory(UTF16String const& name, UTF16String const& path) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.registered[name] = StripTrailingSeparators(path);
}

bool DirectoryRegistry::UnregisterDirectory(UTF16String const& name) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.registered.erase(name) != 0;
}

}  // namespace Orb
