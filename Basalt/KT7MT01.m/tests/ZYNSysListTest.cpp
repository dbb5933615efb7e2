#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "ZYNSysList.h"

namespace {

using Type = ZYNSysList::ZYNSysListType;

// A string list that counts its frees and can be told to fail its copies.
class WatchedListStr : public ZYNSysListStr {
public:
    using ZYNSysListStr::ZYNSysListStr;
    ~WatchedListStr() override { Reset(); }
    bool failCopies = false;
    mutable int deletes = 0;

protected:
    void* ChildCopyItem(const void* item) const override {
        return failCopies ? nullptr : ZYNSysListStr::ChildCopyItem(item);
    }
    void ChildDeleteItem(void* item) const override {
        ++deletes;
        ZYNSysListStr::ChildDeleteItem(item);
    }
};

std::string Items(ZYNSysList& list) {
    std::string out;
    const unsigned long long n = list.Count();
    void* item = list.GetFirst();
    for (unsigned long long i = 0; i < n && item; ++i, item = list.GetNext()) {
        out += out.empty() ? "" : ",";
        out += static_cast<const char*>(item);
    }
    return out;
}

std::string Text(const void* item) { return item ? static_cast<const char*>(item) : "NULL"; }

// Cursor moves spelled F (GetFirst), N (Next), P (GetPrevious), L (GetLast), H (Head), T (Tail);
// the answers joined in order.
std::string Walk(ZYNSysListStr& list, const char* moves) {
    std::string out;
    for (const char* m = moves; *m; ++m) {
        const void* item = nullptr;
        switch (*m) {
            case 'F': item = list.First(); break;
            case 'N': item = list.Next(); break;
            case 'P': item = list.GetPrevious(); break;
            case 'L': item = list.GetLast(); break;
            case 'H': item = list.Head(); break;
            case 'T': item = list.Tail(); break;
        }
        out += Text(item);
    }
    return out;
}

const void* P(std::uint64_t address) { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)); }

}  // namespace

