#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ZYNSysHashTable.h"

namespace {

int g_liveValues = 0;  // values copied in and not yet freed, over every WatchedTable

// A string-valued table that counts its live values and can be told to fail its copies.
class WatchedTable : public ZYNSysHashTableStr {
public:
    using ZYNSysHashTableStr::ZYNSysHashTableStr;
    using ZYNSysHashTable::ChildHashFunction;
    ~WatchedTable() override { Erase(); }
    bool failCopies = false;

protected:
    void* ChildCopyValue(const void* value) override {
        if (failCopies) return nullptr;
        void* copy = ZYNSysHashTableStr::ChildCopyValue(value);
        if (copy) ++g_liveValues;
        return copy;
    }
    void ChildDeleteValue(void* value) override {
        if (value) --g_liveValues;
        ZYNSysHashTableStr::ChildDeleteValue(value);
    }
};

std::string Text(const void* value) { return value ? static_cast<const char*>(value) : "NULL"; }

}  // namespace

TEST(ZYNSysHashTable, KeysHashWithDjb2OverSignedBytes) {
    struct Case {
        const char* key;
        unsigned long hash;
    };
    const Case cases[] = {
        {"a", 177670ul}, {"", 5381ul}, {"ab", 5863208ul}, {"\xe9", 177550ul},
        {"Basalt\\KT7MT01.m", 3831526123ul}, {"\xff\xff\xff\xff\xff\xff\xff\xff", 1074751101ul},
    };
    WatchedTable table;
    for (const Case& c : cases) {
        EXPECT_EQ(table.ChildHashFunction(c.key), c.hash) << "key '" << c.key << "'";
    }
}

TEST(ZYNSysHashTable, OperationsAnswerAndKeepValuesAsDocumented) {
    struct Case {
        const char* name;
        int slots, collisionFlag;
        std::function<std::string(WatchedTable&)> act;  // answers joined by spaces
        const char* answers;
    };
    using S = std::string;
    const Case cases[] = {
        {"a second add replaces with a copy", 512, -1,
         [](WatchedTable& t) {
             const int first = t.Add("k", "1"), second = t.Add("k", "2");
             return S() + std::to_string(first) + " " + std::to_string(second) + " " + Text(t.Get("k")) + " " +
                    std::to_string(g_liveValues);
         },
         "0 0 2 1"},
        {"replace needs the key", 512, -1,
         [](WatchedTable& t) {
             const int absent = t.Replace("k", "1");
             t.Add("k", "1");
             const int present = t.Replace("k", "2");
             return std::to_string(absent) + " " + std::to_string(present) + " " + Text(t.Get("k"));
         },
         "-1 0 2"},
        {"remove frees the entry once", 512, -1,
         [](WatchedTable& t) {
             t.Add("k", "1");
             const int present = t.Remove("k"), absent = t.Remove("k");
             return std::to_string(present) + " " + std::to_string(absent) + " " + Text(t.Get("k")) + " " +
                    std::to_string(g_liveValues);
         },
         "0 -1 NULL 0"},
        {"a NULL key fails everywhere", 512, -1,
         [](WatchedTable& t) {
             const int add = t.Add(nullptr, "v"), replace = t.Replace(nullptr, "v"), remove = t.Remove(nullptr);
             return std::to_string(add) + " " + std::to_string(replace) + " " + std::to_string(remove) + " " +
                    Text(t.Get(nullptr));
         },
         "-1 -1 -1 NULL"},
        {"a NULL value is refused", 512, -1,
         [](WatchedTable& t) {
             t.Add("k", "1");
             const int add = t.Add("k", nullptr), fresh = t.Add("j", nullptr), replace = t.Replace("k", nullptr);
             return std::to_string(add) + " " + std::to_string(fresh) + " " + std::to_string(replace) + " " +
                    Text(t.Get("k")) + " " + Text(t.Get("j"));
         },
         "-1 -1 -1 1 NULL"},
        {"without a record everything fails", 0, -1,
         [](WatchedTable& t) {
             const int add = t.Add("k", "v"), replace = t.Replace("k", "v"), remove = t.Remove("k");
             t.Print();
             return std::to_string(add) + " " + std::to_string(replace) + " " + std::to_string(remove) + " " +
                    Text(t.Get("k"));
         },
         "-1 -1 -1 NULL"},
        {"a failed copy keeps the old value", 512, -1,
         [](WatchedTable& t) {
             t.Add("k", "old");
             t.failCopies = true;
             const int add = t.Add("k", "new"), replace = t.Replace("k", "new"), fresh = t.Add("j", "new");
             t.failCopies = false;
             return std::to_string(add) + " " + std::to_string(replace) + " " + std::to_string(fresh) + " " +
                    Text(t.Get("k")) + " " + Text(t.Get("j"));
         },
         "-1 -1 -1 old NULL"},
        {"flag 0 keeps one key per slot", 1, 0,
         [](WatchedTable& t) {
             const int b = t.Add("b", "1"), behind = t.Add("c", "2"), ahead = t.Add("a", "3"), same = t.Add("b", "4");
             return std::to_string(b) + " " + std::to_string(behind) + " " + std::to_string(ahead) + " " +
                    std::to_string(same) + " " + Text(t.Get("b")) + " " + Text(t.Get("a")) + " " +
                    std::to_string(g_liveValues);
         },
         "0 -1 -1 0 4 NULL 1"},
        {"collisions are kept with a non-zero flag", 1, -1,
         [](WatchedTable& t) {
             const int b = t.Add("b", "1"), behind = t.Add("c", "2"), ahead = t.Add("a", "3");
             return std::to_string(b) + " " + std::to_string(behind) + " " + std::to_string(ahead) + " " +
                    Text(t.Get("a")) + Text(t.Get("b")) + Text(t.Get("c"));
         },
         "0 0 0 312"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_liveValues = 0;
        {
            WatchedTable table(c.slots, c.collisionFlag);
            EXPECT_EQ(c.act(table), c.answers);
        }
        EXPECT_EQ(g_liveValues, 0);
    }
}

TEST(ZYNSysHashTable, CopiesShareOneRecordAndFreeItOnce) {
    g_liveValues = 0;
    {
        WatchedTable table;
        table.Add("k", "1");
        {
            WatchedTable copy(table);
            copy.Add("j", "2");
            EXPECT_EQ(Text(table.Get("j")), "2");
        }
        EXPECT_EQ(Text(table.Get("k")), "1");  // the copy's end left the record alone

        WatchedTable other;
        other.Add("x", "3");
        other = table;  // lets go of its own record
        EXPECT_EQ(g_liveValues, 2);
        EXPECT_EQ(Text(other.Get("x")), "NULL");
        WatchedTable& same = other;
        other = same;
        EXPECT_EQ(Text(other.Get("k")), "1");
    }
    EXPECT_EQ(g_liveValues, 0);
}
