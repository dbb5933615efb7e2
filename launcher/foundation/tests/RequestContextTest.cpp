// Request context and media item: plain values whose messages are read through a recording
// log sink. Only the configured authentication URL needs the process-wide configuration.

#include <gtest/gtest.h>

#include <stdexcept>

#include "BaseTestSupport.h"
#include "Config.h"
#include "DaemonVersion.h"
#include "Json.h"
#include "MediaInfo.h"
#include "OrdanaRequestInfo.h"

namespace {

class WithLogSink : public ::testing::Test {
protected:
    // "level:text" of every message, in order; queued ones marked "q".
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const RecordingSink::Entry& e : sink.Take())
            out.push_back((e.deferred ? "q" : "") + std::to_string(e.level) + ":" + e.text);
        return out;
    }
    RecordingSink sink;
    ScopedLogSink installedSink{sink};
};

JSON::ValuePtr Parse(const std::string& text) {
    JSON::Builder builder;
    EXPECT_EQ(builder.ParseString(text), 0) << text;
    return builder.Detach();
}

std::string Fields(const OrdanaRequestInfo& r) {
    return std::string(r.initialised ? "init" : "uninit") + "|" + r.ordanaId + "|" + r.casTgc + "|" +
           r.encryptionWsUrl + "|" + r.authWsUrl + "|" + r.ordanaUrl + "|" + r.protocolVersion.ToString();
}

const char* const kFull = R"({"cId":"u1","cCas":"TGT-1234-abcd","cEncryptWsUrl":"https://enc#frag#more",)"
                          R"("cAuthWsUrl":"https://auth","cOrdanaUrl":"https://ord","pVersion":"2.7"})";

}  // namespace

using DaemonVersionTest = WithLogSink;
using OrdanaRequestInfoTest = WithLogSink;
using MediaInfoTest = WithLogSink;

TEST_F(DaemonVersionTest, ParseAcceptsOneOrTwoNonNegativeFields) {
    struct Case {
        const char* text;
        bool ok;
        const char* parsed;  // major.minor of the out value, which starts as 9.9
        const char* last;    // last message
    };
    const Case cases[] = {
        {"5.1", true, "5.1", "10:[DaemonVersion::Parse]{Minor} index string to parse: 1"},
        {"5", true, "5.4294967295", "10:[DaemonVersion::Parse]{Major} index string to parse: 5"},
        {"7.", true, "7.4294967295", "10:[DaemonVersion::Parse]{Major} index string to parse: 7"},
        {"1.2.3", false, "9.9",
         "10:[DaemonVersion::Parse]Fail to parse version string [1.2.3] ! Too much fields. ( maximum fields count : "
         "2)"},
        {"-1.0", false, "9.9",
         "10:[DaemonVersion::Parse]The parsed [Major] index is invalid (all indexes must be positive): -1"},
        {"2.-3", false, "9.9",
         "10:[DaemonVersion::Parse]The parsed [Minor] index is invalid (all indexes must be positive): -3"},
        {"a.1", false, "9.9", "40:[DaemonVersion::Parse]Fail to convert [Major] index string to num : [a]"},
        {"2.b", false, "9.9", "40:[DaemonVersion::Parse]Fail to convert [Minor] index string to num : [b]"},
        {"", false, "9.9", "10:[DaemonVersion::Parse]Cannot parse empty string !"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        DaemonVersion out(9, 9);
        EXPECT_EQ(DaemonVersion::Parse(c.text, out), c.ok);
        EXPECT_EQ(std::to_string(out.major) + "." + std::to_string(out.minor), c.parsed);
        std::vector<std::string> messages = Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.front(), std::string("10:[DaemonVersion::Parse]try to parse version string : ") + c.text);
        EXPECT_EQ(messages.back(), c.last);
    }
    EXPECT_EQ(DaemonVersion(5, 1).ToString(), "5.1");
    EXPECT_EQ(DaemonVersion(5, DaemonVersion::kUnset).ToString(), "N/A");
    EXPECT_EQ(DaemonVersion().ToString(), "N/A");
}

