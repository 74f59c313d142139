#include "basemarshal/JSONVariant.h"

#include <boost/make_shared.hpp>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

namespace basemarshal {

namespace {

namespace json = boost::json;
using basekit::UTF8String;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

// Two allocations per node (the count with the boost::any, and its content) instead of
// MakeVariant's three.
template <class T>
VariantPtr Node(T&& value) {
    return boost::make_shared<boost::any>(std::forward<T>(value));
}

json::value Real(double value, json::storage_ptr const& sp) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument("a real that is not finite cannot be written as JSON");
    }
    return json::value(value, sp);
}

json::value Write(boost::any const& variant, std::size_t depth, json::storage_ptr const& sp);

json::value WritePtr(VariantPtr const& member, std::size_t depth, json::storage_ptr const& sp) {
    return member ? Write(*member, depth, sp) : json::value(nullptr, sp);
}

json::value Write(boost::any const& variant, std::size_t depth, json::storage_ptr const& sp) {
    if (variant.empty()) {
        return json::value(nullptr, sp);
    }
    std::type_info const& type = variant.type();
    if (type == typeid(VariantObject) || type == typeid(VariantArray)) {
        if (depth >= kMaxVariantDepth) {
            throw std::invalid_argument("the variant is nested too deeply to be written as JSON");
        }
        if (auto const* object = boost::any_cast<VariantObject>(&variant)) {
            json::object out(sp);
            out.reserve(object->size());
            for (auto const& member : *object) {
                out.emplace(member.first, WritePtr(member.second, depth + 1, sp));
            }
            return json::value(std::move(out));
        }
        auto const& array = *boost::any_cast<VariantArray>(&variant);
        json::array out(sp);
        out.reserve(array.size());
        for (auto const& element : array) {
            out.push_back(WritePtr(element, depth + 1, sp));
        }
        return json::value(std::move(out));
    }
    if (auto const* text = boost::any_cast<UTF8String>(&variant)) {
        return json::value(json::string_view(*text), sp);
    }
    if (auto const* i = boost::any_cast<std::int64_t>(&variant)) {
        return json::value(*i, sp);
    }
    if (auto const* u = boost::any_cast<std::uint64_t>(&variant)) {
        return json::value(*u, sp);
    }
    if (auto const* d = boost::any_cast<double>(&variant)) {
        return Real(*d, sp);
    }
    if (auto const* b = boost::any_cast<bool>(&variant)) {
        return json::value(*b, sp);
    }
    // Narrower or differently spelled C++ types, accepted for convenience.
    if (auto const* v = boost::any_cast<int>(&variant)) {
        return json::value(static_cast<std::int64_t>(*v), sp);
    }
    if (auto const* v = boost::any_cast<unsigned>(&variant)) {
        return json::value(static_cast<std::uint64_t>(*v), sp);
    }
    if (auto const* v = boost::any_cast<long long>(&variant)) {
        return json::value(static_cast<std::int64_t>(*v), sp);
    }
    if (auto const* v = boost::any_cast<unsigned long long>(&variant)) {
        return json::value(static_cast<std::uint64_t>(*v), sp);
    }
    if (auto const* v = boost::any_cast<short>(&variant)) {
        return json::value(static_cast<std::int64_t>(*v), sp);
    }
    if (auto const* v = boost::any_cast<unsigned short>(&variant)) {
        return json::value(static_cast<std::uint64_t>(*v), sp);
    }
    if (auto const* v = boost::any_cast<float>(&variant)) {
        return Real(static_cast<double>(*v), sp);
    }
    if (auto const* v = boost::any_cast<char const*>(&variant)) {
        if (*v == nullptr) {
            throw std::invalid_argument("a null text pointer cannot be written as JSON");
        }
        return json::value(json::string_view(*v), sp);
    }
    throw std::invalid_argument(std::string("a variant holding ") + type.name() +
                                " cannot be written as JSON");
}

VariantPtr Read(json::value const& value, std::size_t depth) {
    switch (value.kind()) {
        case json::kind::object: {
            if (depth >= kMaxVariantDepth) {
                throw std::invalid_argument("the JSON value is nested too deeply");
            }
            VariantObject object;
            for (auto const& member : value.get_object()) {
                object[UTF8String(member.key())] = Read(member.value(), depth + 1);
            }
            return Node(std::move(object));
        }
        case json::kind::array: {
            if (depth >= kMaxVariantDepth) {
                throw std::invalid_argument("the JSON value is nested too deeply");
            }
            VariantArray array;
            array.reserve(value.get_array().size());
            for (auto const& element : value.get_array()) {
                array.push_back(Read(element, depth + 1));
            }
            return Node(std::move(array));
        }
        case json::kind::string:
            return Node(UTF8String(value.get_string()));
        case json::kind::int64:
            return Node(value.get_int64());
        case json::kind::uint64:
            return Node(value.get_uint64());
        case json::kind::double_:
            return Node(value.get_double());
        case json::kind::bool_:
            return Node(value.get_bool());
        case json::kind::null:
            break;
    }
    return Node(boost::any());
}

}  // namespace

json::value ToJSON(boost::any const& variant, json::storage_ptr const& storage) {
    return Write(variant, 0, storage);
}

VariantPtr FromJSON(json::value const& json) {
    return Read(json, 0);
}

}  // namespace basemarshal
