// The bus text, read as WexStart reads it, and its public check.
#include "wire/bus_address.h"

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

// The same checks whether or not this build has NATS; only the verdict on a
// well-formed text differs, and then the reason says why.
TEST(BusText, NatsTextsNameServersAndABusOrSayWhatIsWrong) {
  BusAddress b;
  std::string error;
  for (const char *bad : {"nats://", "nats:///wex", "nats://h:0", "nats://h:99999", "nats://a,,b",
                          "nats://h/", "nats://h/a..b", "nats://h/a.*", "nats://h/.a", "nats://-h",
                          "nats://h_x y", "nats://[::1", "nats://[zz]:4222"}) {
    error.clear();
    EXPECT_FALSE(resolve_bus(bad, &b, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
    EXPECT_EQ(error.find("without NATS"), std::string::npos) << bad << ": " << error;
  }
  const char *good = "nats://10.0.0.1,nats.example:4300,[::1]:5000/plant-7.line_2";
#ifdef WEX_HAVE_NATS
  ASSERT_TRUE(resolve_bus(good, &b, &error)) << error;
  EXPECT_EQ(b.kind, BusAddress::Kind::kNats);
  EXPECT_EQ(b.servers, (std::vector<std::string>{"nats://10.0.0.1:4222", "nats://nats.example:4300",
                                                 "nats://[::1]:5000"}));
  EXPECT_EQ(b.name, "plant-7.line_2");
  EXPECT_EQ(format_bus_address(b),
            "nats://10.0.0.1:4222,nats.example:4300,[::1]:5000/plant-7.line_2");
  ASSERT_TRUE(resolve_bus("nats://localhost", &b, &error));
  EXPECT_EQ(b.name, "wex");
  setenv("WEX_BUS", "nats://127.0.0.1:4333/x", 1);
  ASSERT_TRUE(resolve_bus(nullptr, &b, &error));
  EXPECT_EQ(b.servers, std::vector<std::string>{"nats://127.0.0.1:4333"});
  unsetenv("WEX_BUS");
  ASSERT_TRUE(resolve_bus(":4000", &b, &error));
  EXPECT_EQ(b.kind, BusAddress::Kind::kLan) << "a LAN text after a NATS one";
#else
  EXPECT_FALSE(resolve_bus(good, &b, &error));
  EXPECT_NE(error.find("built without NATS support"), std::string::npos) << error;
  char reason[256];
  EXPECT_EQ(WexCheckBus("nats://127.0.0.1", reason, sizeof reason), 0);
  EXPECT_NE(std::string(reason).find("built without NATS support"), std::string::npos) << reason;
#endif
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
