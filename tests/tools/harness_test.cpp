// The console harness as a program, driven through pipes: alone, and as a slave and a
// master exchanging the u and t test messages over TCP loopback inside a network
// namespace of the test's own and over two joined pseudo-terminals. Each side must
// print the exact dump of what the other sent.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "commlib/harness/harness.h"
#include "tests/support/temp_root.h"
#include "tests/tools/child_process.h"

namespace fs = std::filesystem;

namespace {

const std::string kHarness = HARNESS_PATH;
const std::string kPrompt = "\nwaiting for user input :";

std::string host_name() {
  char h[256] = "";
  gethostname(h, sizeof h);
  return std::string(h).substr(0, 32);
}

TEST(Harness, WithoutArgumentsAsksForTheSlaveAndFails) {
  ChildProcess p;
  ASSERT_TRUE(p.start({kHarness}));
  EXPECT_EQ(p.finish(), 4);
  EXPECT_EQ(p.output(),
            "debug messages enabled\nI am " + host_name() + "\nneed   s/e and id of slave\n");
}

TEST(Harness, DumpsFourBytesToALine) {
  char* text = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&text, &len);
  ASSERT_NE(out, nullptr);
  const unsigned char nine[9] = {0x99, 0, 8, 0, 1, 0, 0, 0, 0xff};
  harness_dump(out, nine, 9);
  harness_dump(out, nine, 1);
  std::fclose(out);
  EXPECT_EQ(std::string(text, len),
            "received 9 bytes\n 99  00  08  00 \n 01  00  00  00 \n ff \n"
            "received 1 bytes\n 99 \n");
  std::free(text);
}

// The dump of an 8-byte message without payload: type, command 0, length 8, sequence.
std::string dump8(unsigned type, unsigned seq) {
  char text[128];
  std::snprintf(text, sizeof text, "received 8 bytes\n %02x  00  08  00 \n %02x  00  00  00 \n",
                type, seq);
  return text;
}

// One harness program and the sequence numbers it has used: [0] for u (datagram
// class), [1] for t (stream class); each class counts from 1 in its own counter.
struct Side {
  ChildProcess& p;
  unsigned seq[2] = {0, 0};
  size_t seen = 0;  // output already matched
};

// Sends key on from until to prints the dump of one of the copies sent. A datagram sent
// while the other side is still (re)starting is lost, and nothing tells the operator
// when a restart has finished, so the key is repeated; the dump must still be exactly
// one of the messages sent.
void exchange(Side& from, Side& to, char key) {
  const bool stream = key == 't';
  const unsigned type = stream ? 0x82 : 0x99;
  const std::string sent = stream ? "\nsent T" + kPrompt : "\nsent U" + kPrompt;
  std::vector<std::string> dumps;
  for (int attempt = 0; attempt < 10; ++attempt) {
    size_t before = from.p.output().size();
    ASSERT_TRUE(from.p.send(std::string(1, key)));
    dumps.push_back(dump8(type, ++from.seq[stream]));
    ASSERT_NE(from.p.wait_for(sent, before), std::string::npos) << from.p.output();
    size_t at = to.p.wait_for_any(dumps, to.seen, 3000);
    if (at != std::string::npos) {
      to.seen = at;
      return;
    }
  }
  ADD_FAILURE() << "no dump of " << dumps.front() << "in: " << to.p.output();
}

void exchange_both_ways(Side& slave, Side& master) {
  exchange(master, slave, 'u');
  exchange(master, slave, 't');
  exchange(slave, master, 'u');
  exchange(slave, master, 't');
}

void finish_with_x(ChildProcess& p) {
  p.send("x");
  EXPECT_EQ(p.finish(), 0) << p.output();
  EXPECT_GE(p.output().size(), 14u);
  EXPECT_EQ(p.output().substr(p.output().size() - 14), "Disconnecting\n");
}

// Both ways, then r on each side (each restarts in its own role and its sequence
// numbers go on), both ways again, and x on each side.
void exchange_restart_and_end(ChildProcess& slave_p, ChildProcess& master_p) {
  Side slave{slave_p}, master{master_p};
  exchange_both_ways(slave, master);
  for (ChildProcess* p : {&slave_p, &master_p}) {
    size_t from = p->output().size();
    p->send("r");
    EXPECT_NE(p->wait_for("\nReset initiated\n", from), std::string::npos);
  }
  exchange_both_ways(slave, master);
  finish_with_x(master_p);
  finish_with_x(slave_p);
  for (ChildProcess* p : {&slave_p, &master_p}) {
    EXPECT_EQ(p->output().find("restart connection error"), std::string::npos) << p->output();
  }
}

