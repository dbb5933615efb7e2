// Requests as the log shows them: secrets masked in what the parser made of the text, so that
// no spelling the parser accepts ("c\u0043as", stray characters before the colon) hides one.

#include "ToolBox.h"

#include "Json.h"
#include "JsonEscape.h"

namespace {

bool IsSecretName(std::string_view name) { return name == "cCas" || name == "CASTGC"; }

std::string Quoted(std::string_view text) {
    std::string out(1, '"');
    JSON::EscapeTo(out, text);
    out.push_back('"');
    return out;
}

// The compact writer's text. Below a secret member every string and number is masked; other
// strings (and keys) still go through the text masker for cookies and JSON texts inside them.
void WriteMasked(const JSON::Value& value, bool secret, std::string& out) {
    switch (value.GetKind()) {
        case JSON::ValueKind::Object: {
            out.push_back('{');
            bool first = true;
            for (const auto member : static_cast<const JSON::Object&>(value)) {
                if (!first) out.append(", ");
                first = false;
                out += ToolBox::MaskSecretsInText(Quoted(member.key));
                out.append(": ");
                WriteMasked(member.value, secret || IsSecretName(member.key), out);
            }
            out.push_back('}');
            break;
        }
        case JSON::ValueKind::Array: {
            out.push_back('[');
            bool first = true;
            for (const JSON::ValuePtr& item : static_cast<const JSON::Array&>(value)) {
                if (!first) out.append(", ");
                first = false;
                WriteMasked(*item, secret, out);
            }
            out.push_back(']');
            break;
        }
        case JSON::ValueKind::String:
            out += secret ? Quoted(ToolBox::MaskSecret(value.GetText()))
                          : ToolBox::MaskSecretsInText(Quoted(value.GetText()));
            break;
        case JSON::ValueKind::Number:
            if (secret) {
                out += Quoted(ToolBox::MaskSecret(value.GetText()));
            } else {
                value.WriteCompact(out);
            }
            break;
        default:
            value.WriteCompact(out);
            break;
    }
}

}  // namespace

std::string ToolBox::MaskSecretsInJson(const JSON::Value& value) {
    std::string out;
    WriteMasked(value, false, out);
    return out;
}

std::string ToolBox::MaskSecretsInRequestText(std::string_view text) {
    // Without a backslash a name stands in the text as the parser reads it, so a text without
    // either name holds no secret member and no cookie: the text masker alone sees all it could
    // hold (a URL's ticket among them) without the cost of a parse.
    if (text.find('\\') == std::string_view::npos && text.find("cCas") == std::string_view::npos &&
        text.find("CASTGC") == std::string_view::npos) {
        return MaskSecretsInText(text);
    }
    JSON::Builder builder;
    builder.ParseString(text);
    const JSON::ValuePtr document = builder.Detach();
    return document ? MaskSecretsInJson(*document) : MaskSecretsInText(text);
}
