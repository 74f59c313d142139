#include "basekit/serialization/Variant.h"

namespace basekit {
namespace serialization {

VariantPtr BuildCall(const char* method, boost::any const& params) {
    VariantObject call;
    call["method"] = MakeVariant(UTF8String(method));
    call["params"] = MakeVariant(params);
    return MakeVariant(std::move(call));
}

void AddToObject(boost::any& object, const char* key, boost::any const& value) {
    boost::any_cast<VariantObject&>(object)[key] = MakeVariant(value);
}

void AppendToArray(boost::any& array, boost::any const& value) {
    boost::any_cast<VariantArray&>(array).push_back(MakeVariant(value));
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

}  // namespace serialization
}  // namespace basekit