// A network and host-name namespace held open by a sleeping process: loopback up and
// the host name "localhost", so that the slave's own host name resolves to loopback and
// port 8881 is private to the test.
class Netns {
 public:
  bool start() {
    if (!holder_.start({"/usr/bin/unshare", "-u", "-n", "/bin/sh", "-c",
                        "ip link set lo up && hostname localhost && echo ready && exec sleep 600"}))
      return false;
    return holder_.wait_for("ready\n") != std::string::npos;
  }
  std::vector<std::string> inside(std::vector<std::string> argv) {
    std::vector<std::string> full = {"/usr/bin/nsenter", "-t", std::to_string(holder_.pid()),
                                     "-u", "-n", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
  }
  const std::string& output() const { return holder_.output(); }

 private:
  ChildProcess holder_;
};

TEST(HarnessLink, EthernetSlaveAndMasterOverLoopback) {
  Netns ns;
  ASSERT_TRUE(ns.start()) << "cannot make a network namespace (root needed): " << ns.output();
  ChildProcess slave, master;
  ASSERT_TRUE(slave.start(ns.inside({kHarness, "e"})));
  ASSERT_NE(slave.wait_for("I am localhost\nslave waiting\n" + kPrompt), std::string::npos)
      << slave.output();
  ASSERT_TRUE(master.start(ns.inside({kHarness, "e", "localhost"})));
  ASSERT_NE(master.wait_for("I am localhost\n" + kPrompt), std::string::npos) << master.output();
  EXPECT_EQ(master.output().find("error"), std::string::npos) << master.output();
  exchange_restart_and_end(slave, master);
}

TEST(HarnessLink, SerialSlaveAndMasterOverJoinedTerminals) {
  TempRoot root;
  root.mkdir("dev");
  std::string com1 = root.path() + "/dev/COM1", com2 = root.path() + "/dev/COM2";
  ChildProcess cable;
  ASSERT_TRUE(cable.start({"/usr/bin/socat", "pty,link=" + com1 + ",raw,echo=0",
                           "pty,link=" + com2 + ",raw,echo=0"}));
  for (int i = 0; i < 200 && !(fs::exists(com1) && fs::exists(com2)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(fs::exists(com1) && fs::exists(com2)) << cable.output();

  std::string env = "QUMEX_ROOT=" + root.path();
  ChildProcess slave, master;
  ASSERT_TRUE(slave.start({kHarness, "s"}, {env}));  // COM2 by default
  ASSERT_NE(slave.wait_for("slave waiting\n" + kPrompt), std::string::npos) << slave.output();
  ASSERT_TRUE(master.start({kHarness, "sCOM1", "m"}, {env}));
  ASSERT_NE(master.wait_for(kPrompt), std::string::npos) << master.output();
  EXPECT_EQ(slave.output().find("error"), std::string::npos) << slave.output();
  EXPECT_EQ(master.output().find("error"), std::string::npos) << master.output();
  exchange_restart_and_end(slave, master);
}

// A serial slave on a port that does not exist reports the error, waits anyway, and
// leaves at x with a disconnect.
TEST(Harness, SerialSlaveReportsAMissingPortAndGoesOn) {
  TempRoot root;
  root.mkdir("dev");
  ChildProcess p;
  ASSERT_TRUE(p.start({kHarness, "s"}, {"QUMEX_ROOT=" + root.path()}));
  size_t at = p.wait_for("slave make connection error ");
  ASSERT_NE(at, std::string::npos) << p.output();
  EXPECT_NE(p.wait_for("slave waiting\n" + kPrompt, at), std::string::npos);
  p.send("ur");
  EXPECT_NE(p.wait_for("\nReset initiated\nSlave restart connection error : ", at),
            std::string::npos);
  finish_with_x(p);
  EXPECT_NE(p.output().find("\nsent U" + kPrompt), std::string::npos);
}

}  // namespace
