#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <type_traits>

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

// Answers "A key value" (Add), "R key value" (Replace), "D key" (Remove), "G key" (Get), "P" (Print),
// "F" (copies fail from now on) and "#" (live values), separated by ';', "-" standing for NULL;
// answers the results joined by spaces.
std::string RunScript(WatchedTable& table, const std::string& script) {
    std::string answers;
    std::istringstream steps(script);
    for (std::string step; std::getline(steps, step, ';');) {
        std::istringstream words(step);
        std::string op, key, value;
        words >> op >> key >> value;
        const char* k = key == "-" ? nullptr : key.c_str();
        const char* v = value == "-" ? nullptr : value.c_str();
        std::string answer;
        if (op == "A") answer = std::to_string(table.Add(k, v));
        if (op == "R") answer = std::to_string(table.Replace(k, v));
        if (op == "D") answer = std::to_string(table.Remove(k));
        if (op == "G") answer = Text(table.Get(k));
        if (op == "#") answer = std::to_string(g_liveValues);
        if (op == "P") table.Print();
        if (op == "F") table.failCopies = true;
        if (!answer.empty()) answers += (answers.empty() ? "" : " ") + answer;
    }
    return answers;
}

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
        const char* script;  // see RunScript
        const char* answers;
    };
    const Case cases[] = {
        {"a second add replaces with a copy", 512, -1, "A k 1;A k 2;G k;#", "0 0 2 1"},
        {"replace needs the key", 512, -1, "R k 1;A k 1;R k 2;G k", "-1 0 0 2"},
        {"remove frees the entry once", 512, -1, "A k 1;D k;D k;G k;#", "0 0 -1 NULL 0"},
        {"a NULL key fails everywhere", 512, -1, "A - v;R - v;D -;G -", "-1 -1 -1 NULL"},
        {"a NULL value is refused", 512, -1, "A k 1;A k -;A j -;R k -;G k;G j", "0 -1 -1 -1 1 NULL"},
        {"without a record everything fails", 0, -1, "A k v;R k v;D k;G k;P", "-1 -1 -1 NULL"},
        {"a failed copy keeps the old value", 512, -1, "A k old;F;A k new;R k new;A j new;G k;G j",
         "0 -1 -1 -1 old NULL"},
        {"flag 0 keeps one key per slot", 1, 0, "A b 1;A c 2;A a 3;A b 4;G b;G a;#", "0 -1 -1 0 4 NULL 1"},
        {"collisions are kept with a non-zero flag", 1, -1, "A b 1;A c 2;A a 3;G a;G b;G c", "0 0 0 3 1 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_liveValues = 0;
        {
            WatchedTable table(c.slots, c.collisionFlag);
            EXPECT_EQ(RunScript(table, c.script), c.answers);
        }
        EXPECT_EQ(g_liveValues, 0);
    }
}

// Only tables of one kind share a record: through base references two kinds would free each
// other's values.
static_assert(!std::is_copy_assignable_v<ZYNSysHashTable>);
static_assert(std::is_copy_assignable_v<ZYNSysHashTableStr> && std::is_copy_constructible_v<ZYNSysHashTableStr>);

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
