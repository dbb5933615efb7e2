#pragma once
// The JSON API the launcher uses: value makers, field getters and deletion.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "JsonBuilder.h"
#include "JsonValue.h"

namespace JSON {

// A member of an object to make: its key and its value, which the object takes.
struct Member {
    std::string key;
    // Mutable: the elements of an initializer list are const, yet the value must move.
    mutable ValuePtr value;
};

// Each maker returns a new value owned by the caller, or null when it cannot be made.
ValuePtr MakeObject();
// The members in the order given, as Object::Insert stores them; a null value is left out.
ValuePtr MakeObject(std::initializer_list<Member> members);
ValuePtr MakeArray();
ValuePtr MakeTrue();
ValuePtr MakeFalse();
ValuePtr MakeNull();
ValuePtr MakeBool(bool value);
// The text is kept as given, not validated.
ValuePtr MakeNumber(std::string text);
// The decimal text of the value read as signed 32-bit: 4294967295 is written -1.
ValuePtr MakeNumberFromUInt(std::uint32_t value);
// A null value instead when emptyIsNull and the text is empty.
ValuePtr MakeString(std::string text, bool emptyIsNull);

// Field getters: false, with the out parameter untouched, when the object is null, the
// key is absent or the member is of another kind.
bool GetIntField(std::string_view key, int& out, const Value* object);
bool GetStringField(std::string_view key, std::string& out, const Value* object);
bool GetBoolField(std::string_view key, bool& out, const Value* object);
// The member stays owned by the object.
bool GetContainerField(std::string_view key, Value*& out, const Value* object);

// Deletes the value and everything beneath it; the pointer becomes null.
void DeleteValue(ValuePtr& value);

}  // namespace JSON
