#include <gtest/gtest.h>

#include "server/HTTPRequest.h"

TEST(BuildURL, NoParametersLeavesTheBaseAlone) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
}

TEST(BuildURL, NamesInByteOrderEachFollowedByAmpersand) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"rv", "2"}, {"op", "hi"}}), "http://h/cgi/u?op=hi&rv=2&");
  EXPECT_EQ(HTTPRequest::BuildURL("b", {{"a", "1"}, {"Z", "2"}, {"_", "3"}}), "b?Z=2&_=3&a=1&");
}

TEST(BuildURL, NothingIsPercentEncoded) {
  EXPECT_EQ(HTTPRequest::BuildURL("b", {{"fp", "00000001%2000000002"}, {"x", "a b/c"}}),
            "b?fp=00000001%2000000002&x=a b/c&");
}

TEST(BuildURL, EmptyValueKeepsItsEqualsSign) { EXPECT_EQ(HTTPRequest::BuildURL("b", {{"fw", ""}}), "b?fw=&"); }
