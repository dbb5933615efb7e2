#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WStringList.h"

namespace {

using Texts = std::vector<std::wstring>;

std::wstring Text(const SharedWString& s) {
    return std::wstring(s.c_str(), static_cast<std::size_t>(s.GetLength()));
}

Texts Items(const WStringList& list) {
    Texts items;
    for (WStringList::Iterator it(&list); const SharedWString* item = it.Next();) items.push_back(Text(*item));
    return items;
}

}  // namespace

TEST(WStringList, InsertPlacesItemsAndRejectsPositionsOutsideTheList) {
    WStringList list;
    EXPECT_EQ(list.Insert(0, L"b"), S_OK);
    EXPECT_EQ(list.Insert(0, L"a"), S_OK);
    EXPECT_EQ(list.Insert(2, L"d"), S_OK);
    EXPECT_EQ(list.Insert(2, L"c"), S_OK);
    EXPECT_EQ(list.Append(L"e"), S_OK);  // past the first block of 4
    EXPECT_EQ(list.Insert(6, L"x"), E_FAIL);
    EXPECT_EQ(list.Insert(-1, L"x"), E_FAIL);
    EXPECT_EQ(Items(list), (Texts{L"a", L"b", L"c", L"d", L"e"}));
}

TEST(WStringList, InsertingAnItemOfTheListItselfCopiesItFirst) {
    struct Case {
        const char* name;
        std::int32_t count, position, source;
        Texts items;
    };
    const Case cases[] = {
        {"full block moves: last item to the front", 4, 0, 3, {L"3", L"0", L"1", L"2", L"3"}},
        {"full block moves: first item to the end", 4, 4, 0, {L"0", L"1", L"2", L"3", L"0"}},
        {"room left, slots shift: first item to the middle", 3, 1, 0, {L"0", L"0", L"1", L"2"}},
        {"room left, slots shift: the item at the position", 3, 1, 2, {L"0", L"2", L"1", L"2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WStringList list;
        for (std::int32_t i = 0; i < c.count; ++i) list.Append(std::to_wstring(i).c_str());
        ASSERT_EQ(list.Insert(c.position, *list.ItemAt(c.source)), S_OK);
        EXPECT_EQ(Items(list), c.items);
    }
}

TEST(WStringList, PopsTakeFromEitherEndAndFailWhenEmpty) {
    WStringList list(L"a", L"b");
    list.Append(L"c");
    SharedWString out;
    ASSERT_EQ(list.PopFront(out), S_OK);
    EXPECT_EQ(Text(out), L"a");
    EXPECT_EQ(Items(list), (Texts{L"b", L"c"}));
    ASSERT_EQ(list.PopBack(out), S_OK);
    EXPECT_EQ(Text(out), L"c");
    ASSERT_EQ(list.PopFront(out), S_OK);
    EXPECT_EQ(Text(out), L"b");
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.PopFront(out), E_FAIL);
    EXPECT_EQ(list.PopBack(out), E_FAIL);
    EXPECT_EQ(Text(out), L"b");
}

TEST(WStringList, ItemsHoldOneReferenceEachUntilRemoved) {
    SharedWString s(L"x");
    {
        WStringList list(s, s);
        for (int i = 0; i < 10; ++i) list.Insert(1, s);  // shifts and growth move the handles as bytes
        EXPECT_EQ(s.GetRefCount(), 13u);
        SharedWString out;
        ASSERT_EQ(list.PopFront(out), S_OK);  // moved out, not copied
        EXPECT_EQ(s.GetRefCount(), 13u);
        ASSERT_EQ(list.PopBack(out), S_OK);
        EXPECT_EQ(s.GetRefCount(), 12u);
        ASSERT_EQ(list.GetAt(0, out), S_OK);
        EXPECT_EQ(s.GetRefCount(), 12u);
        list.Clear();
        EXPECT_EQ(s.GetRefCount(), 2u);
        EXPECT_TRUE(list.IsEmpty());
        EXPECT_EQ(list.Append(s), S_OK);
    }
    EXPECT_EQ(s.GetRefCount(), 1u);
}

TEST(WStringList, ReadsOutsideTheListAnswerNothing) {
    WStringList list(L"a");
    SharedWString out(L"keep");
    for (std::int32_t index : {-1, 1}) {
        EXPECT_EQ(list.GetAt(index, out), E_FAIL) << index;
        EXPECT_EQ(list.ItemAt(index), nullptr) << index;
    }
    EXPECT_EQ(Text(out), L"keep");
    WStringList empty;
    WStringList::Iterator overEmpty(&empty), overNothing(nullptr);
    EXPECT_TRUE(overEmpty.AtEnd());
    EXPECT_EQ(overEmpty.Next(), nullptr);
    EXPECT_TRUE(overNothing.AtEnd());
    EXPECT_EQ(overNothing.Next(), nullptr);
}
