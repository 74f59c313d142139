#include "VariantJson.h"

#include <boost/json.hpp>
#include <stdexcept>

namespace vireotest {

using basekit::serialization::MakeVariant;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantObject;
using basekit::serialization::VariantPtr;

VariantPtr JsonToVariant(boost::json::value const& json) {
    switch (json.kind()) {
        case boost::json::kind::object: {
            VariantObject object;
            for (auto const& member : json.get_object()) {
                object[std::string(member.key())] = JsonToVariant(member.value());
            }
            return MakeVariant(std::move(object));
        }
        case boost::json::kind::array: {
            VariantArray array;
            for (auto const& element : json.get_array()) {
                array.push_back(JsonToVariant(element));
            }
            return MakeVariant(std::move(array));
        }
        case boost::json::kind::string:
            return MakeVariant(std::string(json.get_string()));
        case boost::json::kind::int64:
            return MakeVariant(json.get_int64());
        case boost::json::kind::uint64:
            return MakeVariant(json.get_uint64());
        case boost::json::kind::double_:
            return MakeVariant(json.get_double());
        case boost::json::kind::bool_:
            return MakeVariant(json.get_bool());
        case boost::json::kind::null:
            break;
    }
    return MakeVariant(boost::any());
}

boost::json::value VariantToJson(boost::any const& variant) {
    if (variant.empty()) {
        return nullptr;
    }
    if (auto const* object = boost::any_cast<VariantObject>(&variant)) {
        boost::json::object out;
        for (auto const& member : *object) {
            out[member.first] = VariantToJson(member.second);
        }
        return out;
    }
    if (auto const* array = boost::any_cast<VariantArray>(&variant)) {
        boost::json::array out;
        for (auto const& element : *array) {
            out.push_back(VariantToJson(element));
        }
        return out;
    }
    if (auto const* text = boost::any_cast<std::string>(&variant)) {
        return boost::json::string(*text);
    }
    if (auto const* i = boost::any_cast<std::int64_t>(&variant)) {
        return *i;
    }
    if (auto const* u = boost::any_cast<std::uint64_t>(&variant)) {
        return *u;
    }
    if (auto const* d = boost::any_cast<double>(&variant)) {
        return *d;
    }
    if (auto const* b = boost::any_cast<bool>(&variant)) {
        return *b;
    }
    throw std::invalid_argument("not a variant kind");
}

}  // namespace vireotest
