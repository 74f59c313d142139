// Locale support for the console's UTF-16 output streams (see basekit/console/OutputStream.h).
#include "basekit/console/OutputStream.h"

#include <iterator>
#include <string>

namespace std {

template <>
ctype<char16_t>::~ctype() {}

template <>
bool ctype<char16_t>::do_is(mask m, char16_t c) const {
    if (c > 0x7F) {
        return false;
    }
    return use_facet<ctype<char>>(locale::classic()).is(m, static_cast<char>(c));
}

template <>
const char16_t* ctype<char16_t>::do_is(const char16_t* lo, const char16_t* hi, mask* v) const {
    static const mask kAll[] = {space, print, cntrl, upper, lower, alpha, digit, punct, xdigit};
    for (; lo < hi; ++lo, ++v) {
        *v = mask();
        for (mask m : kAll) {
            if (do_is(m, *lo)) {
                *v = static_cast<mask>(*v | m);
            }
        }
    }
    return hi;
}

template <>
const char16_t* ctype<char16_t>::do_scan_is(mask m, const char16_t* lo, const char16_t* hi) const {
    while (lo < hi && !do_is(m, *lo)) {
        ++lo;
    }
    return lo;
}

template <>
const char16_t* ctype<char16_t>::do_scan_not(mask m, const char16_t* lo, const char16_t* hi) const {
    while (lo < hi && do_is(m, *lo)) {
        ++lo;
    }
    return lo;
}

template <>
char16_t ctype<char16_t>::do_toupper(char16_t c) const {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

template <>
const char16_t* ctype<char16_t>::do_toupper(char16_t* lo, const char16_t* hi) const {
    for (; lo < hi; ++lo) {
        *lo = do_toupper(*lo);
    }
    return hi;
}

template <>
char16_t ctype<char16_t>::do_tolower(char16_t c) const {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

template <>
const char16_t* ctype<char16_t>::do_tolower(char16_t* lo, const char16_t* hi) const {
    for (; lo < hi; ++lo) {
        *lo = do_tolower(*lo);
    }
    return hi;
}

template <>
char16_t ctype<char16_t>::do_widen(char c) const {
    return static_cast<char16_t>(static_cast<unsigned char>(c));
}

template <>
const char* ctype<char16_t>::do_widen(const char* lo, const char* hi, char16_t* to) const {
    while (lo < hi) {
        *to++ = do_widen(*lo++);
    }
    return hi;
}

template <>
char ctype<char16_t>::do_narrow(char16_t c, char dfault) const {
    return c <= 0x7F ? static_cast<char>(c) : dfault;
}

template <>
const char16_t* ctype<char16_t>::do_narrow(const char16_t* lo, const char16_t* hi, char dfault,
                                           char* to) const {
    while (lo < hi) {
        *to++ = do_narrow(*lo++, dfault);
    }
    return hi;
}

}  // namespace std

namespace basekit {
namespace console {

namespace {

// Formats numbers through the "C" locale's narrow formatting and widens the result.
class NumberPut : public std::num_put<char16_t> {
  public:
    NumberPut() : std::num_put<char16_t>(0) {}

  protected:
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill, bool v) const override {
        return Put(out, io, fill, v);
    }
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill, long v) const override {
        return Put(out, io, fill, v);
    }
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill,
                     unsigned long v) const override {
        return Put(out, io, fill, v);
    }
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill, long long v) const override {
        return Put(out, io, fill, v);
    }
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill,
                     unsigned long long v) const override {
        return Put(out, io, fill, v);
    }
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill, double v) const override {
        return Put(out, io, fill, v);
    }
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill,
                     long double v) const override {
        return Put(out, io, fill, v);
    }
    iter_type do_put(iter_type out, std::ios_base& io, char_type fill,
                     const void* v) const override {
        return Put(out, io, fill, v);
    }

  private:
    template <class V>
    static iter_type Put(iter_type out, std::ios_base& io, char_type fill, V v) {
        std::ostringstream narrow;
        narrow.imbue(std::locale::classic());
        narrow.flags(io.flags());
        narrow.precision(io.precision());
        narrow << v;
        std::string const text = narrow.str();

        std::streamsize const width = io.width();
        io.width(0);
        std::size_t const padding = width > static_cast<std::streamsize>(text.size())
                                        ? static_cast<std::size_t>(width) - text.size()
                                        : 0;
        // Where the padding goes: before everything (right), after everything (left), or after
        // the sign or base prefix (internal).
        std::size_t split = 0;
        std::ios_base::fmtflags const adjust = io.flags() & std::ios_base::adjustfield;
        if (adjust == std::ios_base::left) {
            split = text.size();
        } else if (adjust == std::ios_base::internal) {
            if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
                split = 1;
            } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
                split = 2;
            }
        }
        for (std::size_t i = 0; i < split; ++i) {
            *out++ = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
        }
        for (std::size_t i = 0; i < padding; ++i) {
            *out++ = fill;
        }
        for (std::size_t i = split; i < text.size(); ++i) {
            *out++ = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
        }
        return out;
    }
};

}  // namespace

std::locale MakeOutputLocale() {
    // Built once; locales share their facets by reference count, so copies are cheap.
    static const std::locale kLocale = [] {
        std::locale base(std::locale::classic(), new std::ctype<char16_t>(0));
        return std::locale(base, new NumberPut);
    }();
    return kLocale;
}

}  // namespace console
}  // namespace basekit
