#pragma once
// The JSON value tree: an abstract value, scalars (text kept as written), arrays and
// insertion-ordered objects. Strings are byte strings (UTF-8 in practice).

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace JSON {

enum class ValueKind : std::uint32_t {
    Object = 0,
    Array = 1,
    Number = 2,
    String = 3,
    True = 4,
    False = 5,
    Null = 6,
};

class Value;
class Array;
class Object;

// A value has exactly one owner; handing a ValuePtr to a container or builder gives it away.
using ValuePtr = std::unique_ptr<Value>;

// A cursor over the elements of an array or the members of an object, in order.
class Position {
public:
    Position() = default;

    // The member's key; empty for an array element.
    const std::string& Key() const;
    Value* GetValue() const;

    Position& operator++();
    bool operator==(const Position& other) const;

private:
    friend class Value;
    friend class Array;
    friend class Object;

    const Array* array_ = nullptr;
    const Object* object_ = nullptr;
    std::size_t index_ = 0;
};

class Value {
public:
    explicit Value(ValueKind kind) : kind(kind) {}
    virtual ~Value() = default;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;

    // Deep copy; null when the copy could not be made.
    virtual ValuePtr Clone() const = 0;
    virtual void WriteCompact(std::string& out) const = 0;
    virtual std::size_t Size() const { return 0; }
    // Indented text; the depth travels with the call and starts at 0 here.
    void WritePretty(std::string& out) const { WritePrettyAt(out, 0); }

    ValueKind GetKind() const { return kind; }
    bool IsObject() const { return kind == ValueKind::Object; }
    bool IsArray() const { return kind == ValueKind::Array; }
    bool IsNumber() const { return kind == ValueKind::Number; }
    bool IsString() const { return kind == ValueKind::String; }
    bool IsBool() const { return kind == ValueKind::True || kind == ValueKind::False; }

    // True only for the value true.
    bool GetBool() const { return kind == ValueKind::True; }
    // -1 unless a number; else the leading integer part of its text.
    int GetInt() const;
    // The text of a number or string; empty for every other kind.
    const std::string& GetText() const;
    // Member of an object; null when not an object or the key is absent.
    Value* Find(std::string_view key) const;
    // Element of an array; null when not an array or the index is out of range.
    Value* At(std::ptrdiff_t index) const;
    // False unless an array or object; else the first (or end) position.
    bool Begin(Position& position) const;
    bool End(Position& position) const;
    // The compact text.
    std::string Dump() const;

    const ValueKind kind;

protected:
    friend class Array;
    friend class Object;
    virtual void WritePrettyAt(std::string& out, unsigned depth) const = 0;
};

class Scalar final : public Value {
public:
    explicit Scalar(ValueKind kind);
    Scalar(std::string text, ValueKind kind);

    ValuePtr Clone() const override;
    void WriteCompact(std::string& out) const override;

    const std::string text;

protected:
    void WritePrettyAt(std::string& out, unsigned depth) const override;
};

class Array final : public Value {
public:
    Array() : Value(ValueKind::Array) {}

    void PushBack(ValuePtr value);
    Value* At(std::ptrdiff_t index) const;

    ValuePtr Clone() const override;
    void WriteCompact(std::string& out) const override;
    std::size_t Size() const override { return items_.size(); }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

protected:
    void WritePrettyAt(std::string& out, unsigned depth) const override;

private:
    friend class Position;
    friend class Value;
    std::vector<ValuePtr> items_;
};

class Object final : public Value {
public:
    struct MemberRef {
        const std::string& key;
        Value& value;
    };

    class Iterator {
    public:
        MemberRef operator*() const { return {position_.Key(), *position_.GetValue()}; }
        Iterator& operator++() { ++position_; return *this; }
        bool operator==(const Iterator& other) const { return position_ == other.position_; }

    private:
        friend class Object;
        explicit Iterator(Position position) : position_(position) {}
        Position position_;
    };

    Object() : Value(ValueKind::Object) {}

    // A new key is appended to the order; an existing key gets the new value (the old one
    // is deleted) and moves to the end of the order.
    void Insert(std::string key, ValuePtr value);
    Value* Find(std::string_view key) const;

    ValuePtr Clone() const override;
    void WriteCompact(std::string& out) const override;
    std::size_t Size() const override { return count_; }

    Iterator begin() const;
    Iterator end() const;

protected:
    void WritePrettyAt(std::string& out, unsigned depth) const override;

private:
    friend class Position;
    friend class Value;
    struct Entry {
        std::string key;
        ValuePtr value;  // null for a hole
    };
    // Small objects are searched in order; larger ones get a key index.
    static constexpr std::size_t kIndexFrom = 16;

    std::size_t Locate(std::string_view key) const;
    std::size_t NextSlot(std::size_t slot) const;
    void Compact();
    void BuildIndex();

    // Members in insertion order. A member that moves to the end leaves a hole behind, so
    // that repeated keys stay linear; holes are squeezed out when they outnumber members.
    std::vector<Entry> entries_;
    std::size_t count_ = 0;
    std::size_t holes_ = 0;
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };
    using Index = std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>>;
    std::unique_ptr<Index> index_;
};

}  // namespace JSON
