#include "basekit/serialization/Variant.h"

#include <cmath>

namespace basekit {
namespace serialization {

VariantPtr BuildCall(const char* method, boost::any const& params) {
    return BuildCall(method, boost::any(params));
}

VariantPtr BuildCall(const char* method, boost::any&& params) {
    VariantObject call;
    call.emplace_hint(call.end(), "method", MakeVariant(UTF8String(method)));
    call.emplace_hint(call.end(), "params", MakeVariant(std::move(params)));
    return MakeVariant(std::move(call));
}

void AddToObject(boost::any& object, const char* key, boost::any const& value) {
    boost::any_cast<VariantObject&>(object)[key] = MakeVariant(value);
}

void AddToObject(boost::any& object, const char* key, boost::any&& value) {
    boost::any_cast<VariantObject&>(object)[key] = MakeVariant(std::move(value));
}

void AppendToArray(boost::any& array, boost::any const& value) {
    boost::any_cast<VariantArray&>(array).push_back(MakeVariant(value));
}

void AppendToArray(boost::any& array, boost::any&& value) {
    boost::any_cast<VariantArray&>(array).push_back(MakeVariant(std::move(value)));
}

VariantPtr GetVariantInObject(VariantObject const& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? VariantPtr() : it->second;
}

VariantPtr GetVariantInObject(boost::any const& object, const char* key) {
    return GetVariantInObject(boost::any_cast<VariantObject const&>(object), key);
}

bool ObjectHasProperty(VariantObject const& object, const char* key) {
    return object.find(key) != object.end();
}

bool ObjectHasProperty(boost::any const& object, const char* key) {
    return ObjectHasProperty(boost::any_cast<VariantObject const&>(object), key);
}

namespace {
bool SameMember(VariantPtr const& a, VariantPtr const& b) {
    if (!a || !b) {
        return !a && !b;
    }
    return SameVariant(*a, *b);
}

template <class T>
bool SameScalar(boost::any const& a, boost::any const& b) {
    auto const* x = boost::any_cast<T>(&a);
    auto const* y = boost::any_cast<T>(&b);
    return x != nullptr && y != nullptr && *x == *y;
}
}  // namespace

bool SameVariant(boost::any const& a, boost::any const& b) {
    if (a.empty() || b.empty()) {
        return a.empty() && b.empty();
    }
    if (auto const* x = boost::any_cast<VariantObject>(&a)) {
        auto const* y = boost::any_cast<VariantObject>(&b);
        if (y == nullptr || x->size() != y->size()) {
            return false;
        }
        for (auto i = x->begin(), j = y->begin(); i != x->end(); ++i, ++j) {
            if (i->first != j->first || !SameMember(i->second, j->second)) {
                return false;
            }
        }
        return true;
    }
    if (auto const* x = boost::any_cast<VariantArray>(&a)) {
        auto const* y = boost::any_cast<VariantArray>(&b);
        if (y == nullptr || x->size() != y->size()) {
            return false;
        }
        for (std::size_t i = 0; i < x->size(); ++i) {
            if (!SameMember((*x)[i], (*y)[i])) {
                return false;
            }
        }
        return true;
    }
    if (auto const* x = boost::any_cast<double>(&a)) {
        auto const* y = boost::any_cast<double>(&b);
        return y != nullptr && (*x == *y || (std::isnan(*x) && std::isnan(*y)));
    }
    return SameScalar<UTF8String>(a, b) || SameScalar<std::int64_t>(a, b) ||
           SameScalar<std::uint64_t>(a, b) || SameScalar<bool>(a, b);
}

}  // namespace serialization
}  // namespace basekit
