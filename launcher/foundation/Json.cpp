#include "Json.h"

#include <new>
#include <utility>

namespace JSON {

namespace {

template <typename T, typename... Args>
ValuePtr Make(Args&&... args) {
    try {
        return ValuePtr(new T(std::forward<Args>(args)...));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

const Value* MemberOf(std::string_view key, const Value* object) {
    return object ? object->Find(key) : nullptr;
}

}  // namespace

ValuePtr MakeObject() { return Make<Object>(); }

ValuePtr MakeObject(std::initializer_list<Member> members) {
    ValuePtr object = MakeObject();
    if (!object) return nullptr;
    auto& target = static_cast<Object&>(*object);
    for (const Member& member : members) target.Insert(member.key, std::move(member.value));
    return object;
}
ValuePtr MakeArray() { return Make<Array>(); }
ValuePtr MakeTrue() { return Make<Scalar>(ValueKind::True); }
ValuePtr MakeFalse() { return Make<Scalar>(ValueKind::False); }
ValuePtr MakeNull() { return Make<Scalar>(ValueKind::Null); }
ValuePtr MakeBool(bool value) { return value ? MakeTrue() : MakeFalse(); }

ValuePtr MakeNumber(std::string text) {
    return Make<Scalar>(std::move(text), ValueKind::Number);
}

ValuePtr MakeNumberFromUInt(std::uint32_t value) {
    return MakeNumber(std::to_string(static_cast<std::int32_t>(value)));
}

ValuePtr MakeString(std::string text, bool emptyIsNull) {
    if (emptyIsNull && text.empty()) return MakeNull();
    return Make<Scalar>(std::move(text), ValueKind::String);
}

bool GetIntField(std::string_view key, int& out, const Value* object) {
    const Value* member = MemberOf(key, object);
    if (!member || !member->IsNumber()) return false;
    out = member->GetInt();
    return true;
}

bool GetStringField(std::string_view key, std::string& out, const Value* object) {
    const Value* member = MemberOf(key, object);
    if (!member || !member->IsString()) return false;
    out = member->GetText();
    return true;
}

bool GetBoolField(std::string_view key, bool& out, const Value* object) {
    const Value* member = MemberOf(key, object);
    if (!member || !member->IsBool()) return false;
    out = member->GetBool();
    return true;
}

bool GetContainerField(std::string_view key, Value*& out, const Value* object) {
    Value* member = object ? object->Find(key) : nullptr;
    if (!member || !(member->IsObject() || member->IsArray())) return false;
    out = member;
    return true;
}

void DeleteValue(ValuePtr& value) {
    value.reset();
}

}  // namespace JSON
