// The WMI query helper over the real COM calls, against Wine's own WMI: its values are
// the host's, so the codes, the shapes of the values and the end of each list are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sysquery.h"
#include "probe/wmi.h"

namespace {

bool is_number(const char* s) { return *s && std::strspn(s, "0123456789") == std::strlen(s); }

// The values of prop, object by object (each call counts from the first), one a line.
std::string by_index(const char* prop, int* n) {
  char buf[300];
  std::string all;
  for (*n = 0; wmi_get_property(prop, *n, buf, sizeof buf) == WMI_OK; ++*n) all += std::string(buf) + "\n";
  EXPECT_EQ(wmi_get_property(prop, *n, buf, sizeof buf), WMI_END);
  return all;
}

class Wmi : public ::testing::Test {
 protected:
  void TearDown() override { wmi_release(); }
};

}  // namespace

TEST_F(Wmi, ProcessorFiguresAndTheSnapshotsTypes) {
  ASSERT_EQ(wmi_open_query("Win32_Processor"), WMI_OK);
  int n = 0;
  by_index("NumberOfCores", &n);
  ASSERT_GE(n, 1);
  char cores[300], logical[300], speed[300];
  ASSERT_EQ(wmi_get_property("NumberOfCores", n - 1, cores, sizeof cores), WMI_OK);
  ASSERT_EQ(wmi_get_property("NumberOfLogicalProcessors", n - 1, logical, sizeof logical), WMI_OK);
  ASSERT_EQ(wmi_get_property("CurrentClockSpeed", 0, speed, sizeof speed), WMI_OK);
  EXPECT_TRUE(is_number(cores) && is_number(logical) && is_number(speed)) << cores << logical << speed;
  EXPECT_GE(std::atoi(logical), std::atoi(cores));
  EXPECT_GE(std::atoi(cores), 1);
  EXPECT_EQ(wmi_get_property("NoSuchProperty", 0, speed, sizeof speed), WMI_E_GET);
  PlatSysQuery* q = nullptr;
  ASSERT_EQ(sysq_open("Win32_Processor", &q), SYSQ_OK);
  ASSERT_EQ(sysq_count(q), n);
  uint32_t number = 0;
  int type = 0;
  ASSERT_EQ(sysq_get(q, 0, "NumberOfCores", cores, sizeof cores, &number, &type), SYSQ_OK);
  EXPECT_EQ(type * 100 + int(number >= 1), SYSQ_TYPE_UINT32 * 100 + 1);
  ASSERT_EQ(sysq_get(q, n - 1, "Name", cores, sizeof cores, &number, &type), SYSQ_OK);
  EXPECT_EQ(type, SYSQ_TYPE_STRING);
  EXPECT_GT(std::strlen(cores), 0u);
  for (int i : {n, -1}) EXPECT_EQ(sysq_get(q, i, "Name", cores, sizeof cores, &number, &type), SYSQ_NO_OBJECT);
  for (const char* p : {"NoSuchProperty", static_cast<const char*>(nullptr)})
    EXPECT_EQ(sysq_get(q, 0, p, cores, sizeof cores, &number, &type), SYSQ_NO_PROPERTY);
  sysq_close(q);
}

TEST_F(Wmi, TheDeviceWalkGivesTheIndexedObjectsOnceThenEndsAndStaysOpen) {
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  int n = 0;
  const std::string ids = by_index("DeviceID", &n);
  ASSERT_GE(n, 2) << "Wine lists its own devices";
  EXPECT_EQ(by_index("DeviceID", &n), ids);  // every call counts from the first object
  char id[300], name[300];
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), WMI_END);  // past the index walk's end
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  std::string walked;
  while (wmi_next_device(id, sizeof id, name, sizeof name) == WMI_OK) walked += std::string(id) + "\n";
  EXPECT_EQ(walked, ids);
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), WMI_END);
  char small[4];  // a cut, terminated text
  ASSERT_EQ(wmi_get_property("DeviceID", 0, small, sizeof small), WMI_OK);
  EXPECT_EQ(std::string(small), ids.substr(0, std::min<size_t>(3, ids.find('\n'))));
}

TEST_F(Wmi, MemoryIsA64BitNumberHandedOverAsText) {
  ASSERT_EQ(wmi_open_query("Win32_OperatingSystem"), WMI_OK);
  char kb[300];
  ASSERT_EQ(wmi_get_property("TotalVisibleMemorySize", 0, kb, sizeof kb), WMI_OK);
  EXPECT_TRUE(is_number(kb) && std::atoll(kb) > 0) << kb;
  EXPECT_EQ(wmi_get_property("TotalVisibleMemorySize", 1, kb, sizeof kb), WMI_END);
  PlatSysQuery* q = nullptr;
  ASSERT_EQ(sysq_open("Win32_OperatingSystem", &q), SYSQ_OK);
  int type = 0;
  uint32_t number = 7;
  EXPECT_EQ(sysq_get(q, 0, "TotalVisibleMemorySize", kb, sizeof kb, &number, &type), SYSQ_OK);
  EXPECT_EQ(type * 10 + int(number), SYSQ_TYPE_STRING * 10);
  sysq_close(q);
}

TEST_F(Wmi, FailingQueriesAndClosedState) {
  char buf[300], name[300];
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), WMI_E_NOT_OPEN);
  EXPECT_EQ(wmi_next_device(buf, sizeof buf, name, sizeof name), WMI_E_NOT_OPEN);
  EXPECT_EQ(wmi_open_query("Win32_Processor WHERE"), WMI_E_QUERY);  // malformed
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), WMI_E_NOT_OPEN) << "a failed open stays closed";
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
