// The WMI query helper over the real COM calls, against Wine's own WMI: its values are
// the host's, so the codes, the shapes of the values and the end of each list are
// checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sysquery.h"
#include "probe/wmi.h"

namespace {

bool is_decimal(const char* s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  return true;
}

// Objects in the open query, counted with wmi_get_property (which resets every time).
int count_by_index(const char* prop) {
  char buf[300];
  int n = 0;
  while (wmi_get_property(prop, n, buf, sizeof buf) == WMI_OK) ++n;
  EXPECT_EQ(wmi_get_property(prop, n, buf, sizeof buf), WMI_END) << "index " << n;
  return n;
}

class Wmi : public ::testing::Test {
 protected:
  void TearDown() override { wmi_release(); }
};

}  // namespace

TEST_F(Wmi, ProcessorFiguresAreNumbersAndTheListEnds) {
  ASSERT_EQ(wmi_open_query("Win32_Processor"), WMI_OK);
  int n = count_by_index("NumberOfCores");
  ASSERT_GE(n, 1);
  char cores[300], logical[300], speed[300], name[300];
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(wmi_get_property("NumberOfCores", i, cores, sizeof cores), WMI_OK);
    ASSERT_EQ(wmi_get_property("NumberOfLogicalProcessors", i, logical, sizeof logical), WMI_OK);
    EXPECT_TRUE(is_decimal(cores)) << cores;
    EXPECT_TRUE(is_decimal(logical)) << logical;
    EXPECT_GE(std::atoi(cores), 1);
    EXPECT_GE(std::atoi(logical), std::atoi(cores));
  }
  ASSERT_EQ(wmi_get_property("CurrentClockSpeed", 0, speed, sizeof speed), WMI_OK);
  EXPECT_TRUE(is_decimal(speed)) << speed;
  ASSERT_EQ(wmi_get_property("Name", 0, name, sizeof name), WMI_OK);
  EXPECT_GT(std::strlen(name), 0u);
  // Index past the end, and an index far past it.
  EXPECT_EQ(wmi_get_property("Name", n, name, sizeof name), WMI_END);
  EXPECT_EQ(wmi_get_property("Name", n + 100, name, sizeof name), WMI_END);
  EXPECT_EQ(wmi_get_property("NoSuchProperty", 0, name, sizeof name), WMI_E_GET);
}

TEST_F(Wmi, EveryCallCountsFromTheFirstObject) {
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  char first[300], again[300], other[300];
  ASSERT_EQ(wmi_get_property("DeviceID", 0, first, sizeof first), WMI_OK);
  int n = count_by_index("DeviceID");
  ASSERT_GE(n, 2) << "Wine lists its own devices";
  ASSERT_EQ(wmi_get_property("DeviceID", n - 1, other, sizeof other), WMI_OK);
  ASSERT_EQ(wmi_get_property("DeviceID", 0, again, sizeof again), WMI_OK);
  EXPECT_STREQ(first, again);
  EXPECT_STRNE(first, other);
}

TEST_F(Wmi, DeviceWalkListsEachObjectOnceThenEndsAndStaysOpen) {
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  int n = count_by_index("DeviceID");
  // The walk goes on from where the index walk stopped: past the end.
  char id[300], name[300];
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), WMI_END);

  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  int walked = 0;
  std::string ids;
  char by_index[300];
  for (; wmi_next_device(id, sizeof id, name, sizeof name) == WMI_OK; ++walked) {
    EXPECT_GT(std::strlen(id), 0u);
    ids += std::string(id) + "\n";
  }
  EXPECT_EQ(walked, n);
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), WMI_END);
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), WMI_END);
  // Still open: the index reads work and give the walked objects in the same order.
  std::string again;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(wmi_get_property("DeviceID", i, by_index, sizeof by_index), WMI_OK);
    again += std::string(by_index) + "\n";
  }
  EXPECT_EQ(again, ids);
  // A buffer of one byte holds the empty text; a small one a cut, terminated text.
  char small[4];
  ASSERT_EQ(wmi_get_property("DeviceID", 0, small, sizeof small), WMI_OK);
  size_t first_len = ids.find('\n');
  EXPECT_EQ(std::strlen(small), std::min<size_t>(3, first_len));
  EXPECT_EQ(std::string(small), ids.substr(0, std::strlen(small)));
}

