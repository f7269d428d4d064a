// winsim's machine model through its control API: descriptions, drive
// mapping, injected failures, the C runtime's remove/rename, modules; and
// the Windows rules Wine does not follow, so checked here only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/winapi.h"
#include "win32_expect.h"
#include "support/test_support.h"
#include "winsim/control.h"

namespace {

const std::string kMinimal = std::string(DM_SOURCE_DIR) + "/examples/machines/minimal.json";

bool Exists(const std::string& hostPath) {
  struct stat st;
  return stat(hostPath.c_str(), &st) == 0;
}

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(winsim::LoadMachineFile(kMinimal, &error)) << error;
    winsim::ClearFailures();
  }
  void TearDown() override { winsim::ClearFailures(); }
};

TEST_F(Control, DescriptionSetsNamesAndAdapters) {
  WCHAR computer[32];
  DWORD n = 3;
  EXPECT_FAILS(GetComputerNameW(computer, &n), FALSE, ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(n, 13u);
  EXPECT_TRUE(GetComputerNameW(computer, &n));
  EXPECT_EQ(n, 12u);
  char user[8];
  DWORD size = 4;
  EXPECT_FAILS(GetUserNameA(user, &size), FALSE, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(GetUserNameA(user, &size));
  EXPECT_STREQ(user, "jdoe");

  ULONG bytes = 0;
  ASSERT_EQ(GetAdaptersInfo(nullptr, &bytes), static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
  ASSERT_EQ(bytes, 3 * sizeof(IP_ADAPTER_INFO));
  std::vector<BYTE> buffer(bytes);
  auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  ASSERT_EQ(GetAdaptersInfo(info, &bytes), static_cast<ULONG>(ERROR_SUCCESS));
  ASSERT_NE(info->Next, nullptr);
  EXPECT_EQ(info->Next->Type, static_cast<UINT>(IF_TYPE_IEEE80211));  // "wifi"

  // No adapter: no data. A prefix length makes the mask; a bare address has none.
  winsim::ClearAdapters();
  EXPECT_EQ(GetAdaptersInfo(nullptr, &bytes), static_cast<ULONG>(ERROR_NO_DATA));
  winsim::Adapter extra;
  extra.addresses = {"10.1.2.3/8", "10.9.9.9"};
  winsim::AddAdapter(extra);
  ASSERT_EQ(GetAdaptersInfo(nullptr, &bytes), static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
  buffer.assign(bytes, 0);
  info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  ASSERT_EQ(GetAdaptersInfo(info, &bytes), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_STREQ(info->IpAddressList.IpMask.String, "255.0.0.0");
  ASSERT_NE(info->IpAddressList.Next, nullptr);
  EXPECT_STREQ(info->IpAddressList.Next->IpAddress.String, "10.9.9.9");
}

TEST_F(Control, BadDescriptionsAreRefusedWhole) {
  // Devices Windows never reports too: control characters, commas or
  // non-ASCII in an ID, members of the wrong type, an unknown parent.
  const std::string good = R"("id": "USB\\VID_1\\A", "status": "0x0180600A")";
  auto device = [](const std::string& members) { return "{\"devices\": [{" + members + "}]}"; };
  for (const std::string& json :
       {std::string("{"), std::string("[]"), std::string("{\"colour\": 1}"), std::string("{\"codePage\": 99999}"),
        std::string("{\"computerName\": \"X\", \"registry\": [{\"key\": \"HKXX\\\\A\"}]}"),
        std::string("{\"registry\": [{\"key\": \"HKLM\\\\A\", \"values\": {\"v\": {\"binary\": \"0g\"}}}]}"),
        std::string("{\"adapters\": [{\"mac\": \"zz\"}]}"), device(R"("id": "X\\Y\\0", "class": "NoSuchClass")"),
        // IDs compare without case, as the Plug and Play manager's do.
        device(R"("id": "X\\Y\\0"}, {"id": "x\\y\\0")"), device(R"("id": "USB\\VID_1\\A\u0001")"),
        device(R"("id": "USB\\A,B")"), device(R"("id": "USB\\VID_1\\\u00e9")"),
        device(good + R"(, "present": "false")"), device(good + R"(, "parent": 7)"), device(good + R"(, "class": 5)"),
        device(good + R"(, "description": [])"), device(good + R"(, "known": 0)"),
        device(good + R"(, "parent": "USB\\NOBODY")")}) {
    std::string error;
    EXPECT_FALSE(winsim::LoadMachineJson(json, "/tmp", &error)) << json;
    EXPECT_FALSE(error.empty()) << json;
  }
  char user[16];
  DWORD size = sizeof(user);
  EXPECT_TRUE(GetUserNameA(user, &size));
  EXPECT_STREQ(user, "jdoe");  // the old machine stayed
  // Names come from devices: any character goes.
  std::string base = dmtest::MakeTempDir("winsim-desc"), error;
  EXPECT_TRUE(winsim::LoadMachineJson(device(good + R"(, "name": "Evil\nDisk\u0007,")"), base, &error)) << error;

  // Comments are allowed; a relative sandbox is taken from the base folder.
  ASSERT_TRUE(winsim::LoadMachineJson("{ // office\n \"sandbox\": \"box\", \"codePage\": 65001 }", base));
  EXPECT_EQ(winsim::SandboxDir(), base + "/box");
  EXPECT_TRUE(Exists(base + "/box"));
  EXPECT_EQ(GetACP(), 65001u);
}

TEST_F(Control, DrivesMapToSandboxAndRootAndFailCallFailsTheNamedFunctionOnce) {
  const std::string sandbox = winsim::SandboxDir();
  EXPECT_EQ(winsim::HostPath("C:\\Program Files\\x.txt"), sandbox + "/Program Files/x.txt");
  EXPECT_EQ(winsim::HostPath("c:/a\\b"), sandbox + "/a/b");
  EXPECT_EQ(winsim::HostPath("C:\\..\\..\\etc"), sandbox + "/etc");  // never above the drive's root
  EXPECT_EQ(winsim::HostPath("z:\\etc\\hosts"), "/etc/hosts");
  EXPECT_EQ(winsim::HostPath("relative/plain.txt"), "relative/plain.txt");
  EXPECT_EQ(winsim::HostPath("D:\\x"), "");

  ASSERT_TRUE(CreateDirectoryA("C:\\Vault", nullptr));
  // An injected failure hits the next call only (count -1: every call until ClearFailures).
  winsim::FailCall("CreateFileA", ERROR_SHARING_VIOLATION);
  EXPECT_FAILS(CreateFileA("C:\\Vault\\Log.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
               INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
  HANDLE h = CreateFileA("C:\\Vault\\Log.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_TRUE(Exists(sandbox + "/Vault/Log.txt"));
  EXPECT_EQ(winsim::HostPath("c:\\VAULT\\log.TXT"), sandbox + "/Vault/Log.txt");
  EXPECT_NE(GetFileAttributesA(("Z:" + sandbox + "/Vault/Log.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(CreateFileA("D:\\x.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_PATH_NOT_FOUND);

  // _fsopen, remove and rename translate Windows paths and leave others alone.
  FILE* f = _fsopen("C:\\Vault\\crt.txt", "wt", _SH_DENYNO);
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(rename("C:\\Vault\\crt.txt", "C:\\Vault\\moved.txt"), 0);
  EXPECT_TRUE(Exists(sandbox + "/Vault/moved.txt"));
  EXPECT_NE(rename("C:\\Vault\\moved.txt", "C:\\Vault\\Log.txt"), 0);  // no replacing, as on Windows
  EXPECT_EQ(remove("C:\\Vault\\moved.txt"), 0);
  EXPECT_FALSE(Exists(sandbox + "/Vault/moved.txt"));
  EXPECT_NE(remove("C:\\Vault"), 0);  // the Windows runtime removes files only
  std::string hostDir = dmtest::MakeTempDir("winsim-crt");
  ASSERT_TRUE(dmtest::WriteTextFile(hostDir + "/a", "a"));
  EXPECT_EQ(rename((hostDir + "/a").c_str(), (hostDir + "/b").c_str()), 0);
  EXPECT_EQ(remove((hostDir + "/b").c_str()), 0);
  EXPECT_EQ(remove(hostDir.c_str()), 0);  // POSIX semantics for host paths
}

TEST_F(Control, ModulesCommandLineAndCodePage) {
  char exe[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
  ASSERT_GT(n, 3u);
  EXPECT_EQ(std::string(exe, 3), "Z:\\");
  char small[6];
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof(small)), sizeof(small));
  EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), std::string(exe, 5));
  EXPECT_FAILS(GetModuleHandleW(WIDE("nosuch.dll")), nullptr, ERROR_MOD_NOT_FOUND);

  EXPECT_FAILS(LoadLibraryA("C:\\absent.dll"), nullptr, ERROR_MOD_NOT_FOUND);
  ASSERT_TRUE(dmtest::WriteTextFile(winsim::SandboxDir() + "/bad.dll", "not a library"));
  EXPECT_FAILS(LoadLibraryA("C:\\bad.dll"), nullptr, ERROR_BAD_EXE_FORMAT);
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(libm, nullptr);
  EXPECT_NE(GetProcAddress(libm, "cos"), nullptr);
  EXPECT_FAILS(GetProcAddress(libm, "no_such_function"), nullptr, ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(libm));

  winsim::SetCommandLine("\"C:\\Program Files\\Vault\\uninst.exe\" /S");
  EXPECT_STREQ(GetCommandLineA(), "\"C:\\Program Files\\Vault\\uninst.exe\" /S");

  // CP_ACP follows the machine's code page.
  WCHAR wide[4];
  winsim::SetCodePage(1251);
  EXPECT_EQ(GetACP(), 1251u);
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xC0", 1, wide, 4), 1);
  EXPECT_EQ(wide[0], 0x0410);  // Cyrillic A
  winsim::SetCodePage(1252);
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xC0", 1, wide, 4), 1);
  EXPECT_EQ(wide[0], 0x00C0);
}

// Windows refuses these; Wine 8 accepts them or answers another error, so the
// program built for Wine cannot check them.
TEST_F(Control, Win32RulesWineDoesNotFollow) {
  const WCHAR e[] = {0xE9};
  char back[4];
  BOOL used = FALSE;
  EXPECT_FAILS(WideCharToMultiByte(CP_UTF8, 0, e, 1, back, 4, nullptr, &used), 0, ERROR_INVALID_PARAMETER);
  HANDLE a = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE twice[] = {a, a};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 10), WAIT_FAILED);
  CloseHandle(a);

  EXPECT_EQ(CreateWindowExA(0, "DmNoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_LAST_ERROR(ERROR_CANNOT_FIND_WND_CLASS);
}

// What tests wait for instead of sleeping: a registry watch pending on its
// own key, a top-level window of a class and title. Each wait ends when the
// state comes about on another thread, and a look (timeout 0) answers now.
TEST_F(Control, WaitsEndWhenAWatchIsArmedOrAWindowExists) {
  const std::string kKey = "HKLM\\SOFTWARE\\DmWatched";
  ASSERT_TRUE(winsim::CreateRegistryKey(kKey + "\\Below"));
  EXPECT_FALSE(winsim::WaitForRegistryWatch(kKey, 0));
  EXPECT_FALSE(winsim::WaitForRegistryWatch("HKLM\\SOFTWARE\\DmNoSuchKey", 0));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\DmWatched", 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool armed = false;
  winsim::AnnounceThread();
  std::thread waiter([&] {
    winsim::AnnouncedThreadBegins();
    armed = winsim::WaitForRegistryWatch(kKey, 10000);
  });
  EXPECT_TRUE(winsim::WaitForQuietMachine());  // the waiter waits
  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_NAME, event, TRUE), ERROR_SUCCESS);
  waiter.join();
  EXPECT_TRUE(armed);
  EXPECT_FALSE(winsim::WaitForRegistryWatch(kKey + "\\Below", 0)) << "a subtree watch is on its own key";
  // Fired by a change, it is pending no more.
  ASSERT_TRUE(winsim::CreateRegistryKey(kKey + "\\Below\\New"));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(winsim::WaitForRegistryWatch(kKey, 0));
  RegCloseKey(key);
  CloseHandle(event);

  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = WIDE("DmAwaited");
  ASSERT_NE(RegisterClassW(&wc), 0);
  bool found = false;
  winsim::AnnounceThread();
  waiter = std::thread([&] {
    winsim::AnnouncedThreadBegins();
    found = winsim::WaitForWindow("dmawaited", "THE TITLE", 10000);
  });
  EXPECT_TRUE(winsim::WaitForQuietMachine());
  HWND other = CreateWindowExA(0, "DmAwaited", "Another title", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  HWND top = CreateWindowExA(0, "DmAwaited", "The title", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  waiter.join();
  EXPECT_TRUE(found);
  HWND child = CreateWindowExA(0, "DmAwaited", "Child", 0, 0, 0, 0, 0, top, nullptr, nullptr, nullptr);
  ASSERT_NE(child, nullptr);
  EXPECT_FALSE(winsim::WaitForWindow("DmAwaited", "Child", 0)) << "only top-level windows";
  EXPECT_TRUE(DestroyWindow(top));
  EXPECT_FALSE(winsim::WaitForWindow("DmAwaited", "The title", 0));
  EXPECT_TRUE(DestroyWindow(other));
}

}  // namespace
