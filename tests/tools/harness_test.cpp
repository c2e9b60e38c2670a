// The console harness as a program, driven through pipes: a slave without its port, and
// a slave and a master exchanging the u and t test messages over TCP loopback inside a network
// namespace of the test's own and over two joined pseudo-terminals. Each side must print
// the exact dump of what the other sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kHarness = HARNESS_PATH;
const std::string kPrompt = "\nwaiting for user input :";

void finish_with_x(Child& p) {
  p.send("x");
  EXPECT_EQ(p.finish(), 0) << p.output();
  EXPECT_EQ(p.output().substr(std::max<size_t>(p.output().size(), 14) - 14), "Disconnecting\n");
}

// One harness program and the sequence numbers it has used: [0] for u (datagram
// class), [1] for t (stream class); each class counts from 1 in its own counter.
struct Side {
  Child& p;
  unsigned seq[2] = {0, 0};
  size_t seen = 0;  // output already matched
};

// Sends key on from until to prints the dump of one of the copies sent. A datagram sent
// while the other side is still (re)starting is lost, and nothing tells the operator
// when a restart has finished, so the key is repeated; the dump must still be exactly
// one of the messages sent: type, command 0, length 8, sequence.
void exchange(Side& from, Side& to, char key) {
  const bool stream = key == 't';
  const std::string sent = std::string("\nsent ") + (stream ? "T" : "U") + kPrompt;
  std::vector<std::string> dumps;
  for (int attempt = 0; attempt < 10; ++attempt) {
    size_t before = from.p.output().size();
    ASSERT_TRUE(from.p.send(std::string(1, key)));
    char d[128];
    std::snprintf(d, sizeof d, "received 8 bytes\n %02x  00  08  00 \n %02x  00  00  00 \n", stream ? 0x82 : 0x99,
                  ++from.seq[stream]);
    dumps.push_back(d);
    ASSERT_NE(from.p.wait_for(sent, before), std::string::npos) << from.p.output();
    size_t at = to.p.wait_for_any(dumps, to.seen, 3000);
    if (at != std::string::npos) {
      to.seen = at;
      return;
    }
  }
  ADD_FAILURE() << "no dump of " << dumps.front() << "in: " << to.p.output();
}

// Both ways, then r on each side (each restarts in its own role and its sequence
// numbers go on), both ways again, and x on each side.
void exchange_restart_and_end(Child& slave_p, Child& master_p) {
  Side slave{slave_p}, master{master_p};
  for (Child* p : {&slave_p, &master_p}) EXPECT_EQ(p->output().find("error"), std::string::npos) << p->output();
  for (int round = 0; round < 2; ++round) {
    for (Child* p : {&slave_p, &master_p}) {
      size_t from = p->output().size();
      EXPECT_TRUE(round == 0 || (p->send("r") && p->wait_for("\nReset initiated\n", from) != std::string::npos));
    }
    for (char key : {'u', 't'}) exchange(master, slave, key);
    for (char key : {'u', 't'}) exchange(slave, master, key);
  }
  finish_with_x(master_p);
  finish_with_x(slave_p);
  for (Child* p : {&slave_p, &master_p})
    EXPECT_EQ(p->output().find("restart connection error"), std::string::npos) << p->output();
}

TEST(HarnessLink, EthernetSlaveAndMasterOverLoopback) {
  // A network and host-name namespace held open by a sleeping process: loopback up and
  // the host name "localhost", so that the slave's own host name resolves to loopback
  // and port 8881 is private to the test.
  Child ns;
  const char* up = "ip link set lo up && hostname localhost && echo ready && exec sleep 600";
  ASSERT_TRUE(ns.start({"unshare", "-u", "-n", "sh", "-c", up}) && ns.wait_for("ready\n") != std::string::npos)
      << "cannot make a network namespace (root needed): " << ns.output();
  auto inside = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"nsenter", "-t", std::to_string(ns.pid()), "-u", "-n", "--"});
    return argv;
  };
  Child slave, master;
  ASSERT_TRUE(slave.start(inside({kHarness, "e"})));
  ASSERT_NE(slave.wait_for("I am localhost\nslave waiting\n" + kPrompt), std::string::npos) << slave.output();
  ASSERT_TRUE(master.start(inside({kHarness, "e", "localhost"})));
  ASSERT_NE(master.wait_for("I am localhost\n" + kPrompt), std::string::npos) << master.output();
  exchange_restart_and_end(slave, master);
}

TEST(HarnessLink, SerialSlaveAndMasterOverJoinedTerminals) {
  TempRoot root;
  root.mkdir("dev");
  const std::string env = "QUMEX_ROOT=" + root.path();
  {  // A slave on a port that does not exist reports the error, waits anyway, and leaves
     // at x with a disconnect.
    Child p;
    ASSERT_TRUE(p.start({kHarness, "s"}, {env}));
    size_t at = p.wait_for("slave make connection error ");
    ASSERT_NE(at, std::string::npos) << p.output();
    EXPECT_NE(p.wait_for("slave waiting\n" + kPrompt, at), std::string::npos);
    p.send("ur");
    EXPECT_NE(p.wait_for("\nReset initiated\nSlave restart connection error : ", at), std::string::npos);
    finish_with_x(p);
    EXPECT_NE(p.output().find("\nsent U" + kPrompt), std::string::npos);
  }
  Child cable;
  ASSERT_TRUE(cable.start({"socat", "pty,link=" + root.path() + "/dev/COM1,raw,echo=0",
                           "pty,link=" + root.path() + "/dev/COM2,raw,echo=0"}));
  for (int i = 0; i < 200 && !(root.exists("dev/COM1") && root.exists("dev/COM2")); ++i) usleep(50000);
  ASSERT_TRUE(root.exists("dev/COM1") && root.exists("dev/COM2")) << cable.output();
  Child slave, master;
  ASSERT_TRUE(slave.start({kHarness, "s"}, {env}));  // COM2 by default
  ASSERT_NE(slave.wait_for("slave waiting\n" + kPrompt), std::string::npos) << slave.output();
  ASSERT_TRUE(master.start({kHarness, "sCOM1", "m"}, {env}));
  ASSERT_NE(master.wait_for(kPrompt), std::string::npos) << master.output();
  exchange_restart_and_end(slave, master);
}

}  // namespace
