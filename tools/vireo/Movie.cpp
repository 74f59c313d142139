#include "Movie.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "VireoClient/VireoClient.h"
#include "basekit/debug/DebugDatabase.h"
#include "basekit/utility/Text.h"

namespace vireo::cli {

namespace {

// The library's code for an open that could not be sent.
constexpr long kOpenNotSent = 5;

std::string DescribeOpenError(long code) {
    if (code == kOpenNotSent) {
        return "the server could not be reached";
    }
    std::string const text = ServerCodeText(code);
    return text.empty() ? "cannot be opened (error " + std::to_string(code) + ")" : text;
}

}  // namespace

std::string ServerCodeText(long code) {
    switch (code) {
        // Opening a file.
        case -2101:
            return "no such file";
        case -2102:
            return "this is a directory";
        case -2103:
            return "the file cannot be read";
        case -2104:
            return "not a movie or sound file";
        case -2105:
            return "no video or audio that can be decoded";
        case -2106:
            return "the file is damaged";
        case -2107:
            return "not a valid path";
        // Reading a frame.
        case -2120:
            return "the movie has no video that can be decoded";
        case -2122:
            return "the requested time is outside the movie";
        case -2123:
            return "the server does not deliver this pixel format (it delivers BGRA, 2vuy, b64a)";
        case -2124:
            return "the size asked for is not valid";
        case -2125:
            return "decoding failed";
        case -2126:
            return "the frame is missing from the file (it ends early)";
        case -2127:
            return "the pixels could not be converted to this format and size";
        case -2128:
            return "the server ran out of memory";
        // The server's limits for one client.
        case -2145:
            return "the size asked for is larger than the server allows";
        case -2147:
            return "this client holds as much of the server's memory as it may";
        case -2148:
            return "this client holds as many frames as it may";
        default:
            return std::string();
    }
}

int ParseCommandLine(std::vector<std::string> const& args,
                     boost::program_options::options_description& options,
                     boost::program_options::variables_map& vm) {
    namespace po = boost::program_options;
    options.add_options()("help,h", "show this help")("file", po::value<std::string>(),
                                                      "movie file");
    po::positional_options_description positional;
    positional.add("file", 1);
    po::store(po::command_line_parser(args).options(options).positional(positional).run(), vm);
    po::notify(vm);
    if (vm.count("help") || !vm.count("file")) {
        std::cout << options;
        return vm.count("help") ? 0 : 2;
    }
    return -1;
}

bool IsPathText(std::string const& path) {
    if (basekit::utility::IsValidUTF8(path)) {
        return true;
    }
    std::cerr << "vireo: " << basekit::utility::MakeValidUTF8(path)
              << ": the name is not UTF-8 text, which the server's paths must be\n";
    return false;
}

bool IsSeparateOutput(std::string const& input, std::string const& output) {
    std::error_code error;
    if (std::filesystem::equivalent(input, output, error)) {
        std::cerr << "vireo: " << output << ": the output is the input movie\n";
        return false;
    }
    return true;
}

ImporterRef OpenMovie(std::string const& path) {
    ImporterRef importer;
    if (!IsPathText(path)) {
        return importer;
    }
    long const result =
        VireoClient::ImportFile(basekit::utility::UTF8to16(path), false, false, false, importer);
    if (result != 0 || !importer) {
        std::cerr << "vireo: " << path << ": " << DescribeOpenError(result) << "\n";
        return ImporterRef();
    }
    return importer;
}

bool ReadCodecSettingsFile(std::string const& path, Kino::BinaryData& out) {
    // The server's settings containers hold at most 64 KiB.
    constexpr std::size_t kMaxSettingsBytes = 65536;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "vireo: " << path << ": cannot be read\n";
        return false;
    }
    std::vector<std::uint8_t> bytes;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.insert(bytes.end(), buffer, buffer + in.gcount());
        if (bytes.size() > kMaxSettingsBytes) {
            std::cerr << "vireo: " << path << ": too large for codec settings\n";
            return false;
        }
    }
    if (in.bad()) {
        std::cerr << "vireo: " << path << ": cannot be read\n";
        return false;
    }
    out = Kino::BinaryData(std::move(bytes));
    return true;
}

std::string FourCCText(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char const c = static_cast<char>((code >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", code);
            return hex;
        }
        text += c;
    }
    return text;
}

std::uint32_t FourCCFromText(std::string const& text) {
    if (text.size() != 4) {
        return 0;
    }
    std::uint32_t code = 0;
    for (char c : text) {
        code = (code << 8) | static_cast<unsigned char>(c);
    }
    return code;
}

Progress::Progress(std::string label, long long total)
    : mLabel(std::move(label)), mTotal(total), mShown(isatty(STDERR_FILENO) != 0) {}

void Progress::Update(long long done) {
    if (!mShown || mTotal <= 0) {
        return;
    }
    int const percent = static_cast<int>(done * 100 / mTotal);
    if (percent == mLastPercent) {
        return;
    }
    mLastPercent = percent;
    int const width = 40;
    int const filled = percent * width / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", mLabel.c_str(), filled,
                 "########################################", width - filled, "", percent);
    std::fflush(stderr);
}

void Progress::Finish() {
    if (mShown && mLastPercent >= 0) {
        Update(mTotal);
        std::fputc('\n', stderr);
    }
}

void RestartServerOnDemand() {
    constexpr char kKey[] = "VireoServerManager.RestartOnDemand";
    auto& settings = basekit::debug::DebugDatabase::Instance();
    if (settings.GetEntry(kKey, "unset") == "unset") {
        settings.SetEntry(kKey, "true");
    }
}

}  // namespace vireo::cli
