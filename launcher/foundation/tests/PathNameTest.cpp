#include "PathName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PathName, NormalisesSeparatorsAndFindsTheRoot) {
    struct Case {
        const char* input;
        const char* text;
        std::int64_t rootEnd;
    } cases[] = {
        {"C:/a//b/", "C:\\a\\b", 1},
        {"C:\\", "C:", 1},
        {"z:x", "z:x", 1},
        {"\\\\srv\\share\\x", "\\\\srv\\share\\x", 10},
        {"//srv/share/", "\\\\srv\\share", 10},
        {"\\\\\\srv\\\\share", "\\\\srv\\share", 10},  // three leading become two
        {"a\\\\b\\\\\\c", "a\\b\\c", -1},
        {"\\x", "\\x", -1},
        {"x", "x", -1},
        {"1:\\x", "", -1},
        {"\\\\srv", "", -1},
        {"\\\\srv\\", "", -1},
        {"\\\\", "", -1},
    };
    for (const Case& c : cases) {
        PathName path{std::string(c.input)};
        EXPECT_EQ(path.GetText(), c.text) << c.input;
        EXPECT_EQ(path.GetRootEnd(), c.rootEnd) << c.input;
    }
}

TEST(PathName, ParentStopsAtTheRoot) {
    struct Case {
        const char* input;
        const char* parent;
        std::int64_t rootEnd;
    } cases[] = {
        {"C:\\a\\b", "C:\\a", 1}, {"C:\\a", "C:", 1}, {"C:", "", -1},
        {"\\\\srv\\share\\x", "\\\\srv\\share", 10}, {"\\\\srv\\share", "", -1},
        {"a\\b", "a", -1}, {"a", "", -1}, {"\\x", "", -1},
    };
    for (const Case& c : cases) {
        PathName parent = PathName(std::string(c.input)).GetParent();
        EXPECT_EQ(parent.GetText(), c.parent) << c.input;
        EXPECT_EQ(parent.GetRootEnd(), c.rootEnd) << c.input;
    }
}

TEST(PathName, CombineAndAppendJoinWithOneSeparator) {
    struct Case {
        const char* base;
        const char* other;
        const char* combined;
        std::int64_t rootEnd;
    } cases[] = {
        {"C:\\a", "D:\\b", "D:\\b", 1},
        {"C:\\a", "b", "C:\\a\\b", 1},
        {"C:\\a", "", "C:\\a", 1},
        {"a", "\\b", "a\\b", -1},
        {"\\\\srv\\share", "x/y/", "\\\\srv\\share\\x\\y", 10},
        {"", "b", "b", -1},  // not "\b", the current drive's root
        {"", "", "", -1},
    };
    for (const Case& c : cases) {
        PathName combined = PathName(std::string(c.base)).Combine(PathName(std::string(c.other)));
        EXPECT_EQ(combined.GetText(), c.combined) << c.base << " + " << c.other;
        EXPECT_EQ(combined.GetRootEnd(), c.rootEnd) << c.base << " + " << c.other;
        PathName appended{std::string(c.base)};
        appended.Append(c.other);
        if (PathName(std::string(c.other)).GetRootEnd() < 0) {
            EXPECT_EQ(appended.GetText(), c.combined) << c.base << " append " << c.other;
        }
    }
    PathName empty;
    empty.Append("C:\\x");
    EXPECT_EQ(empty.GetRootEnd(), 1) << "a rooted component onto nothing keeps its root";
}

TEST(PathName, WideFormsRoundTripAndUnconvertibleTextGivesNothing) {
    PathName base{std::string("C:\\a")};
    PathName child = base.Append(SharedWString(L"\u00FC\U0001F600"));
    EXPECT_EQ(child.GetText(), "C:\\a\\\xC3\xBC\xF0\x9F\x98\x80");
    EXPECT_EQ(child.ToWide(), SharedWString(L"C:\\a\\\u00FC\U0001F600"));
    const wchar_t lone[] = {L'x', 0xD800, 0};
    // Appending a component that has no UTF-8 form must not give the folder itself.
    EXPECT_TRUE(base.Append(SharedWString(lone)).IsEmpty());
    EXPECT_TRUE(PathName(SharedWString(lone)).IsEmpty());
    EXPECT_TRUE(PathName(std::string("C:\\\xFF")).ToWide().IsEmpty());
}

TEST(PathName, FindCharSearchesFromStart) {
    struct Case {
        char c;
        std::int64_t start, found;
    } cases[] = {{'\\', 0, 2}, {'\\', 2, 2}, {'\\', 3, 4}, {'\\', 5, -1}, {'x', 0, -1}, {'C', 99, -1}, {'C', -1, -1}};
    PathName path{std::string("C:\\a\\b")};
    for (const Case& c : cases) EXPECT_EQ(path.FindChar(c.c, c.start), c.found) << c.c << " from " << c.start;
}

}  // namespace
