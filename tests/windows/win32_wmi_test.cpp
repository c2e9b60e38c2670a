// The WMI query helper over the real COM calls, against Wine's own WMI: its values are
// the host's, so the codes and the end of each list are checked (the figures themselves
// through linkprobe.exe --run rescan, scripts/windows-linkprobe-check.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sysquery.h"
#include "probe/wmi.h"

namespace {


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

// A 32-bit figure comes as a number, a 64-bit one (memory) as the text WMI hands it over as.
TEST_F(Wmi, NumbersKeepTheirKind) {
  const struct {
    const char *cls, *prop;
    int type;
  } cases[] = {{"Win32_Processor", "NumberOfCores", SYSQ_TYPE_UINT32},
               {"Win32_OperatingSystem", "TotalVisibleMemorySize", SYSQ_TYPE_STRING}};
  for (const auto& k : cases) {
    PlatSysQuery* q = nullptr;
    ASSERT_EQ(sysq_open(k.cls, &q), SYSQ_OK) << k.cls;
    int type = -1;
    uint32_t number = 7;
    char text[64];
    EXPECT_EQ(sysq_get(q, 0, k.prop, text, sizeof text, &number, &type), SYSQ_OK) << k.prop;
    EXPECT_EQ(type, k.type) << k.prop;
    EXPECT_TRUE(k.type == SYSQ_TYPE_UINT32 ? number >= 1 : number == 0 && std::atoll(text) > 0)
        << k.prop << " " << number << " '" << text << "'";
    sysq_close(q);
  }
}
