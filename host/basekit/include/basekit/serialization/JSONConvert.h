#pragma once
// Converters between library types and the variant tree, and the typed readers and writers
// that record converters are built from.
//
// Rules: integers are written as signed (int32, int64) or unsigned (uint32, uint64) integers and
// read from either integer kind, keeping the low bits of the field's width; doubles are read from
// a real or either integer kind (an unsigned integer as an unsigned value); text is UTF-8 on the
// wire. A value of the wrong kind throws boost::bad_any_cast. An absent key reads as the type's
// absent value (0, false, empty, the all-zero Guid).
#include <boost/any.hpp>
#include <cstdint>
#include <vector>

#include "basekit/Strings.h"
#include "basekit/serialization/Variant.h"
#include "basekit/utility/Guid.h"
#include "basekit/utility/Text.h"

namespace basekit {
namespace serialization {

template <class T, class Enable = void>
struct JSONConvert;  // specialised per wire type

namespace detail {
// The bits of either integer kind; anything else throws boost::bad_any_cast.
inline std::uint64_t IntegerBits(boost::any const& v) {
    if (auto const* s = boost::any_cast<std::int64_t>(&v)) {
        return static_cast<std::uint64_t>(*s);
    }
    return boost::any_cast<std::uint64_t>(v);
}
}  // namespace detail

template <>
struct JSONConvert<bool> {
    static boost::any ToJSON(bool v) { return v; }
    static bool FromJSON(boost::any const& v) { return boost::any_cast<bool>(v); }
};

template <>
struct JSONConvert<std::int32_t> {
    static boost::any ToJSON(std::int32_t v) { return static_cast<std::int64_t>(v); }
    static std::int32_t FromJSON(boost::any const& v) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(detail::IntegerBits(v)));
    }
};

template <>
struct JSONConvert<std::uint32_t> {
    static boost::any ToJSON(std::uint32_t v) { return static_cast<std::uint64_t>(v); }
    static std::uint32_t FromJSON(boost::any const& v) {
        return static_cast<std::uint32_t>(detail::IntegerBits(v));
    }
};

template <>
struct JSONConvert<std::int64_t> {
    static boost::any ToJSON(std::int64_t v) { return v; }
    static std::int64_t FromJSON(boost::any const& v) {
        return static_cast<std::int64_t>(detail::IntegerBits(v));
    }
};

template <>
struct JSONConvert<std::uint64_t> {
    static boost::any ToJSON(std::uint64_t v) { return v; }
    static std::uint64_t FromJSON(boost::any const& v) { return detail::IntegerBits(v); }
};

template <>
struct JSONConvert<double> {
    static boost::any ToJSON(double v) { return v; }
    static double FromJSON(boost::any const& v) {
        if (auto const* d = boost::any_cast<double>(&v)) {
            return *d;
        }
        if (auto const* u = boost::any_cast<std::uint64_t>(&v)) {
            return static_cast<double>(*u);
        }
        return static_cast<double>(boost::any_cast<std::int64_t>(v));
    }
};

template <>
struct JSONConvert<float> {
    static boost::any ToJSON(float v) { return static_cast<double>(v); }
    static float FromJSON(boost::any const& v) {
        return static_cast<float>(JSONConvert<double>::FromJSON(v));
    }
};

template <>
struct JSONConvert<UTF8String> {
    static boost::any ToJSON(UTF8String const& v) { return v; }
    static UTF8String FromJSON(boost::any const& v) { return boost::any_cast<UTF8String>(v); }
};

template <>
struct JSONConvert<UTF16String> {
    static boost::any ToJSON(UTF16String const& v) { return utility::UTF16to8(v); }
    static UTF16String FromJSON(boost::any const& v) {
        return utility::UTF8to16(boost::any_cast<UTF8String const&>(v));
    }
};

template <>
struct JSONConvert<utility::Guid> {
    static boost::any ToJSON(utility::Guid const& v) { return v.AsUTF8String(); }
    static utility::Guid FromJSON(boost::any const& v) {
        return utility::Guid(boost::any_cast<UTF8String const&>(v).c_str());
    }
};

// A sequence: an array, one element per item, each by the item's rule.
template <class T>
struct JSONConvert<std::vector<T>> {
    static boost::any ToJSON(std::vector<T> const& v) {
        VariantArray array;
        array.reserve(v.size());
        for (auto const& item : v) {
            array.push_back(MakeVariant(JSONConvert<T>::ToJSON(item)));
        }
        return array;
    }
    static std::vector<T> FromJSON(boost::any const& v) {
        auto const& array = boost::any_cast<VariantArray const&>(v);
        std::vector<T> out;
        out.reserve(array.size());
        for (auto const& item : array) {
            if (!item) {
                throw boost::bad_any_cast();
            }
            out.push_back(JSONConvert<T>::FromJSON(*item));
        }
        return out;
    }
};

// ---- Typed readers and writers used by record converters -------------------------------------

// The object a record is read from; anything else throws boost::bad_any_cast.
inline VariantObject const& AsObject(boost::any const& v) {
    return boost::any_cast<VariantObject const&>(v);
}

// Reads `key`: its absent value (T{}) when the key is missing, otherwise by T's rule.
template <class T>
T ReadValue(VariantObject const& object, const char* key) {
    VariantPtr member = GetVariantInObject(object, key);
    if (!member) {
        return T{};
    }
    return JSONConvert<T>::FromJSON(*member);
}

template <class T>
void ReadField(VariantObject const& object, const char* key, T& field) {
    field = ReadValue<T>(object, key);
}

// A required member: read without a presence test, so its absence throws boost::bad_any_cast.
template <class T>
void ReadRequired(VariantObject const& object, const char* key, T& field) {
    VariantPtr member = GetVariantInObject(object, key);
    if (!member) {
        throw boost::bad_any_cast();
    }
    field = JSONConvert<T>::FromJSON(*member);
}

// An optional member: read only when present; otherwise the field keeps the value it had.
template <class T>
void ReadOptional(VariantObject const& object, const char* key, T& field) {
    VariantPtr member = GetVariantInObject(object, key);
    if (member) {
        field = JSONConvert<T>::FromJSON(*member);
    }
}

// A record under `key` of a result: the caller presets `record` to the record's defaults; when
// the key is present the member is converted as a whole and assigned.
template <class T>
void ReadRecord(boost::any const& result, const char* key, T& record) {
    VariantPtr member = GetVariantInObject(result, key);
    if (member) {
        record = JSONConvert<T>::FromJSON(*member);
    }
}

template <class T>
void WriteField(boost::any& object, const char* key, T const& value) {
    AddToObject(object, key, JSONConvert<T>::ToJSON(value));
}

// Converts a value to a shared variant, for building argument arrays.
template <class T>
VariantPtr ToVariant(T const& value) {
    return MakeVariant(JSONConvert<T>::ToJSON(value));
}

}  // namespace serialization
}  // namespace basekit
