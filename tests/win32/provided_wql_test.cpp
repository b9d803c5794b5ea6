// The test WMI provider answers as WMI does where the disk scan may ask it:
// WQL queries and their failures, the forms of property values, and a
// slow inventory's timeouts. Run by wmi_inventory.sh, which installs it.
#include <gtest/gtest.h>

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace corvantix {
namespace {

struct Releaser {
  void operator()(IUnknown *object) const { object->Release(); }
};
template <typename T> using Com = std::unique_ptr<T, Releaser>;

constexpr char kDisks[] =
    "disk 0 size=64G model=\"WDC WD640AAKS\" interface=IDE partitions=C\n"
    "disk 1 size=4000000000 model=\"SanDisk Cruzer USB Device\" "
    "partitions=E,- null=Status\n";

struct QueryCase {
  const wchar_t *query;
  WBEMSTATUS result;
  std::vector<std::wstring> device_ids;
};

// The queries of a disk scan, and some it does not ask, which fail.
const QueryCase kQueries[] = {
    {L"SELECT * FROM Win32_DiskDrive",
     WBEM_S_NO_ERROR,
     {L"\\\\.\\PHYSICALDRIVE0", L"\\\\.\\PHYSICALDRIVE1"}},
    {L"select * from win32_logicaldisk", WBEM_S_NO_ERROR, {L"C:", L"E:"}},
    {L"ASSOCIATORS OF {\\\\HOST.LAN\\root\\cimv2:Win32_DiskDrive.DeviceID="
     L"\"\\\\\\\\.\\\\PHYSICALDRIVE1\"} WHERE ResultClass = "
     L"Win32_DiskPartition",
     WBEM_S_NO_ERROR,
     {L"Disk #1, Partition #0", L"Disk #1, Partition #1"}},
    {L"ASSOCIATORS OF {Win32_DiskPartition.DeviceID=\"Disk #1, Partition #0\"} "
     L"WHERE ResultClass = Win32_LogicalDisk",
     WBEM_S_NO_ERROR,
     {L"E:"}},
    {L"ASSOCIATORS OF {Win32_DiskPartition.DeviceID=\"Disk #1, Partition #1\"} "
     L"WHERE ResultClass = Win32_LogicalDisk",
     WBEM_S_NO_ERROR,
     {}},
    {L"ASSOCIATORS OF {root\\cimv2:Win32_LogicalDisk.DeviceID=\"E:\"}",
     WBEM_S_NO_ERROR,
     {L"Disk #1, Partition #0"}},
    {L"ASSOCIATORS OF {Win32_DiskPartition.DeviceID=\"Disk #0, Partition #0\"}",
     WBEM_S_NO_ERROR,
     {L"\\\\.\\PHYSICALDRIVE0", L"C:"}},
    {L"ASSOCIATORS OF "
     L"{Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE9\"}",
     WBEM_E_NOT_FOUND,
     {}},
    {L"ASSOCIATORS OF {Win32_DiskDrive} WHERE ResultClass = "
     L"Win32_DiskPartition",
     WBEM_E_INVALID_OBJECT_PATH,
     {}},
    {L"ASSOCIATORS OF {Win32_LogicalDisk.DeviceID=\"E:\"} WHERE ResultClass = "
     L"Win32_Volume",
     WBEM_E_INVALID_CLASS,
     {}},
    {L"SELECT * FROM Win32_Processor", WBEM_E_INVALID_CLASS, {}},
    {L"ASSOCIATORS OF {Win32_LogicalDisk.DeviceID=\"E:\"} WHERE AssocClass = "
     L"Win32_LogicalDiskToPartition",
     WBEM_E_INVALID_QUERY,
     {}},
    {L"SELECT Model FROM Win32_DiskDrive", WBEM_E_INVALID_QUERY, {}},
    {L"SELECT * FROM Win32_DiskDrive WHERE InterfaceType = 'USB'",
     WBEM_E_INVALID_QUERY,
     {}},
    {L"SELECT * FROM", WBEM_E_INVALID_QUERY, {}},
    {L"DELETE FROM Win32_DiskDrive", WBEM_E_INVALID_QUERY, {}},
};

class Win32ProvidedWql : public testing::Test {
protected:
  void SetUp() override {
    const char *disks = std::getenv("CORVANTIX_WMI_DISKS");
    if (!disks)
      GTEST_SKIP() << "needs the test WMI provider of wmi_inventory.sh";
    disks_ = disks;
    std::ifstream in(disks_, std::ios::binary);
    std::ostringstream was;
    was << in.rdbuf();
    installed_ = was.str();
    describe(kDisks);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    com_ = true;
  }
  void TearDown() override {
    services_.reset();
    if (com_)
      CoUninitialize();
    if (!disks_.empty())
      describe(installed_);
  }

  void describe(const std::string &lines) const {
    std::ofstream(disks_, std::ios::binary | std::ios::trunc) << lines;
  }
  // A new connection, which reads the description anew.
  IWbemServices *services() {
    IWbemLocator *locator = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IWbemLocator,
                               reinterpret_cast<void **>(&locator)),
              S_OK);
    if (!locator)
      return nullptr;
    Com<IWbemLocator> owned(locator);
    IWbemServices *services = nullptr;
    BSTR name = SysAllocString(L"ROOT\\CIMV2");
    EXPECT_EQ(locator->ConnectServer(name, nullptr, nullptr, nullptr, 0,
                                     nullptr, nullptr, &services),
              WBEM_S_NO_ERROR);
    SysFreeString(name);
    services_.reset(services);
    return services;
  }
  HRESULT query(const wchar_t *text, LONG flags,
                Com<IEnumWbemClassObject> &found) {
    BSTR language = SysAllocString(L"WQL"), query = SysAllocString(text);
    IEnumWbemClassObject *results = nullptr;
    HRESULT hr =
        services_->ExecQuery(language, query, flags, nullptr, &results);
    SysFreeString(language);
    SysFreeString(query);
    found.reset(results);
    return hr;
  }
  static std::wstring text_of(IWbemClassObject *object, const wchar_t *name) {
    VARIANT value;
    VariantInit(&value);
    std::wstring text = L"(not found)";
    if (SUCCEEDED(object->Get(name, 0, &value, nullptr, nullptr)))
      text = value.vt == VT_BSTR ? value.bstrVal : L"(not text)";
    VariantClear(&value);
    return text;
  }

  std::string disks_, installed_;
  bool com_ = false;
  Com<IWbemServices> services_;
};

