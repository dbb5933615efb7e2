#pragma once
// Builds JSON trees, by code or by the parser, through a stack of open containers.

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "JsonValue.h"

namespace JSON {

class Builder {
public:
    // Deeper nesting is a syntax error: the tree must stay safe to walk recursively.
    static constexpr std::size_t kMaxParseDepth = 512;

    Builder() = default;
    ~Builder() = default;
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    // Empties the stack and the pending key and deletes the root.
    void Reset();
    // Reset, then a new empty object is the root and the only open container.
    void StartObject();
    // Inserts into the innermost open object; an empty container added becomes the open
    // one. Every value handed in is the builder's: one it does not store is deleted.
    bool AddMember(std::string key, ValuePtr value);
    // The same for the innermost open array.
    bool AppendToArray(ValuePtr value);
    // The parser's entry: member under the pending key, element, or the root.
    bool Add(ValuePtr value);
    void SetKey(std::string key);
    void Pop();
    // Compact text of the root; empty when there is none.
    std::string Dump() const;
    // Hands the root over and forgets the open containers and pending key.
    ValuePtr Detach();
    // Reset, then parses one document: 0 on success, 1 on a syntax error.
    int Parse(std::istream& in);
    int ParseString(std::string_view text);

    // Number of open containers.
    std::size_t Depth() const { return stack_.size(); }

private:
    struct Open {
        Value* container;
        // Set for the value of an empty key: read to keep the document's shape, never stored.
        ValuePtr discarded;
    };

    bool OpenIfEmptyContainer(Value* value);
    Value* Innermost() const { return stack_.empty() ? nullptr : stack_.back().container; }

    ValuePtr root_;
    std::vector<Open> stack_;
    std::string pendingKey_;
};

}  // namespace JSON
