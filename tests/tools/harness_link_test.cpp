// Two harness programs, a slave and a master, exchanging the u and t test messages:
// over TCP loopback inside a network namespace of the test's own, and over two joined
// pseudo-terminals. Each side must print the exact dump of what the other sent.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/tools/child_process.h"

namespace fs = std::filesystem;

namespace {

const std::string kHarness = HARNESS_PATH;
const std::string kPrompt = "\nwaiting for user input :";

// The dump of an 8-byte message without payload: type, command 0, length 8, sequence.
std::string dump8(unsigned type, unsigned seq) {
  char text[128];
  std::snprintf(text, sizeof text, "received 8 bytes\n %02x  00  08  00 \n %02x  00  00  00 \n",
                type, seq);
  return text;
}

// Sends key on from and waits for the dump on to; returns the position after it.
size_t exchange(ChildProcess& from, ChildProcess& to, char key, unsigned type, unsigned seq,
                size_t to_pos) {
  size_t before = from.output().size();
  EXPECT_TRUE(from.send(std::string(1, key)));
  const char* sent = key == 'u' ? "\nsent U" : "\nsent T";
  EXPECT_NE(from.wait_for(sent + kPrompt, before), std::string::npos) << from.output();
  size_t at = to.wait_for(dump8(type, seq), to_pos);
  EXPECT_NE(at, std::string::npos) << "expected " << dump8(type, seq) << "got: " << to.output();
  return at == std::string::npos ? to_pos : at;
}

// u is type 0x99 of the datagram class (144..191 are set to 1), t is 0x82 of the stream
// class; each class counts its own sequence from 1.
void exchange_both_ways(ChildProcess& slave, ChildProcess& master, unsigned seq) {
  size_t s = slave.output().size(), m = master.output().size();
  s = exchange(master, slave, 'u', 0x99, seq, s);
  s = exchange(master, slave, 't', 0x82, seq, s);
  m = exchange(slave, master, 'u', 0x99, seq, m);
  exchange(slave, master, 't', 0x82, seq, m);
}

void finish_with_x(ChildProcess& p) {
  p.send("x");
  EXPECT_EQ(p.finish(), 0) << p.output();
  EXPECT_GE(p.output().size(), 14u);
  EXPECT_EQ(p.output().substr(p.output().size() - 14), "Disconnecting\n");
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
  exchange_both_ways(slave, master, 1);

  // r restarts each side with its own role; the link comes back and carries on.
  size_t s = slave.output().size(), m = master.output().size();
  slave.send("r");
  EXPECT_NE(slave.wait_for("\nReset initiated\n", s), std::string::npos);
  master.send("r");
  EXPECT_NE(master.wait_for("\nReset initiated\n", m), std::string::npos);
  exchange_both_ways(slave, master, 2);
  finish_with_x(master);
  finish_with_x(slave);
  EXPECT_EQ(slave.output().find("restart connection error"), std::string::npos) << slave.output();
  EXPECT_EQ(master.output().find("restart connection error"), std::string::npos)
      << master.output();
}

TEST(HarnessLink, SerialSlaveAndMasterOverJoinedTerminals) {
  fs::path root = fs::temp_directory_path() / ("qcomm-serial-" + std::to_string(getpid()));
  fs::create_directories(root / "dev");
  std::string com1 = (root / "dev/COM1").string(), com2 = (root / "dev/COM2").string();
  ChildProcess cable;
  ASSERT_TRUE(cable.start({"/usr/bin/socat", "pty,link=" + com1 + ",raw,echo=0",
                           "pty,link=" + com2 + ",raw,echo=0"}));
  for (int i = 0; i < 200 && !(fs::exists(com1) && fs::exists(com2)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(fs::exists(com1) && fs::exists(com2)) << cable.output();

  std::string env = "QUMEX_ROOT=" + root.string();
  ChildProcess slave, master;
  ASSERT_TRUE(slave.start({kHarness, "s"}, {env}));  // COM2 by default
  ASSERT_NE(slave.wait_for("slave waiting\n" + kPrompt), std::string::npos) << slave.output();
  ASSERT_TRUE(master.start({kHarness, "sCOM1", "m"}, {env}));
  ASSERT_NE(master.wait_for(kPrompt), std::string::npos) << master.output();
  EXPECT_EQ(slave.output().find("error"), std::string::npos) << slave.output();
  EXPECT_EQ(master.output().find("error"), std::string::npos) << master.output();
  exchange_both_ways(slave, master, 1);

  size_t s = slave.output().size(), m = master.output().size();
  slave.send("r");
  EXPECT_NE(slave.wait_for("\nReset initiated\n", s), std::string::npos);
  master.send("r");
  EXPECT_NE(master.wait_for("\nReset initiated\n", m), std::string::npos);
  exchange_both_ways(slave, master, 2);
  finish_with_x(master);
  finish_with_x(slave);
  EXPECT_EQ(slave.output().find("restart connection error"), std::string::npos) << slave.output();
  fs::remove_all(root);
}

}  // namespace