TEST_F(Wmi, MemoryIsA64BitNumberHandedOverAsText) {
  // Windows lists the operating system under its base class CIM_OperatingSystem as well;
  // Wine lists no instances of base classes, so its own class gives the figure here.
  ASSERT_EQ(wmi_open_query("Win32_OperatingSystem"), WMI_OK);
  char kb[300];
  ASSERT_EQ(wmi_get_property("TotalVisibleMemorySize", 0, kb, sizeof kb), WMI_OK);
  EXPECT_TRUE(is_decimal(kb)) << kb;
  EXPECT_GT(std::atoll(kb), 0);
  EXPECT_EQ(wmi_get_property("TotalVisibleMemorySize", 1, kb, sizeof kb), WMI_END);

  PlatSysQuery* q = nullptr;
  ASSERT_EQ(sysq_open("Win32_OperatingSystem", &q), SYSQ_OK);
  int type = 0;
  uint32_t number = 7;
  EXPECT_EQ(sysq_get(q, 0, "TotalVisibleMemorySize", kb, sizeof kb, &number, &type), SYSQ_OK);
  EXPECT_EQ(type, SYSQ_TYPE_STRING);
  EXPECT_EQ(number, 0u);
  sysq_close(q);

  // The base class: the same figure, or (Wine) a list that ends at once.
  ASSERT_EQ(wmi_open_query("CIM_OperatingSystem"), WMI_OK);
  char base[300];
  int rc = wmi_get_property("TotalVisibleMemorySize", 0, base, sizeof base);
  if (rc == WMI_OK) EXPECT_STREQ(base, kb);
  else EXPECT_EQ(rc, WMI_END);
}

TEST_F(Wmi, SnapshotTypesAndCounts) {
  PlatSysQuery* q = nullptr;
  ASSERT_EQ(sysq_open("Win32_Processor", &q), SYSQ_OK);
  int n = sysq_count(q);
  ASSERT_GE(n, 1);
  char text[300];
  uint32_t cores = 0;
  int type = 0;
  ASSERT_EQ(sysq_get(q, 0, "NumberOfCores", text, sizeof text, &cores, &type), SYSQ_OK);
  EXPECT_EQ(type, SYSQ_TYPE_UINT32);
  EXPECT_GE(cores, 1u);
  ASSERT_EQ(sysq_get(q, n - 1, "Name", text, sizeof text, &cores, &type), SYSQ_OK);
  EXPECT_EQ(type, SYSQ_TYPE_STRING);
  EXPECT_EQ(sysq_get(q, n, "Name", text, sizeof text, &cores, &type), SYSQ_NO_OBJECT);
  EXPECT_EQ(sysq_get(q, -1, "Name", text, sizeof text, &cores, &type), SYSQ_NO_OBJECT);
  EXPECT_EQ(sysq_get(q, 0, "NoSuchProperty", text, sizeof text, &cores, &type), SYSQ_NO_PROPERTY);
  EXPECT_EQ(sysq_get(q, 0, nullptr, text, sizeof text, &cores, &type), SYSQ_NO_PROPERTY);
  sysq_close(q);
}

TEST_F(Wmi, FailingQueriesAndClosedState) {
  char buf[300], name[300];
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), WMI_E_NOT_OPEN);
  EXPECT_EQ(wmi_next_device(buf, sizeof buf, name, sizeof name), WMI_E_NOT_OPEN);
  // A query WMI refuses (the class text makes it malformed).
  EXPECT_EQ(wmi_open_query("Win32_Processor WHERE"), WMI_E_QUERY);
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), WMI_E_NOT_OPEN) << "a failed open stays closed";
  // A class WMI does not know: Windows refuses it, Wine lists nothing; nothing to read.
  int rc = wmi_open_query("Win32_NoSuchClass");
  if (rc == WMI_OK) EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), WMI_END);
  else EXPECT_EQ(rc, WMI_E_QUERY);
  wmi_release();
  EXPECT_EQ(wmi_open_query(std::string(300, 'C').c_str()), WMI_E_QUERY) << "longer than the query text";
  PlatSysQuery* q = reinterpret_cast<PlatSysQuery*>(1);
  EXPECT_EQ(sysq_open(nullptr, &q), SYSQ_NO_CLASS);
  EXPECT_EQ(q, nullptr);

  // Opening again releases the open query; release closes and may be repeated.
  ASSERT_EQ(wmi_open_query("Win32_Processor"), WMI_OK);
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  EXPECT_EQ(wmi_get_property("DeviceID", 0, buf, sizeof buf), WMI_OK);
  wmi_release();
  wmi_release();
  EXPECT_EQ(wmi_get_property("DeviceID", 0, buf, sizeof buf), WMI_E_NOT_OPEN);
}
