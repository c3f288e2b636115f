#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "base/console.h"
#include "base/text.h"
#include "base/win.h"

namespace {

TEST(TextFormat, WritesWideStringsAsUtf8AndStopsAtAnUnknownConversion) {
    EXPECT_EQ(FormatText("'%ls' %s", L"C:\\\u00E9t\u00E9\\\u20AC\U0001F600", "x"),
              "'C:\\\xC3\xA9t\xC3\xA9\\\xE2\x82\xAC\xF0\x9F\x98\x80' x");
    EXPECT_EQ(FormatText("[%ls]", static_cast<const wchar_t*>(nullptr)), "[(null)]");
    EXPECT_EQ(FormatText("%d %f then %s", 1, 2.5, "unread"), "1 %f then %s");
}

// Without administrator rights install and uninstall end on "access denied"; say what to do.
TEST(ConsoleText, OnlyAccessDeniedAsksForAnElevatedPrompt) {
    EXPECT_NE(strstr(ElevationHint(ERROR_ACCESS_DENIED), "elevated prompt"), nullptr);
    EXPECT_STREQ(ElevationHint(ERROR_SERVICE_DOES_NOT_EXIST), "");
}

}  // namespace
