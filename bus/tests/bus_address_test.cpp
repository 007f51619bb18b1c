// The bus text, read as WexStart reads it, and its public check.
#include "bus_address.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "wex.h"

using namespace wex;

namespace {

TEST(BusText, ParsesDefaultsAndRefusesNonsense) {
  unsetenv("WEX_BUS");
  BusAddress b;
  std::string error;
  ASSERT_TRUE(resolve_bus("", &b, &error));
  EXPECT_EQ(format_bus_address(b), "127.255.255.255:3110");
  EXPECT_TRUE(b.loopback);
  ASSERT_TRUE(resolve_bus(":4000", &b, &error));
  EXPECT_EQ(b.port, 4000);
  ASSERT_TRUE(resolve_bus("239.1.2.3", &b, &error));
  EXPECT_TRUE(b.multicast);
  EXPECT_EQ(b.port, WEX_DEFAULT_PORT);
  for (const char *bad : {"1.2.3", "1.2.3.4.5", "0x7f.0.0.1", "256.0.0.1", ":", ":0", ":65536",
                          ":-1", ": 80", "host.example:80", "1.2.3.4:80x"}) {
    error.clear();
    EXPECT_FALSE(resolve_bus(bad, &b, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  EXPECT_TRUE(resolve_bus("127.255.255.255:80", &b, &error));
  EXPECT_FALSE(resolve_bus("127.0.0.1:80", &b, &error)) << "a unicast address reaches one agent";
  EXPECT_NE(error.find("neither a broadcast address nor a multicast group"), std::string::npos);
}

TEST(BusText, EmptyTextMeansTheEnvironmentAndThePublicCheckSaysWhy) {
  setenv("WEX_BUS", "10.1", 1);
  char reason[256] = "untouched";
  EXPECT_EQ(WexCheckBus(nullptr, reason, sizeof reason), 0);
  EXPECT_STREQ(
      reason,
      "bus \"10.1\" (from $WEX_BUS): bad address \"10.1\" (want a dotted-quad IPv4 address)");
  EXPECT_EQ(WexCheckBus(":5000", reason, sizeof reason), 1) << "a text of its own wins";
  EXPECT_STREQ(reason, "");
  char small[8];
  EXPECT_EQ(WexCheckBus("", small, sizeof small), 0);
  EXPECT_STREQ(small, "bus \"10");
  EXPECT_EQ(WexCheckBus("", nullptr, 0), 0);
  unsetenv("WEX_BUS");
  EXPECT_EQ(WexCheckBus("", nullptr, 0), 1);
}

}  // namespace