TEST(ZYNSysList, StringListsAddIterateAndRemoveAsTheirTypeSays) {
    struct Case {
        const char* name;
        Type type;
        bool duplicates;
        std::vector<const char*> adds;
        std::function<std::string(ZYNSysListStr&)> act;  // answers of the operations, or ""
        const char* answers;
        const char* items;  // afterwards, head to tail
    };
    auto none = [](ZYNSysListStr&) { return std::string(); };
    const Case cases[] = {
        {"default list refuses the second b", Type::ZYNSysListSorted, false, {"b", "a"},
         [](ZYNSysListStr& l) { return Text(l.Add("b")); }, "NULL", "a,b"},
        {"sorted with duplicates keeps equals in order", Type::ZYNSysListSorted, true, {"b", "a", "b"}, none, "", "a,b,b"},
        {"type 1 sorts by unsigned bytes", Type::ZYNSysListSorted1, true, {"\xe9", "b", "B", "a"}, none, "",
         "B,a,b,\xe9"},
        {"plain keeps insertion order", Type::ZYNSysListPlain, true, {"b", "a", "b"}, none, "", "b,a,b"},
        {"plain without duplicates refuses an equal", Type::ZYNSysListPlain, false, {"b", "a", "b"}, none, "", "b,a"},
        {"circular wraps forwards", Type::ZYNSysListCircular, true, {"1", "2"},
         [](ZYNSysListStr& l) { return Walk(l, "FNN"); }, "121", "1,2"},
        {"plain ends with NULL", Type::ZYNSysListPlain, true, {"1", "2"},
         [](ZYNSysListStr& l) { return Walk(l, "FNNN"); }, "12NULLNULL", "1,2"},
        {"circular wraps backwards", Type::ZYNSysListCircular, true, {"1", "2", "3"},
         [](ZYNSysListStr& l) { return Walk(l, "FPP"); }, "132", "1,2,3"},
        {"last of a sorted circular list is its head", Type::ZYNSysListSortedCircular, true, {"b", "a"},
         [](ZYNSysListStr& l) { return Walk(l, "L"); }, "a", "a,b"},
        {"last of a plain list is its tail", Type::ZYNSysListPlain, true, {"b", "a"},
         [](ZYNSysListStr& l) { return Walk(l, "LPP"); }, "abNULL", "b,a"},
        {"head and tail leave the cursor", Type::ZYNSysListPlain, true, {"1", "2", "3"},
         [](ZYNSysListStr& l) { return Walk(l, "FHTN"); }, "1132", "1,2,3"},
        {"removing an absent item from a circular list", Type::ZYNSysListCircular, true, {"1", "2"},
         [](ZYNSysListStr& l) { l.Remove(static_cast<const void*>("3")); return std::to_string(l.Count()); }, "2",
         "1,2"},
        {"removing index 5 of 3", Type::ZYNSysListPlain, true, {"1", "2", "3"},
         [](ZYNSysListStr& l) { l.Remove(5ull); return std::string(); }, "", "1,2,3"},
        {"removing index 1 of 3", Type::ZYNSysListPlain, true, {"1", "2", "3"},
         [](ZYNSysListStr& l) { l.Remove(1ull); return std::string(); }, "", "1,3"},
        {"removing an item takes the first equal", Type::ZYNSysListPlain, true, {"x", "y", "x"},
         [](ZYNSysListStr& l) { l.Remove(static_cast<const void*>("x")); return std::string(); }, "", "y,x"},
        {"removing NULL removes nothing", Type::ZYNSysListPlain, true, {"1", "2"},
         [](ZYNSysListStr& l) { l.Remove(static_cast<const void*>(nullptr)); return std::string(); }, "", "1,2"},
        {"adding NULL stores nothing", Type::ZYNSysListPlain, true, {"1"},
         [](ZYNSysListStr& l) {
             const std::string added = Text(l.Add(nullptr));
             return added + std::to_string(l.Count());
         }, "NULL1", "1"},
        {"erase empties", Type::ZYNSysListSorted, false, {"1", "2"},
         [](ZYNSysListStr& l) {
             l.Reset();
             return Walk(l, "FHT") + std::to_string(l.Count());
         },
         "NULLNULLNULL0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WatchedListStr list(c.type, c.duplicates);
        for (const char* s : c.adds) list.Add(s);
        EXPECT_EQ(c.act(list), c.answers);
        EXPECT_EQ(Items(list), c.items);
    }
}

TEST(ZYNSysList, PointerListsCompareWholeAddresses) {
    // Synthetic addresses above 4 GiB that share their low halves; never dereferenced.
    const void* const low1 = P(0x100000010ull);
    const void* const low2 = P(0x200000010ull);
    struct Case {
        const char* name;
        Type type;
        bool duplicates;
        std::vector<const void*> adds;
        const void* removed;  // NULL: nothing removed
        std::vector<const void*> items;
    };
    const Case cases[] = {
        {"a unique list keeps both", Type::ZYNSysListPlain, false, {low1, low2}, nullptr, {low1, low2}},
        {"remove takes the right one", Type::ZYNSysListPlain, true, {low1, low2}, low2, {low1}},
        {"sorted lists stay descending", Type::ZYNSysListSorted, true,
         {P(0x10), low1, P(0x80000000ull), low2, P(0xffffffffull)}, nullptr,
         {low2, low1, P(0xffffffffull), P(0x80000000ull), P(0x10)}},
        {"sorted unique refuses the same address", Type::ZYNSysListSorted, false, {low2, low1, low2}, nullptr,
         {low2, low1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZYNSysListPtr list(c.type, c.duplicates);
        for (const void* p : c.adds) list.AddPtr(p);
        if (c.removed) list.Remove(c.removed);
        std::vector<const void*> items;
        for (void* p = list.GetFirst(); p; p = list.GetNext()) items.push_back(p);
        EXPECT_EQ(items, c.items);
    }
}

TEST(ZYNSysList, AFailedCopyStoresNothing) {
    WatchedListStr list(Type::ZYNSysListPlain, false);
    list.failCopies = true;
    EXPECT_EQ(list.Add("x"), nullptr);
    EXPECT_EQ(list.Count(), 0u);
    list.failCopies = false;
    EXPECT_STREQ(list.Add("y"), "y");  // a stored NULL would have refused it
    EXPECT_EQ(Items(list), "y");
}

TEST(ZYNSysList, RemovingTheCurrentItemEndsTheWalkWithoutTouchingIt) {
    struct Case {
        const char* name;
        Type type;
        std::function<void(WatchedListStr&, const char*)> remove;
    };
    const Case cases[] = {
        {"by item, plain", Type::ZYNSysListPlain, [](WatchedListStr& l, const char* s) { l.Remove(static_cast<const void*>(s)); }},
        {"by item, circular", Type::ZYNSysListCircular, [](WatchedListStr& l, const char* s) { l.Remove(static_cast<const void*>(s)); }},
        {"by index, plain", Type::ZYNSysListPlain, [](WatchedListStr& l, const char*) { l.Remove(1ull); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WatchedListStr list(c.type, true);
        for (const char* s : {"1", "2", "3"}) list.Add(s);
        std::string seen;
        int steps = 0;
        for (const char* s = list.First(); s && steps < 10; s = list.Next(), ++steps) {
            seen += s;
            if (std::strcmp(s, "2") == 0) c.remove(list, s);
        }
        EXPECT_EQ(seen, "12");
        EXPECT_EQ(list.GetPrevious(), nullptr);
        EXPECT_EQ(Items(list), "1,3");
        EXPECT_EQ(list.deletes, 1);
    }
}

// Only lists of one kind copy each other: through base references a pointer list would adopt a
// string list's strings.
static_assert(!std::is_copy_assignable_v<ZYNSysList>);
static_assert(std::is_copy_assignable_v<ZYNSysListStr> && std::is_copy_constructible_v<ZYNSysListStr>);
static_assert(std::is_copy_assignable_v<ZYNSysListPtr> && std::is_copy_constructible_v<ZYNSysListPtr>);

TEST(ZYNSysList, CopiesOwnTheirItemsAndSelfAssignmentKeepsThem) {
    WatchedListStr source(Type::ZYNSysListSorted, false);
    for (const char* s : {"b", "a"}) source.Add(s);

    ZYNSysListStr copy(source);
    EXPECT_EQ(Items(copy), "a,b");
    EXPECT_NE(copy.Head(), source.Head());
    EXPECT_EQ(copy.Add("a"), nullptr);  // the type and the refusal of duplicates came along

    ZYNSysListStr assigned(Type::ZYNSysListPlain, true);
    assigned.Add("z");
    assigned = copy;
    EXPECT_EQ(Items(assigned), "a,b");
    ZYNSysListStr& same = assigned;
    assigned = same;
    EXPECT_EQ(Items(assigned), "a,b");

    ZYNSysListPtr pointers;
    pointers.AddPtr(P(0x100000010ull));
    ZYNSysListPtr pointerCopy(pointers);
    EXPECT_EQ(pointerCopy.Head(), P(0x100000010ull));
    pointers.Erase();
    EXPECT_EQ(pointerCopy.Count(), 1u);
}
