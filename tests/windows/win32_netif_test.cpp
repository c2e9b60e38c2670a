// Adapters, addresses and names as Wine reports them: their values are the host's, so
// the shapes and codes are checked, and loopback where its answer is fixed.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/netif.h"
#include "platform/sockets.h"

TEST(WinNetif, AdaptersAreLanOnesAndEveryAddressRowIsListed) {
  PlatNetIf ifs[64];
  int n = -1;
  ASSERT_EQ(plat_netif_list(ifs, 64, &n), 0);
  ASSERT_GE(n, 0);
  for (int i = 0; i < n; ++i) {
    EXPECT_TRUE(ifs[i].if_type == 6 || ifs[i].if_type == 71) << ifs[i].if_type;
    EXPECT_EQ(ifs[i].wireless, ifs[i].if_type == 71 ? 1 : 0);
    EXPECT_NE(ifs[i].name[0], '\0');
    EXPECT_TRUE(ifs[i].connected == 0 || ifs[i].connected == 1);
  }
  int one = -1;
  if (n > 0) {
    ASSERT_EQ(plat_netif_list(ifs, 1, &one), 0);
    EXPECT_EQ(one, 1);
  }

  PlatNetAddr rows[256];
  int m = -1;
  ASSERT_EQ(plat_netif_addrs(rows, 256, &m), 0);
  bool loopback = false;
  for (int i = 0; i < m; ++i) loopback = loopback || (rows[i].addr[0] == 127);
  EXPECT_TRUE(loopback) << "the loopback row is an address row too";

  uint8_t first[4];
  if (sock_local_ipv4(first) == 0) {
    EXPECT_NE(first[0], 127) << "never the loopback address";
  }
}

TEST(WinNetif, NamesAndLookups) {
  char name[256];
  ASSERT_EQ(sock_hostname(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(plat_nm_running(), 0);
  char conn[32] = "x";
  EXPECT_EQ(plat_nm_connection("Ethernet", conn, sizeof conn), PLAT_NETIF_NONE);
  EXPECT_STREQ(conn, "");
}
