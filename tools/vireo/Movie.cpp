#include "Movie.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "VireoClient/VireoClient.h"
#include "basekit/utility/Text.h"

namespace vireo {

namespace {

// Readable text for the result codes the server and the library give.
std::string DescribeOpenError(long code) {
    switch (code) {
        case 5:
            return "the server could not be reached";
        default:
            break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "cannot be opened (error %ld)", code);
    return text;
}

}  // namespace

ImporterRef OpenMovie(std::string const& path) {
    ImporterRef importer;
    long const result =
        VireoClient::ImportFile(basekit::utility::UTF8to16(path), false, false, false, importer);
    if (result != 0 || !importer) {
        std::cerr << "vireo: " << path << ": " << DescribeOpenError(result) << "\n";
        return ImporterRef();
    }
    return importer;
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

}  // namespace vireo
