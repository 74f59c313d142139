// Rewrites of written QuickTime files at the level of their atoms: the movie header moved before
// the media data (so that a cut file keeps its header), and reference movies, whose tracks find
// their media in another file through a Macintosh alias record.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "samples/SampleSet.h"

namespace vireo::samples {

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::uint32_t Tag(const char (&text)[5]) {
    return std::uint32_t(std::uint8_t(text[0])) << 24 | std::uint32_t(std::uint8_t(text[1])) << 16 |
           std::uint32_t(std::uint8_t(text[2])) << 8 | std::uint32_t(std::uint8_t(text[3]));
}

// The atoms of a movie header that hold other atoms (the ones these rewrites walk through).
bool IsContainer(std::uint32_t type) {
    for (std::uint32_t container :
         {Tag("moov"), Tag("trak"), Tag("mdia"), Tag("minf"), Tag("dinf"), Tag("stbl")}) {
        if (type == container)
            return true;
    }
    return false;
}

struct Atom {
    std::uint32_t type = 0;
    Bytes body;                  // leaf atoms
    std::vector<Atom> children;  // containers
};

std::uint64_t ReadBig(Bytes const& bytes, std::size_t at, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[at + std::size_t(i)];
    return value;
}

void PutBig(Bytes& out, std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

bool Parse(Bytes const& bytes, std::size_t begin, std::size_t end, std::vector<Atom>& atoms) {
    std::size_t at = begin;
    while (at + 8 <= end) {
        std::uint64_t size = ReadBig(bytes, at, 4);
        std::size_t header = 8;
        if (size == 1) {
            if (at + 16 > end)
                return false;
            size = ReadBig(bytes, at + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at)
            return false;
        Atom atom;
        atom.type = std::uint32_t(ReadBig(bytes, at + 4, 4));
        if (IsContainer(atom.type)) {
            if (!Parse(bytes, at + header, at + std::size_t(size), atom.children))
                return false;
        } else {
            atom.body.assign(bytes.begin() + std::ptrdiff_t(at + header),
                             bytes.begin() + std::ptrdiff_t(at + size));
        }
        atoms.push_back(std::move(atom));
        at += std::size_t(size);
    }
    return at == end;
}

void Serialize(std::vector<Atom> const& atoms, Bytes& out) {
    for (Atom const& atom : atoms) {
        Bytes body;
        if (IsContainer(atom.type))
            Serialize(atom.children, body);
        else
            body = atom.body;
        PutBig(out, body.size() + 8, 4);
        PutBig(out, atom.type, 4);
        out.insert(out.end(), body.begin(), body.end());
    }
}

template <typename Visit>
void Walk(std::vector<Atom>& atoms, Visit const& visit) {
    for (Atom& atom : atoms) {
        if (IsContainer(atom.type))
            Walk(atom.children, visit);
        else
            visit(atom);
    }
}

bool Load(std::string const& path, std::vector<Atom>& atoms, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty() || !Parse(bytes, 0, bytes.size(), atoms)) {
        error = "cannot read the atoms of " + path;
        return false;
    }
    return true;
}

bool Save(std::vector<Atom> const& atoms, std::string const& path, std::size_t keep,
          std::string& error) {
    Bytes bytes;
    Serialize(atoms, bytes);
    if (keep < bytes.size())
        bytes.resize(keep);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

// Adds `delta` to every chunk offset (the positions of the media data in the file).
void MoveChunkOffsets(std::vector<Atom>& atoms, std::uint64_t delta) {
    Walk(atoms, [delta](Atom& atom) {
        int width = atom.type == Tag("stco") ? 4 : atom.type == Tag("co64") ? 8 : 0;
        if (width == 0 || atom.body.size() < 8)
            return;
        std::uint64_t count = ReadBig(atom.body, 4, 4);
        for (std::uint64_t i = 0; i < count; ++i) {
            std::size_t at = 8 + std::size_t(i) * std::size_t(width);
            if (at + std::size_t(width) > atom.body.size())
                return;
            std::uint64_t offset = ReadBig(atom.body, at, width) + delta;
            for (int b = 0; b < width; ++b)
                atom.body[at + std::size_t(b)] = std::uint8_t(offset >> (8 * (width - 1 - b)));
        }
    });
}

// A data reference holding one Macintosh alias record to `fileName` on a volume "Media", with
// one folder level between the referring movie and the volume and one down to the file: the
// reader looks for `fileName` in the referring movie's own folder.
Bytes AliasReference(std::string const& fileName) {
    std::string const volume = "Media";
    std::string const path = volume + ":Elsewhere:" + fileName;  // an HFS path, ':' separated
    Bytes alias(10, 0);                                          // kind, size, version
    alias.push_back(std::uint8_t(volume.size()));
    alias.insert(alias.end(), volume.begin(), volume.end());
    alias.resize(alias.size() + 27 - volume.size(), 0);
    alias.resize(alias.size() + 12, 0);  // volume date, file system, disk type, parent folder
    std::string const shortName = fileName.substr(0, 63);
    alias.push_back(std::uint8_t(shortName.size()));
    alias.insert(alias.end(), shortName.begin(), shortName.end());
    alias.resize(alias.size() + 63 - shortName.size(), 0);
    alias.resize(alias.size() + 16, 0);  // file number, date, type, creator
    PutBig(alias, 1, 2);                 // levels up from the referring movie
    PutBig(alias, 1, 2);                 // levels down to the file
    alias.resize(alias.size() + 16, 0);  // volume attributes, file system id, reserved
    PutBig(alias, 2, 2);                 // tag: absolute path
    PutBig(alias, path.size(), 2);
    alias.insert(alias.end(), path.begin(), path.end());
    if (path.size() % 2 != 0)
        alias.push_back(0);
    PutBig(alias, 0xFFFF, 2);  // end of tags
    PutBig(alias, 0, 2);

    Bytes reference;
    PutBig(reference, 0, 4);  // version and flags
    PutBig(reference, 1, 4);  // one entry
    PutBig(reference, alias.size() + 12, 4);
    PutBig(reference, Tag("alis"), 4);
    PutBig(reference, 0, 4);  // flags: the media is not in this file
    reference.insert(reference.end(), alias.begin(), alias.end());
    return reference;
}

}  // namespace

bool WriteMovieHeaderFirst(std::string const& from, std::string const& to, double keep,
                           std::string& error) {
    std::vector<Atom> atoms;
    if (!Load(from, atoms, error))
        return false;
    std::vector<Atom> header, rest;
    for (Atom& atom : atoms)
        (atom.type == Tag("moov") ? header : rest).push_back(std::move(atom));
    if (header.size() != 1) {
        error = from + " has no single movie header";
        return false;
    }
    Bytes serialized;
    Serialize(header, serialized);
    MoveChunkOffsets(header, serialized.size());
    std::vector<Atom> reordered;
    std::size_t at = 0;
    if (!rest.empty() && rest.front().type == Tag("ftyp"))
        reordered.push_back(std::move(rest[at++]));
    reordered.push_back(std::move(header.front()));
    for (; at < rest.size(); ++at)
        reordered.push_back(std::move(rest[at]));
    Bytes whole;
    Serialize(reordered, whole);
    return Save(reordered, to, std::size_t(double(whole.size()) * keep), error);
}

bool WriteReferenceMovie(std::string const& from, std::string const& referencedName,
                         std::string const& to, std::string& error) {
    std::vector<Atom> atoms;
    if (!Load(from, atoms, error))
        return false;
    std::vector<Atom> kept;
    for (Atom& atom : atoms) {
        if (atom.type == Tag("ftyp") || atom.type == Tag("moov"))
            kept.push_back(std::move(atom));
    }
    Walk(kept, [&referencedName](Atom& atom) {
        if (atom.type == Tag("dref"))
            atom.body = AliasReference(referencedName);
    });
    return Save(kept, to, SIZE_MAX, error);
}

}  // namespace vireo::samples