TEST_F(OrdanaRequestInfoTest, BuildRefusesWhatIsNotAnObject) {
    OrdanaRequestInfo out;
    out.ordanaId = "kept";
    EXPECT_FALSE(OrdanaRequestInfo::build(nullptr, out));
    EXPECT_FALSE(OrdanaRequestInfo::build(Parse("[1]").get(), out));
    EXPECT_EQ(out.ordanaId, "kept");
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "50:[OrdanaRequestInfo::build]Invalid OrdanaInfo Object : NULL JSON value !",
                              "50:[OrdanaRequestInfo::build]Invalid OrdanaInfo Object : Incorrect JSON value type !"}));
}

TEST_F(OrdanaRequestInfoTest, MissingMembersAreLoggedAndLeftEmpty) {
    OrdanaRequestInfo out;
    ASSERT_TRUE(OrdanaRequestInfo::build(Parse(R"({"pVersion":"1.0","cId":5})").get(), out));
    EXPECT_EQ(Fields(out), "init||||||1.0");
    std::vector<std::string> missing;
    for (const std::string& m : Messages())
        if (m.find("missing attribute") != std::string::npos) missing.push_back(m);
    const std::string head = "10:[OrdanaRequestInfo::build]Invalid OrdanaInfo Object  : missing attribute [";
    EXPECT_EQ(missing, (std::vector<std::string>{
                           head + "cId]", head + "cCas]", head + "cEncryptWsUrl]",
                           "10:[OrdanaInfo::build]Invalid OrdanaInfo Object  : missing attribute [cAuthWsUrl]",
                           head + "cOrdanaUrl]"}));
}

TEST_F(OrdanaRequestInfoTest, BadVersionLeavesTheRecordUninitialised) {
    for (const char* version : {"1.2.3", "-1.0", "a.1", ""}) {
        SCOPED_TRACE(version);
        OrdanaRequestInfo out;
        out.ordanaId = "kept";
        std::string cinfo =
            R"({"cId":"u1","cCas":"t","cEncryptWsUrl":"e","cAuthWsUrl":"a","cOrdanaUrl":"o","pVersion":")";
        EXPECT_TRUE(OrdanaRequestInfo::build(Parse(cinfo + version + "\"}").get(), out));
        EXPECT_EQ(Fields(out), "uninit|kept|||||N/A");
        EXPECT_EQ(
            Messages().back(),
            std::string("50:[OrdanaRequestInfo::build]Invalid DaemonVersion definition string  [") + version + "] !");
    }
}

