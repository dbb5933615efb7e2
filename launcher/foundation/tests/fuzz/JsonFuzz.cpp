// Properties: parsing never crashes or leaks, and an accepted document survives being
// written and read again, in both text forms.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Json.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JSON::Builder builder;
    if (builder.ParseString(std::string_view(reinterpret_cast<const char*>(data), size)) != 0) {
        Check(builder.Dump().empty());
        return 0;
    }
    JSON::ValuePtr document = builder.Detach();
    Check(document != nullptr);
    const std::string compact = document->Dump();

    JSON::Builder again;
    Check(again.ParseString(compact) == 0);
    Check(again.Dump() == compact);

    std::string pretty;
    document->WritePretty(pretty);
    Check(again.ParseString(pretty) == 0);
    Check(again.Dump() == compact);

    JSON::ValuePtr copy = document->Clone();
    Check(copy && copy->Dump() == compact);
    return 0;
}
