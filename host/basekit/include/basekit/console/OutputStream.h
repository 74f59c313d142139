#pragma once
// The console's output: a stream of UTF-16 text whose numbers are formatted as the "C" locale
// formats them.
//
// The C++ library classifies and widens characters only for char and wchar_t: a
// std::basic_ostream<char16_t> cannot widen a character or write a number without facets for
// char16_t that a program is not allowed to supply. So the console writes to this class instead.
// It takes what a std::ostream takes, with the same meaning:
//  - UTF-16 text (UTF16String, char16_t const*, char16_t) as it is; UTF-8 text (std::string)
//    converted; narrow characters and C strings widened byte by byte (write ASCII through them);
//  - every integer type, float, double, long double, bool and pointers, formatted by a
//    std::ostringstream with the classic locale under this stream's flags, precision and width;
//  - the manipulators of std::ios_base (std::hex, std::left, std::showbase, std::boolalpha, ...)
//    and of std::ostream (std::endl, std::ends, std::flush);
//  - width(), fill() (a UTF-16 character) and precision(), as a std::ostream has them. Width
//    applies to the next item, text or number, then returns to 0.
#include <cstdint>
#include <ios>
#include <ostream>
#include <sstream>
#include <string>

#include "basekit/Strings.h"

namespace basekit {
namespace console {

class OutputStream {
  public:
    OutputStream();
    virtual ~OutputStream();
    OutputStream(OutputStream const&) = delete;
    OutputStream& operator=(OutputStream const&) = delete;

    OutputStream& operator<<(UTF16String const& text);
    OutputStream& operator<<(char16_t const* text);
    OutputStream& operator<<(char16_t c);
    OutputStream& operator<<(UTF8String const& text);
    OutputStream& operator<<(char const* text);
    OutputStream& operator<<(char c);
    OutputStream& operator<<(bool v) { return Number(v); }
    OutputStream& operator<<(short v) { return Number(v); }
    OutputStream& operator<<(unsigned short v) { return Number(v); }
    OutputStream& operator<<(int v) { return Number(v); }
    OutputStream& operator<<(unsigned v) { return Number(v); }
    OutputStream& operator<<(long v) { return Number(v); }
    OutputStream& operator<<(unsigned long v) { return Number(v); }
    OutputStream& operator<<(long long v) { return Number(v); }
    OutputStream& operator<<(unsigned long long v) { return Number(v); }
    OutputStream& operator<<(float v) { return Number(v); }
    OutputStream& operator<<(double v) { return Number(v); }
    OutputStream& operator<<(long double v) { return Number(v); }
    OutputStream& operator<<(void const* v) { return Number(v); }
    OutputStream& operator<<(std::ios_base& (*manipulator)(std::ios_base&));
    OutputStream& operator<<(std::ostream& (*manipulator)(std::ostream&));

    std::streamsize width() const { return mFormat.width(); }
    std::streamsize width(std::streamsize w) { return mFormat.width(w); }
    char16_t fill() const { return mFill; }
    char16_t fill(char16_t c);
    std::streamsize precision() const { return mFormat.precision(); }
    std::streamsize precision(std::streamsize p) { return mFormat.precision(p); }
    std::ios_base::fmtflags flags() const { return mFormat.flags(); }
    std::ios_base::fmtflags flags(std::ios_base::fmtflags f) { return mFormat.flags(f); }
    std::ios_base::fmtflags setf(std::ios_base::fmtflags f) { return mFormat.setf(f); }
    std::ios_base::fmtflags setf(std::ios_base::fmtflags f, std::ios_base::fmtflags mask) {
        return mFormat.setf(f, mask);
    }
    void unsetf(std::ios_base::fmtflags f) { mFormat.unsetf(f); }
    // Writing never fails; these exist for code written against std::ostream.
    bool bad() const { return false; }
    bool good() const { return true; }
    void clear() {}

  protected:
    // Receives the finished UTF-16 text, in order.
    virtual void Write(char16_t const* text, std::size_t length) = 0;
    // Called for std::flush and std::endl, after what they write: a stream that buffers hands
    // its text on here.
    virtual void Flush() {}

  private:
    template <class V>
    OutputStream& Number(V v) {
        mFormat.str(std::string());
        std::streamsize const w = mFormat.width(0);
        mFormat << v;
        Padded(mFormat.str(), w, true);
        return *this;
    }
    // Writes `text` (ASCII when `narrow`), padded to `w` with the fill character after the
    // adjustment flags.
    void Padded(std::string const& text, std::streamsize w, bool narrow);
    void PaddedWide(UTF16String const& text);

    std::ostringstream mFormat;  // formatting state, and the formatter of numbers
    char16_t mFill = u' ';
};

// An OutputStream that collects what is written, and counts its flushes.
class StringOutputStream final : public OutputStream {
  public:
    UTF16String const& str() const { return mText; }
    void str(UTF16String text) { mText = std::move(text); }
    int Flushes() const { return mFlushes; }

  protected:
    void Write(char16_t const* text, std::size_t length) override { mText.append(text, length); }
    void Flush() override { ++mFlushes; }

  private:
    UTF16String mText;
    int mFlushes = 0;
};

}  // namespace console
}  // namespace basekit
