#include <gtest/gtest.h>

#include <string>

#include "QORHttpTools.h"

namespace {

TEST(HeaderToLower, LowersHeaderNamesOnly) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n";
    HeaderToLower(head.data());
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\ncontent-length: 5\r\n");
}

}  // namespace
