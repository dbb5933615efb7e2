#include "JsonValue.h"

#include <climits>
#include <new>

#include "JsonEscape.h"

namespace JSON {

namespace {

const std::string kEmpty;

void AppendIndent(std::string& out, unsigned depth) {
    out.push_back('\n');
    out.append(std::size_t{4} * depth, ' ');
}

void AppendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    EscapeTo(out, text);
    out.push_back('"');
}

}  // namespace

// ---- Position ------------------------------------------------------------------------

const std::string& Position::Key() const {
    if (object_ && index_ < object_->entries_.size()) return object_->entries_[index_].key;
    return kEmpty;
}

Value* Position::GetValue() const {
    if (array_ && index_ < array_->items_.size()) return array_->items_[index_].get();
    if (object_ && index_ < object_->entries_.size()) return object_->entries_[index_].value.get();
    return nullptr;
}

Position& Position::operator++() {
    if (array_) {
        ++index_;
    } else if (object_) {
        index_ = object_->NextSlot(index_ + 1);
    }
    return *this;
}

bool Position::operator==(const Position& other) const {
    return array_ == other.array_ && object_ == other.object_ && index_ == other.index_;
}

// ---- Value ---------------------------------------------------------------------------

int Value::GetInt() const {
    if (kind != ValueKind::Number) return -1;
    // Reads like stream extraction into an int: blanks, a sign, then digits up to the
    // first other character; out of range clamps; no digits gives 0.
    const std::string& t = static_cast<const Scalar*>(this)->text;
    std::size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || (t[i] >= '\t' && t[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
    long long magnitude = 0;
    bool any = false;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
        any = true;
        if (magnitude <= static_cast<long long>(INT_MAX) + 1) magnitude = magnitude * 10 + (t[i] - '0');
    }
    if (!any) return 0;
    if (negative) return magnitude > static_cast<long long>(INT_MAX) + 1 ? INT_MIN : static_cast<int>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

const std::string& Value::GetText() const {
    if (kind == ValueKind::Number || kind == ValueKind::String) return static_cast<const Scalar*>(this)->text;
    return kEmpty;
}

Value* Value::Find(std::string_view key) const {
    return kind == ValueKind::Object ? static_cast<const Object*>(this)->Find(key) : nullptr;
}

Value* Value::At(std::ptrdiff_t index) const {
    return kind == ValueKind::Array ? static_cast<const Array*>(this)->At(index) : nullptr;
}

bool Value::Begin(Position& position) const {
    position = Position();
    if (kind == ValueKind::Array) {
        position.array_ = static_cast<const Array*>(this);
        return true;
    }
    if (kind == ValueKind::Object) {
        position.object_ = static_cast<const Object*>(this);
        position.index_ = position.object_->NextSlot(0);
        return true;
    }
    return false;
}

bool Value::End(Position& position) const {
    position = Position();
    if (kind == ValueKind::Array) {
        position.array_ = static_cast<const Array*>(this);
        position.index_ = position.array_->items_.size();
        return true;
    }
    if (kind == ValueKind::Object) {
        position.object_ = static_cast<const Object*>(this);
        position.index_ = position.object_->entries_.size();
        return true;
    }
    return false;
}

std::string Value::Dump() const {
    std::string out;
    WriteCompact(out);
    return out;
}

// ---- Scalar --------------------------------------------------------------------------

Scalar::Scalar(ValueKind kind) : Value(kind) {}

Scalar::Scalar(std::string text, ValueKind kind) : Value(kind), text(std::move(text)) {}

ValuePtr Scalar::Clone() const {
    return ValuePtr(new (std::nothrow) Scalar(text, kind));
}

void Scalar::WriteCompact(std::string& out) const {
    switch (kind) {
        case ValueKind::Number: out.append(text); break;
        case ValueKind::String: AppendQuoted(out, text); break;
        case ValueKind::True: out.append("true"); break;
        case ValueKind::False: out.append("false"); break;
        default: out.append("null"); break;
    }
}

void Scalar::WritePrettyAt(std::string& out, unsigned) const {
    WriteCompact(out);
}

// ---- Array ---------------------------------------------------------------------------

void Array::PushBack(ValuePtr value) {
    if (value) items_.push_back(std::move(value));
}

Value* Array::At(std::ptrdiff_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) return nullptr;
    return items_[static_cast<std::size_t>(index)].get();
}

ValuePtr Array::Clone() const {
    std::unique_ptr<Array> copy(new (std::nothrow) Array());
    if (!copy) return nullptr;
    copy->items_.reserve(items_.size());
    for (const ValuePtr& item : items_) {
        ValuePtr element = item->Clone();
        if (!element) return nullptr;
        copy->items_.push_back(std::move(element));
    }
    return copy;
}

void Array::WriteCompact(std::string& out) const {
    out.push_back('[');
    bool first = true;
    for (const ValuePtr& item : items_) {
        if (!first) out.append(", ");
        first = false;
        item->WriteCompact(out);
    }
    out.push_back(']');
}

void Array::WritePrettyAt(std::string& out, unsigned depth) const {
    out.push_back('[');
    bool first = true;
    for (const ValuePtr& item : items_) {
        if (!first) out.push_back(',');
        first = false;
        AppendIndent(out, depth + 1);
        item->WritePrettyAt(out, depth + 1);
    }
    if (!items_.empty()) AppendIndent(out, depth);
    out.push_back(']');
}

// ---- Object --------------------------------------------------------------------------

std::size_t Object::Locate(std::string_view key) const {
    if (index_) {
        auto found = index_->find(key);
        return found == index_->end() ? entries_.size() : found->second;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].value && entries_[i].key == key) return i;
    }
    return entries_.size();
}