TEST_F(Win32ProvidedWql, AnswersTheQueriesOfADiskScan) {
  ASSERT_TRUE(services());
  for (const QueryCase &c : kQueries) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.query)));
    Com<IEnumWbemClassObject> found;
    ASSERT_EQ(query(c.query, WBEM_FLAG_FORWARD_ONLY, found), HRESULT(c.result));
    if (FAILED(HRESULT(c.result)))
      continue;
    std::vector<std::wstring> ids;
    IWbemClassObject *object = nullptr;
    ULONG returned = 0;
    while (found->Next(WBEM_INFINITE, 1, &object, &returned) ==
           WBEM_S_NO_ERROR) {
      ids.push_back(text_of(object, L"DeviceID"));
      object->Release();
    }
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(ids, c.device_ids);
  }
}

TEST_F(Win32ProvidedWql, HandsValuesOverInWmisForms) {
  IWbemServices *wmi = services();
  ASSERT_TRUE(wmi);
  BSTR class_name = SysAllocString(L"Win32_DiskDrive");
  IEnumWbemClassObject *drives = nullptr;
  ASSERT_EQ(wmi->CreateInstanceEnum(class_name, 0, nullptr, &drives),
            WBEM_S_NO_ERROR);
  SysFreeString(class_name);
  Com<IEnumWbemClassObject> found(drives);
  ASSERT_EQ(found->Skip(WBEM_INFINITE, 1), WBEM_S_NO_ERROR);
  IWbemClassObject *object = nullptr;
  ULONG returned = 0;
  ASSERT_EQ(found->Next(WBEM_INFINITE, 1, &object, &returned), WBEM_S_NO_ERROR);
  Com<IWbemClassObject> drive(object);

  VARIANT value;
  VariantInit(&value);
  CIMTYPE type = 0;
  ASSERT_EQ(drive->Get(L"Size", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(type, CIM_UINT64);
  ASSERT_EQ(value.vt, VT_BSTR) << "uint64 comes as text";
  EXPECT_STREQ(value.bstrVal, L"4000000000");
  VariantClear(&value);
  ASSERT_EQ(drive->Get(L"index", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(type, CIM_UINT32);
  ASSERT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 1);
  ASSERT_EQ(drive->Get(L"Status", 0, &value, nullptr, nullptr),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(value.vt, VT_NULL);
  EXPECT_EQ(drive->Get(L"NoSuchProperty", 0, &value, nullptr, nullptr),
            HRESULT(WBEM_E_NOT_FOUND));
  EXPECT_EQ(text_of(drive.get(), L"InterfaceType"), L"USB");
  EXPECT_EQ(text_of(drive.get(), L"MediaType"), L"Removable Media");
  EXPECT_EQ(
      text_of(drive.get(), L"PNPDeviceID").rfind(L"USBSTOR\\DISK&VEN_", 0), 0u);
  std::wstring path = text_of(drive.get(), L"__PATH");
  EXPECT_EQ(path.substr(0, 2), L"\\\\");
  EXPECT_EQ(path.substr(path.find(L':')),
            L":Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE1\"");
  EXPECT_EQ(text_of(drive.get(), L"__RELPATH"),
            path.substr(path.find(L':') + 1));
  EXPECT_EQ(found->Next(WBEM_INFINITE, 1, &object, &returned), WBEM_S_FALSE);
  EXPECT_EQ(returned, 0u);
}

// Sleep and the tick count go by different clocks: a wait of 500 ms may
// count 496 ticks.
constexpr ULONGLONG kWaited = 500 - 20;

TEST_F(Win32ProvidedWql, ASlowInventoryTimesOutUntilItsResultsCome) {
  describe(std::string("wait 500\n") + kDisks);
  ASSERT_TRUE(services());
  Com<IEnumWbemClassObject> found;
  ULONGLONG start = GetTickCount64();
  ASSERT_EQ(query(L"SELECT * FROM Win32_LogicalDisk",
                  WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, found),
            WBEM_S_NO_ERROR);
  EXPECT_LT(GetTickCount64() - start, 400u) << "a semisynchronous call waits";
  IWbemClassObject *objects[3] = {};
  ULONG returned = 9;
  EXPECT_EQ(found->Next(100, 3, objects, &returned), WBEM_S_TIMEDOUT);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(found->Next(WBEM_INFINITE, 3, objects, &returned), WBEM_S_FALSE);
  EXPECT_GE(GetTickCount64() - start, kWaited);
  ASSERT_EQ(returned, 2u);
  objects[0]->Release();
  objects[1]->Release();

  start = GetTickCount64();
  ASSERT_EQ(query(L"SELECT * FROM Win32_LogicalDisk", 0, found),
            WBEM_S_NO_ERROR);
  EXPECT_GE(GetTickCount64() - start, kWaited) << "a synchronous call waits";
  EXPECT_EQ(found->Next(0, 3, objects, &returned), WBEM_S_FALSE);
  EXPECT_EQ(returned, 2u);
  for (ULONG i = 0; i < returned; ++i)
    objects[i]->Release();
}

} // namespace
} // namespace corvantix
