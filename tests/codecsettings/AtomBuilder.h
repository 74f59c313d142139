#pragma once
// Building QuickTime atom containers of standard compression settings in tests: every number
// big-endian, each atom's size and child count computed unless a test sets them wrong on purpose.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vireo::test::codecsettings {

struct TestAtom {
    std::uint32_t type = 0;
    std::uint32_t id = 1;
    std::vector<std::uint8_t> data;  // for a leaf
    std::vector<TestAtom> children;
    std::optional<std::uint32_t> size;        // written instead of the real size
    std::optional<std::uint16_t> childCount;  // written instead of the real count
};

inline void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(std::uint8_t(v >> shift));
    }
}
inline void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

inline std::vector<std::uint8_t> Encode(TestAtom const& atom) {
    std::vector<std::uint8_t> body;
    for (auto const& child : atom.children) {
        std::vector<std::uint8_t> const bytes = Encode(child);
        body.insert(body.end(), bytes.begin(), bytes.end());
    }
    body.insert(body.end(), atom.data.begin(), atom.data.end());
    std::vector<std::uint8_t> out;
    Put32(out, atom.size.value_or(std::uint32_t(20 + body.size())));
    Put32(out, atom.type);
    Put32(out, atom.id);
    Put16(out, 0);
    Put16(out, atom.childCount.value_or(std::uint16_t(atom.children.size())));
    Put32(out, 0);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

constexpr std::uint32_t Code(char const (&text)[5]) {
    return (std::uint32_t(std::uint8_t(text[0])) << 24) |
           (std::uint32_t(std::uint8_t(text[1])) << 16) |
           (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3]));
}

// The 12-byte container header, then the root 'sean' holding `settings` (or, without the root,
// the settings atoms themselves).
inline std::vector<std::uint8_t> Container(std::vector<TestAtom> settings, bool withRoot = true) {
    std::vector<std::uint8_t> out(12, 0);
    if (withRoot) {
        TestAtom root;
        root.type = Code("sean");
        root.children = std::move(settings);
        std::vector<std::uint8_t> const bytes = Encode(root);
        out.insert(out.end(), bytes.begin(), bytes.end());
    } else {
        for (auto const& atom : settings) {
            std::vector<std::uint8_t> const bytes = Encode(atom);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
    }
    return out;
}

inline TestAtom Spatial(std::uint32_t codec, std::int16_t depth, std::uint32_t quality) {
    TestAtom atom;
    atom.type = Code("sptl");
    Put32(atom.data, codec);
    Put32(atom.data, 0);  // component
    Put16(atom.data, std::uint16_t(depth));
    Put32(atom.data, quality);
    return atom;
}

inline TestAtom Temporal(std::uint32_t quality, double frameRate, std::int32_t keyFrameRate) {
    TestAtom atom;
    atom.type = Code("tprl");
    Put32(atom.data, quality);
    Put32(atom.data, std::uint32_t(std::int32_t(frameRate * 65536)));
    Put32(atom.data, std::uint32_t(keyFrameRate));
    return atom;
}

inline TestAtom DataRate(std::int32_t bytesPerSecond) {
    TestAtom atom;
    atom.type = Code("drat");
    Put32(atom.data, std::uint32_t(bytesPerSecond));
    Put32(atom.data, 40);   // frame duration, ms
    Put32(atom.data, 256);  // minimum spatial quality
    Put32(atom.data, 256);  // minimum temporal quality
    return atom;
}

inline TestAtom Reordering(bool allowed) {
    TestAtom atom;
    atom.type = Code("bfra");
    atom.data = {std::uint8_t(allowed ? 1 : 0)};
    return atom;
}

inline TestAtom CodecData(std::string const& bytes) {
    TestAtom atom;
    atom.type = Code("cdec");
    atom.data.assign(bytes.begin(), bytes.end());
    return atom;
}

}  // namespace vireo::test::codecsettings
