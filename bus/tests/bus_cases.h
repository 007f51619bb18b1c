// Cases that hold on every transport, written once and run by the LAN and
// the NATS tests on a bus of their own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "bus_harness.h"

namespace bus_test {

// The withdrawal travels ahead of rx's "sync" on the same link, so once tx
// has "sync", "a1" must find no subscription there.
inline void unbind_stops_deliveries_at_the_sender(const std::string &bus) {
  Agent rx(agent_args(bus, "rx", {"-c", "^a(.*)", "^b(.*)"}));
  Agent tx(agent_args(bus, "tx", {"-p", "1", "-c", "-s", "^sync$"}));
  std::string line;
  ASSERT_TRUE(rx.expect("connected\ttx"));
  rx.write("/unbind 0\nsync\n");
  ASSERT_TRUE(rx.expect("unbound\t0"));
  ASSERT_TRUE(tx.expect("msg\trx\t0\t0"));
  tx.write("a1\nb1\n");
  ASSERT_TRUE(tx.expect("sent\t", &line));
  EXPECT_EQ(line, "sent\t0");
  ASSERT_TRUE(rx.expect("msg\t", &line));
  EXPECT_EQ(line, "msg\ttx\t1\t1\t1");
}

}  // namespace bus_test
