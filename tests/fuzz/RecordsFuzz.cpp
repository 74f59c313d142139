// Every wire record converter over arbitrary variant trees: reading either gives a record or
// throws boost::bad_any_cast, and a record that was read is written and read back unchanged.
//
// Input: a JSON text when it starts with '{' or '[' (so seeds can be real answers), otherwise
// bytes that build a tree directly: kinds, counts, keys (most from the records' own keys),
// texts and numbers are taken from the bytes in turn, to a limited depth.
#include <boost/any.hpp>
#include <boost/json/parse.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "VireoRecords/MovieRecordsWire.h"
#include "VireoRecords/ServiceRecordsWire.h"
#include "basemarshal/JSONVariant.h"

namespace {

using basekit::serialization::JSONConvert;
using basekit::serialization::MakeVariant;
using basekit::serialization::SameVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

using vireo::test::fuzz::Require;

void CollectKeys(boost::any const& value, std::set<std::string>& keys) {
    if (auto const* object = boost::any_cast<VariantObject>(&value)) {
        for (auto const& member : *object) {
            keys.insert(member.first);
            if (member.second) {
                CollectKeys(*member.second, keys);
            }
        }
    } else if (auto const* array = boost::any_cast<VariantArray>(&value)) {
        for (auto const& element : *array) {
            if (element) {
                CollectKeys(*element, keys);
            }
        }
    }
}

// Every key the records write, taken from a record with every group present.
std::vector<std::string> const& Keys() {
    static std::vector<std::string> const keys = [] {
        VireoServer::OpenMovieFromFileResult full;
        full.ImporterSDKErrorResult = 1;
        full.MovieProperties.video.Width = 1;
        full.MovieProperties.video.SupportedPixelFormats.emplace_back(1, 2);
        full.MovieProperties.audio.ChannelCount = 1;
        full.MovieProperties.timecode.HasTimecode = true;
        std::set<std::string> found{"value"};
        CollectKeys(JSONConvert<VireoServer::OpenMovieFromFileResult>::ToJSON(full), found);
        CollectKeys(JSONConvert<VireoServer::ImportableFileExtensionItem>::ToJSON({}), found);
        return std::vector<std::string>(found.begin(), found.end());
    }();
    return keys;
}

class Bytes {
  public:
    Bytes(std::uint8_t const* data, std::size_t size) : mData(data), mSize(size) {}
    std::uint8_t Next() { return mPos < mSize ? mData[mPos++] : 0; }
    template <class T>
    T Raw() {
        T value{};
        unsigned char buffer[sizeof(T)] = {};
        for (auto& b : buffer) {
            b = Next();
        }
        std::memcpy(&value, buffer, sizeof(T));
        return value;
    }
    bool Done() const { return mPos >= mSize; }

  private:
    std::uint8_t const* mData;
    std::size_t mSize;
    std::size_t mPos = 0;
};

VariantPtr Build(Bytes& in, int depth);

std::string Text(Bytes& in) {
    std::string text(in.Next() % 12, '\0');
    for (char& c : text) {
        c = static_cast<char>(in.Next());
    }
    return text;
}

boost::any BuildValue(Bytes& in, int depth) {
    std::uint8_t const kind = in.Next();
    switch (depth < 8 ? kind % 9 : 2 + kind % 6) {
        case 0: {
            VariantObject object;
            for (int n = in.Next() % 8; n > 0 && !in.Done(); --n) {
                std::uint8_t const pick = in.Next();
                std::string key = pick < 224 ? Keys()[pick % Keys().size()] : Text(in);
                object[key] = Build(in, depth + 1);
            }
            return object;
        }
        case 1: {
            VariantArray array;
            for (int n = in.Next() % 6; n > 0 && !in.Done(); --n) {
                array.push_back(Build(in, depth + 1));
            }
            return array;
        }
        case 2:
            return Text(in);
        case 3:
            return in.Raw<std::int64_t>();
        case 4:
            return in.Raw<std::uint64_t>();
        case 5:
            return in.Raw<double>();
        case 6:
            return (in.Next() & 1) != 0;
        case 7: {
            // A Guid's text, the form identifiers travel in.
            std::string guid = "{00000000-0000-0000-0000-000000000000}";
            for (char& c : guid) {
                if (c == '0') {
                    c = "0123456789abcdefXg"[in.Next() % 18];
                }
            }
            return guid;
        }
        default:
            return boost::any();  // not a variant kind: an empty value
    }
}

VariantPtr Build(Bytes& in, int depth) {
    if (in.Next() == 0xFF) {
        return VariantPtr();  // an empty member pointer
    }
    return MakeVariant(BuildValue(in, depth));
}

// Reads `tree` as R; when that gives a record, writing and reading it again changes nothing.
template <class R>
void RoundTrip(boost::any const& tree) {
    R first;
    try {
        first = JSONConvert<R>::FromJSON(tree);
    } catch (boost::bad_any_cast const&) {
        return;
    }
    boost::any const written = JSONConvert<R>::ToJSON(first);
    R const second = JSONConvert<R>::FromJSON(written);  // must not throw
    Require(SameVariant(JSONConvert<R>::ToJSON(second), written));
}

// The record under "value" of an answer, as the client reads it.
void Answer(boost::any const& tree) {
    VireoServer::OpenMovieFromFileResult result;
    try {
        basekit::serialization::ReadRecord(tree, "value", result);
    } catch (boost::bad_any_cast const&) {
    }
}

void Everything(boost::any const& tree) {
    RoundTrip<VireoServer::PixelFormat>(tree);
    RoundTrip<VireoServer::VideoProperties>(tree);
    RoundTrip<VireoServer::AudioProperties>(tree);
    RoundTrip<VireoServer::TimecodeProperties>(tree);
    RoundTrip<VireoServer::MovieProperties>(tree);
    RoundTrip<VireoServer::OpenMovieFromFileResult>(tree);
    RoundTrip<VireoServer::ImportableFileExtensionItem>(tree);
    RoundTrip<std::vector<VireoServer::ImportableFileExtensionItem>>(tree);
    RoundTrip<std::vector<VireoServer::PixelFormat>>(tree);
    Answer(tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size > 0 && (data[0] == '{' || data[0] == '[')) {
        boost::system::error_code error;
        boost::json::value const json =
            boost::json::parse(std::string(reinterpret_cast<char const*>(data), size), error);
        if (error) {
            return 0;
        }
        VariantPtr tree;
        try {
            tree = basemarshal::FromJSON(json);
        } catch (std::invalid_argument const&) {
            return 0;  // nested deeper than the RPC layer accepts
        }
        if (tree) {
            Everything(*tree);
        }
        return 0;
    }
    Bytes in(data, size);
    boost::any const tree = BuildValue(in, 0);
    Everything(tree);
    return 0;
}