void Object::Insert(std::string key, ValuePtr value) {
    if (!value) return;
    std::size_t at = Locate(key);
    if (at == entries_.size()) {
        if (index_) index_->emplace(key, entries_.size());
        if (entries_.empty()) entries_.reserve(8);
        entries_.push_back({std::move(key), std::move(value)});
        ++count_;
        if (!index_ && count_ > kIndexFrom) BuildIndex();
        return;
    }
    if (at + 1 == entries_.size()) {  // already last
        entries_[at].value = std::move(value);
        return;
    }
    Entry moved{std::move(entries_[at].key), std::move(value)};
    entries_[at].value.reset();  // the old value goes, its place becomes a hole
    ++holes_;
    if (index_) (*index_)[moved.key] = entries_.size();
    entries_.push_back(std::move(moved));
    if (holes_ > 16 && holes_ > count_) Compact();
}

Value* Object::Find(std::string_view key) const {
    std::size_t at = Locate(key);
    return at == entries_.size() ? nullptr : entries_[at].value.get();
}

std::size_t Object::NextSlot(std::size_t slot) const {
    while (slot < entries_.size() && !entries_[slot].value) ++slot;
    return slot;
}

void Object::Compact() {
    std::size_t kept = 0;
    for (Entry& entry : entries_) {
        if (!entry.value) continue;
        if (&entries_[kept] != &entry) entries_[kept] = std::move(entry);
        ++kept;
    }
    entries_.resize(kept);
    holes_ = 0;
    if (index_) BuildIndex();
}

void Object::BuildIndex() {
    index_ = std::make_unique<Index>();
    index_->reserve(count_ * 2);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].value) index_->emplace(entries_[i].key, i);
    }
}

Object::Iterator Object::begin() const {
    Position p;
    Begin(p);
    return Iterator(p);
}

Object::Iterator Object::end() const {
    Position p;
    End(p);
    return Iterator(p);
}

ValuePtr Object::Clone() const {
    std::unique_ptr<Object> copy(new (std::nothrow) Object());
    if (!copy) return nullptr;
    for (const Entry& entry : entries_) {
        if (!entry.value) continue;
        ValuePtr member = entry.value->Clone();
        if (!member) return nullptr;
        copy->Insert(entry.key, std::move(member));
    }
    return copy;
}

void Object::WriteCompact(std::string& out) const {
    out.push_back('{');
    bool first = true;
    for (const Entry& entry : entries_) {
        if (!entry.value) continue;
        if (!first) out.append(", ");
        first = false;
        AppendQuoted(out, entry.key);
        out.append(": ");
        entry.value->WriteCompact(out);
    }
    out.push_back('}');
}

void Object::WritePrettyAt(std::string& out, unsigned depth) const {
    out.push_back('{');
    bool first = true;
    for (const Entry& entry : entries_) {
        if (!entry.value) continue;
        if (!first) out.push_back(',');
        first = false;
        AppendIndent(out, depth + 1);
        AppendQuoted(out, entry.key);
        out.append(": ");
        entry.value->WritePrettyAt(out, depth + 1);
    }
    if (count_ != 0) AppendIndent(out, depth);
    out.push_back('}');
}

}  // namespace JSON
