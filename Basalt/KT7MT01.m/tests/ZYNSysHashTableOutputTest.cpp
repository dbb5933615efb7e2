// The table's diagnostic lines on standard output, checked byte for byte in a child process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "ChildProcess.h"
#include "ZYNSysHashTable.h"

namespace {

// Values that are not text: their lines show where they are.
class IntTable : public ZYNSysHashTable {
public:
    using ZYNSysHashTable::ZYNSysHashTable;
    ~IntTable() override { Erase(); }

protected:
    void* ChildCopyValue(const void* value) override {
        auto* copy = static_cast<int*>(std::malloc(sizeof(int)));
        if (copy) *copy = *static_cast<const int*>(value);
        return copy;
    }
    void ChildDeleteValue(void* value) override { std::free(value); }
    int ChildCompareKeys(const char* a, const char* b) override { return a == b ? 0 : 1; }
};

std::string Line(int number, const std::string& message) {
    char prefix[80];
    std::snprintf(prefix, sizeof prefix, "Basalt\\KT7MT01.m\\src\\ZYNSysHashTable.cpp(%8d) : ", number);
    return prefix + message + "\r\n";  // the runtime's text mode
}

}  // namespace

VAROMET_CHILD_CASE(OneSlotTableLines) {
    {
        ZYNSysHashTableStr table(1, -1);
        table.Add("b", "B");
        table.Add("a", "A");
        table.Add("c", "C");
        table.Get("c");
        table.Remove("b");
        void* a = table.Get("a");
        void* c = table.Get("c");
        std::printf("-- a %p c %p\n", a, c);
        table.Print();
    }
    {
        IntTable ints(1, -1);
        const int letters = 0x00434241;  // "ABC" if it were printed as text
        ints.Add("a", &letters);
        ints.Add("b", &letters);
        std::printf("-- a %p\n", ints.Get("a"));
        ints.Get("b");
    }
    std::fflush(stdout);
    return 0;
}

TEST(ZYNSysHashTable, OneSlotTableWritesItsLinesExactly) {
    ChildProcess::Result child = ChildProcess::Run("OneSlotTableLines");
    ASSERT_TRUE(child.started) << child.output;
    ASSERT_EQ(child.exitCode, 0u) << child.output;
    const std::string& output = child.output;
    std::smatch pointers, intPointer;
    ASSERT_TRUE(std::regex_search(output, pointers, std::regex("-- a (\\S+) c (\\S+)\r\n"))) << output;
    ASSERT_TRUE(std::regex_search(output, intPointer, std::regex("-- a (\\S+)\r\n"))) << output;
    const std::string a = pointers[1], c = pointers[2], intA = intPointer[1];
    const std::string expected =
        Line(102, "Collision @ 0 ('b' <--> 'c')") +
        Line(490, "Duplicated pair 'a' == 'A'") +
        Line(490, "Duplicated pair 'b' == 'B'") +
        Line(194, "Duplicated pair 'b' == 'B'") +
        Line(490, "Duplicated pair 'a' == 'A'") +
        "-- a " + a + " c " + c + "\r\n" +
        Line(255, "==========================================") +
        Line(259, "Slot [0]") +
        Line(264, "Key 'a' (" + a + ")") +
        Line(264, "Key 'c' (" + c + ")") +
        Line(268, "------------------------------------------") +
        Line(422, "!! Collision slot for key 'a' !!") +
        Line(102, "Collision @ 0 ('a' <--> 'b')") +
        "-- a " + intA + "\r\n" +
        Line(490, "Duplicated pair 'a' == '" + intA + "'") +
        Line(422, "!! Collision slot for key 'a' !!");
    EXPECT_EQ(output, expected);
}
