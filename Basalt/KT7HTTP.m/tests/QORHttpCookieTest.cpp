#include <gtest/gtest.h>

#include "QORHttpCookie.h"

TEST(QORHttpCookie, DomainHashSkipsOneLeadingDot) {
    EXPECT_EQ(QORHttpCookieDomainHash(".example.com"), QORHttpCookieDomainHash("example.com"));
}
