// The request's id, as the extension registry logs it: a control byte of the client's comes out
// as an escape, and a line break cannot begin a line of the client's making.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ExtensionTestSupport.h"
#include "SharedData.h"
#include "UserExtension.h"

namespace {

using extension_test::ExtensionTest;

class ExtensionIdLog : public ExtensionTest {};

TEST_F(ExtensionIdLog, EveryLineThatShowsTheIdShowsItEscaped) {
    const std::string forged = "<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED";
    struct Case {
        const char* name;
        std::string raw;
        const char* shown;
    } cases[] = {{"NUL", std::string(1, '\0'), "\\0"}, {"BEL", "\a", "\\x07"},   {"BS", "\b", "\\x08"},
                 {"ESC", "\x1B", "\\x1B"},             {"0x01", "\x01", "\\x01"}, {"0x1F", "\x1F", "\\x1F"},
                 {"DEL", "\x7F", "\\x7F"},             {"CR", "\r", "\\r"},       {"LF", "\n", "\\n"}};
    // The first id takes over a session in standby: the line that says so shows it too.
    ASSERT_TRUE(SharedData::GetExtension(Request("re_ZERO_NO_ORDANA_ID"))) << sink.Dump();
    const std::string prefix = "[SharedData::GetExtension]";
    const std::string active = std::to_string(session);
    bool first = true;
    for (const Case& c : cases) {
        const std::string id = std::string("id-") + c.name + c.raw + "\n" + forged;
        const std::string shown = std::string("id-") + c.name + c.shown + "\\n" + forged;
        ASSERT_TRUE(SharedData::GetExtension(Request(id))) << c.name << "\n" << sink.Dump();
        EXPECT_TRUE(sink.Has(prefix + "try to resolve Session ID associated to this ordanaID : " + shown)) << c.name;
        EXPECT_TRUE(sink.Has(prefix + "this ordanaID '" + shown + "' associated to the current active seesion ID : " +
                             active))
            << c.name;
        if (first) {
            EXPECT_TRUE(sink.Has(prefix + "No session associted to this ordanaID '" + shown +
                                 "' found but existing session in standby on [" + active + "] , use it."))
                << c.name << "\n" << sink.Dump();
            first = false;
        }
    }
    for (const std::string& line : sink.Lines()) {
        if (!line.starts_with(prefix)) continue;
        for (const char c : line) {
            const auto u = static_cast<unsigned char>(c);
            EXPECT_FALSE(u < 0x20 || u == 0x7F) << "byte " << static_cast<int>(u) << " in: " << line;
        }
    }
}

}  // namespace
