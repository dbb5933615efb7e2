// The driver base's text work: URL normalising, user agents, header blocks, ranges, masking.

#include <gtest/gtest.h>

#include <string>

#include "FakeHttpTransport.h"

namespace {

TEST(QORHttpDriverText, NormalizeUrlLowersTheHostAndDropsTheDefaultPort) {
    struct Case {
        const char* url;
        HRESULT result;
        const char* normalised;
    } cases[] = {
        {"https://WWW.Example.COM:443/Path/X", 0, "https://www.example.com/Path/X"},
        {"https://Host:443", 0, "https://host"},
        {"http://Host:80/a", 0, "http://host/a"},
        {"http://Host:8080/a", 0, "http://host:8080/a"},
        {"http://host:443/a", 0, "http://host:443/a"},
        {"https://host:80/a", 0, "https://host:80/a"},
        {"http://h/Sidl%20Request/Sidl%20Request", 0, "http://h/Sidl+Request/Sidl%20Request"},
        {"http://", E_FAIL, "http://"},
        {"ftp://host/x", E_FAIL, "ftp://host/x"},
    };
    FakeHttpTransport driver;
    for (const Case& c : cases) {
        std::string url = c.url;
        EXPECT_EQ(driver.NormalizeUrl(url.data()), c.result) << c.url;
        EXPECT_STREQ(url.c_str(), c.normalised) << c.url;
    }
    EXPECT_EQ(driver.NormalizeUrl(nullptr), E_FAIL);
}

}  // namespace
