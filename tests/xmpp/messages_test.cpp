#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "xmpp/xmpp.h"

namespace quillet::xmpp {
namespace {

// Runs a test body in a given time zone.
struct Zone {
  explicit Zone(const char* tz) {
    const char* old = getenv("TZ");
    saved_ = old ? old : "";
    had_ = old != nullptr;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~Zone() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::string saved_;
  bool had_;
};

constexpr double kMinute = 1.0 / 1440;
// 2007-01-01 00:00 in days since 1899-12-30.
constexpr double kJan2007 = 39083.0;

struct StampCase {
  const char* stamp;
  double expected;  // 0: unreadable
};

TEST(DelayStamp, FormsAndZones) {
  Zone east("UTC-1");  // one hour east of UTC, no daylight saving
  const StampCase cases[] = {
      {"20070101T12:00:00", kJan2007 + 13 * 60 * kMinute},
      {"2007-01-01T12:00:00Z", kJan2007 + 13 * 60 * kMinute},
      {"2007-01-01T12:00:00.250Z", kJan2007 + 13 * 60 * kMinute + 0.25 / 86400},
      {"2007-01-01T12:00:00+02:00", kJan2007 + 11 * 60 * kMinute},
      {"2007-01-01T12:00:00-00:30", kJan2007 + 13.5 * 60 * kMinute},
      {"", 0},
      {"2007-01-01", 0},
      {"2007-13-01T12:00:00Z", 0},
      {"2007-01-01T12:00:00X", 0},
      {"2007-01-01T1a:00:00Z", 0},
      {"20070101T12:00:0", 0},
  };
  for (const auto& c : cases) EXPECT_NEAR(DelayStampToLocal(c.stamp), c.expected, 1e-9) << c.stamp;
}

TEST(FontToXHTML, StyleAndLines) {
  TFontSpec f;
  f.Bold = true;
  f.Size = 10;
  f.Color = 0x0000FF;  // red in the lowest byte
  f.Name = "Sans";
  EXPECT_EQ(FontToXHTML(f, "a<b\r\nc"),
            "<html xmlns=\"http://jabber.org/protocol/xhtml-im\"><body "
            "xmlns=\"http://www.w3.org/1999/xhtml\"><span style=\"font-weight: bold;font-style: "
            "normal;font-size: 10pt; color: #FF0000; font-family: Sans; \">a&lt;b<br/>c</span>"
            "</body></html>");
  f.Bold = false;
  f.Underline = f.StrikeOut = true;
  EXPECT_NE(FontToXHTML(f, "x").find("font-weight: normal;font-style: normal;text-decoration: "
                                     "underline line-through;"),
            std::string::npos);
}

}  // namespace
}  // namespace quillet::xmpp
