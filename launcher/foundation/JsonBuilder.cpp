#include "JsonBuilder.h"

#include <streambuf>

#include "JsonParser.h"
#include "JsonScanner.h"

namespace JSON {

namespace {

bool IsContainer(const Value& value) {
    return value.kind == ValueKind::Object || value.kind == ValueKind::Array;
}

// A read-only stream over text the caller keeps alive, so parsing needs no copy.
class ViewBuf : public std::streambuf {
public:
    explicit ViewBuf(std::string_view text) {
        char* begin = const_cast<char*>(text.data());
        setg(begin, begin, begin + text.size());
    }
};

}  // namespace

void Builder::Reset() {
    stack_.clear();
    pendingKey_.clear();
    root_.reset();
}

void Builder::StartObject() {
    Reset();
    root_ = std::make_unique<Object>();
    stack_.push_back({root_.get(), nullptr});
}

bool Builder::OpenIfEmptyContainer(Value* value) {
    if (IsContainer(*value) && value->Size() == 0) stack_.push_back({value, nullptr});
    return true;
}

bool Builder::AddMember(std::string key, ValuePtr value) {
    Value* open = Innermost();
    if (!open || !value || open->kind != ValueKind::Object) return false;
    Value* stored = value.get();
    static_cast<Object*>(open)->Insert(std::move(key), std::move(value));
    return OpenIfEmptyContainer(stored);
}

bool Builder::AppendToArray(ValuePtr value) {
    Value* open = Innermost();
    if (!open || !value || open->kind != ValueKind::Array) return false;
    Value* stored = value.get();
    static_cast<Array*>(open)->PushBack(std::move(value));
    return OpenIfEmptyContainer(stored);
}

bool Builder::Add(ValuePtr value) {
    if (!value) return false;
    Value* open = Innermost();
    if (open) {
        if (open->kind == ValueKind::Object) {
            if (!pendingKey_.empty()) {
                std::string key = std::move(pendingKey_);
                pendingKey_.clear();
                return AddMember(std::move(key), std::move(value));
            }
            // No key: the value is not stored, but a container still opens (and is
            // dropped when it closes) so its contents cannot land in the enclosing object.
            if (IsContainer(*value) && value->Size() == 0) {
                Value* container = value.get();
                stack_.push_back({container, std::move(value)});
            }
            return false;
        }
        return AppendToArray(std::move(value));
    }
    if (!IsContainer(*value)) return false;
    root_ = std::move(value);
    stack_.clear();
    stack_.push_back({root_.get(), nullptr});
    return true;
}

void Builder::SetKey(std::string key) {
    pendingKey_ = std::move(key);
}

void Builder::Pop() {
    if (!stack_.empty()) stack_.pop_back();
}

std::string Builder::Dump() const {
    return root_ ? root_->Dump() : std::string();
}

ValuePtr Builder::Detach() {
    stack_.clear();
    pendingKey_.clear();
    return std::move(root_);
}

int Builder::Parse(std::istream& in) {
    Reset();
    try {
        Scanner scanner(&in);
        Parser parser(scanner, *this);
        int rc = parser.parse();
        if (rc != 0) Reset();
        return rc;
    } catch (...) {
        // No half-built document survives a failure.
        Reset();
        throw;
    }
}

int Builder::ParseString(std::string_view text) {
    ViewBuf buffer(text);
    std::istream in(&buffer);
    return Parse(in);
}

}  // namespace JSON
