#include "JsonWide.h"

#include <cstdint>
#include <string>

#include "Json.h"

namespace JSON {

ValuePtr MakeStringW(const SharedWString& text, bool emptyIsNull) {
    std::string bytes;
    if (!text.IsEmpty()) {
        // Four bytes per unit always hold the text and its terminating zero; for a huge text
        // the room is capped at the int32 range instead of the product overflowing.
        std::int64_t room = static_cast<std::int64_t>(text.GetLength()) * 4;
        std::int32_t size = room > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(room);
        bytes.resize(static_cast<std::size_t>(size));
        if (SharedWString::ToUtf8(text, bytes.data(), size) != 0) size = 0;
        bytes.resize(static_cast<std::size_t>(size));
    }
    return MakeString(std::move(bytes), emptyIsNull);
}

}  // namespace JSON
