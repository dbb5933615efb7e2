#pragma once
// Where JSON meets the launcher's wide strings.

#include "JsonValue.h"
#include "SharedWString.h"

namespace JSON {

// A string value holding the UTF-8 form of the text (empty when it does not convert);
// a null value instead when emptyIsNull and that form is empty.
ValuePtr MakeStringW(const SharedWString& text, bool emptyIsNull);

}  // namespace JSON
