// The console's UTF-16 output stream (see basekit/console/OutputStream.h).
#include "basekit/console/OutputStream.h"

#include <locale>

#include "basekit/utility/Text.h"

namespace basekit {
namespace console {

OutputStream::OutputStream() {
    mFormat.imbue(std::locale::classic());
}

OutputStream::~OutputStream() = default;

char16_t OutputStream::fill(char16_t c) {
    char16_t const previous = mFill;
    mFill = c;
    return previous;
}

void OutputStream::Padded(std::string const& text, std::streamsize w, bool narrow) {
    UTF16String wide;
    if (narrow) {
        wide.reserve(text.size());
        for (char c : text) {
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
        }
    } else {
        wide = utility::UTF8to16(text);
    }
    mFormat.width(w);
    PaddedWide(wide);
}

void OutputStream::PaddedWide(UTF16String const& text) {
    std::streamsize const w = mFormat.width(0);
    std::size_t const padding = w > static_cast<std::streamsize>(text.size())
                                    ? static_cast<std::size_t>(w) - text.size()
                                    : 0;
    // Where the padding goes: before everything (right), after everything (left), or after the
    // sign or base prefix (internal).
    std::size_t split = 0;
    std::ios_base::fmtflags const adjust = mFormat.flags() & std::ios_base::adjustfield;
    if (adjust == std::ios_base::left) {
        split = text.size();
    } else if (adjust == std::ios_base::internal) {
        if (!text.empty() && (text[0] == u'+' || text[0] == u'-')) {
            split = 1;
        } else if (text.size() >= 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
            split = 2;
        }
    }
    if (padding == 0) {
        Write(text.data(), text.size());
        return;
    }
    UTF16String out;
    out.reserve(text.size() + padding);
    out.append(text, 0, split);
    out.append(padding, mFill);
    out.append(text, split, UTF16String::npos);
    Write(out.data(), out.size());
}

OutputStream& OutputStream::operator<<(UTF16String const& text) {
    PaddedWide(text);
    return *this;
}

OutputStream& OutputStream::operator<<(char16_t const* text) {
    return *this << UTF16String(text != nullptr ? text : u"");
}

OutputStream& OutputStream::operator<<(char16_t c) {
    return *this << UTF16String(1, c);
}

OutputStream& OutputStream::operator<<(UTF8String const& text) {
    Padded(text, mFormat.width(0), false);
    return *this;
}

OutputStream& OutputStream::operator<<(char const* text) {
    Padded(text != nullptr ? std::string(text) : std::string(), mFormat.width(0), true);
    return *this;
}

OutputStream& OutputStream::operator<<(char c) {
    Padded(std::string(1, c), mFormat.width(0), true);
    return *this;
}

OutputStream& OutputStream::operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
    manipulator(mFormat);
    return *this;
}

OutputStream& OutputStream::operator<<(std::ostream& (*manipulator)(std::ostream&)) {
    // What the manipulator writes (a newline, a null character) is passed on; std::flush and
    // std::endl then flush.
    mFormat.str(std::string());
    std::streamsize const w = mFormat.width(0);
    manipulator(mFormat);
    std::string const written = mFormat.str();
    mFormat.width(w);
    if (!written.empty()) {
        Padded(written, 0, true);
    }
    using Manipulator = std::ostream& (*)(std::ostream&);
    if (manipulator == static_cast<Manipulator>(&std::flush<char, std::char_traits<char>>) ||
        manipulator == static_cast<Manipulator>(&std::endl<char, std::char_traits<char>>)) {
        Flush();
    }
    return *this;
}

}  // namespace console
}  // namespace basekit
