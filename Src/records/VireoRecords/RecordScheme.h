#pragma once
// The record scheme: each wire record is described once, as the ordered list of its fields, and
// that one description both writes the record into the variant tree and reads it back. The
// library and the server link the same converters (target VireoRecords), so the two sides of the
// wire cannot drift apart.
//
// A field is one of
//   Field(key, &R::m)            written always; read by the type's rule, an absent key giving the
//                                type's absent value (0, false, empty text, the all-zero Guid,
//                                an empty list, a record read from nothing)
//   FieldOr(key, &R::m, absent)  as Field, with its own absent value
//   Required(key, &R::m)         written always; read without a presence test, so an absent key
//                                throws boost::bad_any_cast (the required arrays)
//   Optional(key, &R::m)         read only when the key is present, otherwise the member keeps
//                                the value the record started with; left out when written if its
//                                written form equals that of the starting value, so reading
//                                gives the same record back
//   Gate(key, &R::flag)          a bool; while it is false the fields listed after it are
//                                neither written nor read
// Fields are written and read in list order. Reading starts from a value-initialised record (the
// record's own defaults) and needs an object; any value of the wrong kind throws
// boost::bad_any_cast, the only exception a converter raises.
//
// Adding a record: declare its converter in a header with VIREO_DECLARE_WIRE_RECORD(Type), and
// in the records library list its fields and define the converter:
//
//   template <> struct RecordFields<Type> {
//       static auto const& List() {
//           static auto const list = std::make_tuple(Field("a", &Type::a), Required(...), ...);
//           return list;
//       }
//   };
//   VIREO_DEFINE_WIRE_RECORD(Type)
#include <boost/any.hpp>
#include <tuple>
#include <type_traits>

#include "basekit/serialization/JSONConvert.h"
#include "basekit/serialization/Variant.h"

namespace VireoServer {
namespace wire {

enum class Presence { kPlain, kRequired, kOptional, kGate };

template <class R, class T>
struct FieldSpec {
    const char* key;
    T R::*member;
    Presence presence;
    T absent;  // kPlain: the value of an absent key; kOptional: the starting value
};

template <class T>
struct Identity {
    using type = T;
};

template <class R, class T>
FieldSpec<R, T> Field(const char* key, T R::*member) {
    return {key, member, Presence::kPlain, T{}};
}
template <class R, class T>
FieldSpec<R, T> FieldOr(const char* key, T R::*member, typename Identity<T>::type absent) {
    return {key, member, Presence::kPlain, std::move(absent)};
}
template <class R, class T>
FieldSpec<R, T> Required(const char* key, T R::*member) {
    return {key, member, Presence::kRequired, T{}};
}
template <class R, class T>
FieldSpec<R, T> Optional(const char* key, T R::*member) {
    return {key, member, Presence::kOptional, R{}.*member};
}
template <class R>
FieldSpec<R, bool> Gate(const char* key, bool R::*member) {
    return {key, member, Presence::kGate, false};
}

// The field list of a record; specialised once per record in the records library.
template <class R>
struct RecordFields;

namespace detail {

template <class R, class T>
void WriteField(basekit::serialization::VariantObject& object, R const& record,
                FieldSpec<R, T> const& field, bool& open) {
    if (!open) {
        return;
    }
    T const& value = record.*field.member;
    boost::any written = basekit::serialization::JSONConvert<T>::ToJSON(value);
    if (field.presence == Presence::kOptional &&
        basekit::serialization::SameVariant(
            written, basekit::serialization::JSONConvert<T>::ToJSON(field.absent))) {
        return;
    }
    object[field.key] = basekit::serialization::MakeVariant(std::move(written));
    if constexpr (std::is_same<T, bool>::value) {
        if (field.presence == Presence::kGate && !value) {
            open = false;
        }
    }
}

template <class R, class T>
void ReadField(basekit::serialization::VariantObject const& object, R& record,
               FieldSpec<R, T> const& field, bool& open) {
    if (!open) {
        return;
    }
    basekit::serialization::VariantPtr const member =
        basekit::serialization::GetVariantInObject(object, field.key);
    switch (field.presence) {
        case Presence::kPlain:
        case Presence::kGate:
            record.*field.member =
                member ? basekit::serialization::JSONConvert<T>::FromJSON(*member) : field.absent;
            break;
        case Presence::kRequired:
            if (!member) {
                throw boost::bad_any_cast();
            }
            record.*field.member = basekit::serialization::JSONConvert<T>::FromJSON(*member);
            break;
        case Presence::kOptional:
            if (member) {
                record.*field.member = basekit::serialization::JSONConvert<T>::FromJSON(*member);
            }
            break;
    }
    if constexpr (std::is_same<T, bool>::value) {
        if (field.presence == Presence::kGate && !(record.*field.member)) {
            open = false;
        }
    }
}

}  // namespace detail

// The record as an object variant, by its field list.
template <class R, class Fields>
boost::any WriteRecord(R const& record, Fields const& fields) {
    basekit::serialization::VariantObject object;
    bool open = true;
    std::apply(
        [&](auto const&... field) { (detail::WriteField(object, record, field, open), ...); },
        fields);
    return object;
}

// The record read from an object variant, by its field list.
template <class R, class Fields>
R ReadRecord(boost::any const& value, Fields const& fields) {
    basekit::serialization::VariantObject const& object = basekit::serialization::AsObject(value);
    R record{};
    bool open = true;
    std::apply([&](auto const&... field) { (detail::ReadField(object, record, field, open), ...); },
               fields);
    return record;
}

}  // namespace wire
}  // namespace VireoServer

// Declares the converter of a wire record (at global scope).
#define VIREO_DECLARE_WIRE_RECORD(Type)                \
    namespace basekit {                                \
    namespace serialization {                          \
    template <>                                        \
    struct JSONConvert<Type> {                         \
        static boost::any ToJSON(Type const& record);  \
        static Type FromJSON(boost::any const& value); \
    };                                                 \
    }                                                  \
    }                                                  \
    static_assert(true, "VIREO_DECLARE_WIRE_RECORD ends with a semicolon")

// Defines the converter of a wire record from its RecordFields (at global scope, in the records
// library only).
#define VIREO_DEFINE_WIRE_RECORD(Type)                                                            \
    boost::any basekit::serialization::JSONConvert<Type>::ToJSON(Type const& record) {            \
        return ::VireoServer::wire::WriteRecord(record,                                           \
                                                ::VireoServer::wire::RecordFields<Type>::List()); \
    }                                                                                             \
    Type basekit::serialization::JSONConvert<Type>::FromJSON(boost::any const& value) {           \
        return ::VireoServer::wire::ReadRecord<Type>(                                             \
            value, ::VireoServer::wire::RecordFields<Type>::List());                              \
    }                                                                                             \
    static_assert(true, "VIREO_DEFINE_WIRE_RECORD ends with a semicolon")