TEST_F(OrdanaRequestInfoTest, BuildCutsTheFragmentAndRoundTripsThroughJson) {
    OrdanaRequestInfo out;
    ASSERT_TRUE(OrdanaRequestInfo::build(Parse(kFull).get(), out));
    EXPECT_EQ(Fields(out), "init|u1|TGT-1234-abcd|https://enc|https://auth|https://ord|2.7");
    JSON::ValuePtr json = out.toJSON();
    EXPECT_EQ(json->Dump(), R"({"cId": "u1", "cCas": "TGT-1234-abcd", "cEncryptWsUrl": "https://enc", )"
                            R"("cAuthWsUrl": "https://auth", "cOrdanaUrl": "https://ord", "pVersion": "2.7"})");
    OrdanaRequestInfo again;
    ASSERT_TRUE(OrdanaRequestInfo::build(json.get(), again));
    EXPECT_EQ(Fields(again), Fields(out));
    EXPECT_EQ(
        OrdanaRequestInfo().toJSON()->Dump(),
        R"({"cId": null, "cCas": "", "cEncryptWsUrl": "", "cAuthWsUrl": "", "cOrdanaUrl": "", "pVersion": "N/A"})");
}

TEST_F(OrdanaRequestInfoTest, ToStringAndLogsNeverShowTheTicket) {
    struct Case {
        const char* ticket;
        const char* shown;
    };
    const Case cases[] = {{"TGT-1234-abcd", "TGT-***(13)"}, {"12345678", "1234***(8)"}, {"abc", "***(3)"}, {"", ""}};
    for (const Case& c : cases) {
        OrdanaRequestInfo r("u1", c.ticket, "https://enc", "https://auth", "https://ord", DaemonVersion(2, 7));
        EXPECT_EQ(r.toString(), std::string("OrdanaRequestInfo[ordanaId='u1',casTgc='") + c.shown +
                                    "',encryptionWsUrl='https://enc',authWsUrl='https://auth',ordanaUrl='https://ord',"
                                    "protocolVersion='2.7']");
    }
    OrdanaRequestInfo out;
    ASSERT_TRUE(OrdanaRequestInfo::build(Parse(kFull).get(), out));
    for (const std::string& m : Messages()) EXPECT_EQ(m.find("1234-abcd"), std::string::npos) << m;
}

VAROMET_CHILD_CASE(ConfiguredAuthUrl) {
    WriteFileBytes(ChildDir() + "\\launcher.conf", "AUTH_WS_URL=https://conf/auth\n");
    Config::Init(ChildDir() + "\\launcher.conf");
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    OrdanaRequestInfo out;
    OrdanaRequestInfo::build(Parse(kFull).get(), out);
    Say("auth", out.authWsUrl);
    Say("logged", sink.Has("[OrdanaRequestInfo::Init] set authentication Url to [https://conf/auth] from Config setup.")
                      ? "yes"
                      : "no");
    return 0;
}

TEST(OrdanaRequestInfo, ConfiguredAuthUrlReplacesTheSentOne) {
    TestFolder dir;
    ChildProcess::Result child = RunChild("ConfiguredAuthUrl", dir);
    ASSERT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_EQ(SaidOne(child.output, "auth"), "https://conf/auth");
    EXPECT_EQ(SaidOne(child.output, "logged"), "yes");
}

TEST_F(MediaInfoTest, BuiltFromJsonWithSizeAsDecimalText) {
    struct Case {
        const char* name;
        const char* json;    // null: a null value
        const char* text;    // ToString; null when construction throws
        const char* thrown;  // "invalid_argument" or "out_of_range"
    };
    const char* const kEmpty =
        "MediaInfo [fileName=, downloadLink=, desc=, cafDownloadLink=, hash=, "
        "hashAlgorithmLabel=, codelevel=, ";
    const Case cases[] = {
        {"every member",
         R"({"fileName":"a.msi","downloadLink":"https://x/a","desc":"d e","cafDownloadLink":"https://x/c",)"
         R"("hash":"ab12","hashAlgorithmLabel":"SHA-256","codelevel":"7","size":"1048576","isHF":true})",
         "MediaInfo [fileName=a.msi, downloadLink=https://x/a, desc=d e, cafDownloadLink=https://x/c, hash=ab12, "
         "hashAlgorithmLabel=SHA-256, codelevel=7, size=1048576, isHF=true, isValid=true]",
         nullptr},
        {"null value", nullptr, "size=0, isHF=false, isValid=false]", nullptr},
        {"digits then letters", R"({"size":"12abc"})", "size=12, isHF=false, isValid=true]", nullptr},
        {"hash as a number", R"({"size":" -3","hash":5,"isHF":"true"})", "size=-3, isHF=false, isValid=true]", nullptr},
        {"size as a number", R"({"size":1048576})", nullptr, "invalid_argument"},
        {"size absent", R"({"fileName":"a"})", nullptr, "invalid_argument"},
        {"size out of range", R"({"size":"99999999999999999999"})", nullptr, "out_of_range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JSON::ValuePtr value = c.json ? Parse(c.json) : nullptr;
        std::string thrown = "nothing";
        try {
            MediaInfo media(value.get());
            std::string expected = c.text ? c.text : "";
            EXPECT_EQ(media.ToString(), expected.starts_with("MediaInfo") ? expected : kEmpty + expected);
        } catch (const std::invalid_argument&) {
            thrown = "invalid_argument";
        } catch (const std::out_of_range&) {
            thrown = "out_of_range";
        }
        EXPECT_EQ(thrown, c.thrown ? c.thrown : "nothing");
    }
    EXPECT_EQ(Messages(),
              std::vector<std::string>{"50:[MediaInfo::MediaInfo]Cannot build MediaInfo form NULL JSON value !"});
}
