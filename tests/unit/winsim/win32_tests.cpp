// winsim against Windows' own behaviour: this program calls only Win32, so the
// same source runs on winsim and, built with mingw, on Wine or Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>

#include "platform/winapi.h"
#include "win32_expect.h"

namespace {

typedef std::basic_string<WCHAR> WStr;
const DWORD kTimeout = WAIT_TIMEOUT;

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE value) : h(value) {}
  ~Handle() {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

TEST(Win32Sync, MutexesEventsWaitsAndBadHandles) {
  Handle first(CreateMutexW(nullptr, TRUE, WIDE("DmWinsimTestMutex")));
  ASSERT_NE(first.h, nullptr);
  EXPECT_LAST_ERROR(ERROR_SUCCESS);
  Handle second(CreateMutexA(nullptr, FALSE, "DmWinsimTestMutex"));
  ASSERT_NE(second.h, nullptr);
  EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);

  // The owner may take it again and must release as often.
  EXPECT_EQ(WaitForSingleObject(second.h, 0), WAIT_OBJECT_0);
  DWORD otherWait = 0, otherRelease = TRUE, otherError = 0;
  std::thread([&] {
    otherWait = WaitForSingleObject(first.h, 30);
    otherRelease = ReleaseMutex(first.h);
    otherError = GetLastError();
  }).join();
  EXPECT_EQ(otherWait, kTimeout);
  EXPECT_FALSE(otherRelease);
  EXPECT_EQ(otherError, static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(ReleaseMutex(first.h));
  EXPECT_TRUE(ReleaseMutex(first.h));
  EXPECT_FAILS(ReleaseMutex(first.h), FALSE, ERROR_NOT_OWNER);

  // A thread that ends while owning it abandons it to the next waiter, who owns it.
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(first.h, 1000), WAIT_OBJECT_0); }).join();
  EXPECT_EQ(WaitForSingleObject(first.h, 1000), static_cast<DWORD>(WAIT_ABANDONED));
  EXPECT_TRUE(ReleaseMutex(first.h));

  // Events: an auto-reset one is consumed by the wait it ends.
  Handle autoReset(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  Handle manual(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(WaitForSingleObject(autoReset.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoReset.h, 0), kTimeout);

  ULONGLONG before = GetTickCount64();
  EXPECT_EQ(WaitForSingleObjectEx(manual.h, 50, FALSE), kTimeout);
  EXPECT_GE(GetTickCount64() - before, 40u);

  std::thread setter([&] {
    Sleep(20);
    SetEvent(manual.h);
  });
  EXPECT_EQ(WaitForSingleObject(manual.h, 5000), WAIT_OBJECT_0);
  setter.join();
  EXPECT_TRUE(ResetEvent(manual.h));
  EXPECT_EQ(WaitForSingleObject(manual.h, 0), kTimeout);

  // Any or all of several, both unset now: the auto-reset one is taken only
  // by the wait it ends.
  HANDLE a = manual.h, b = autoReset.h, both[] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), kTimeout);
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), kTimeout);            // a is not set
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_OBJECT_0 + 1);  // b, an auto-reset event, is taken
  SetEvent(a);
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b, 0), kTimeout);       // taken with the rest
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // manual reset: stays set
  EXPECT_FAILS(WaitForMultipleObjects(0, both, FALSE, 10), WAIT_FAILED, ERROR_INVALID_PARAMETER);

  HANDLE stale = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(CloseHandle(stale));
  EXPECT_FAILS(CloseHandle(stale), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS(WaitForSingleObject(stale, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
}

// The tick moves in steps of up to 16 ms and GetTickCount is its low 32 bits;
// FILETIME counts 100 ns since 1601, so its seconds of the day match the
// system time's; local time differs by whole quarter hours (give or take the
// minute that may have turned between the calls).
TEST(Win32Time, ClocksAgree) {
  LARGE_INTEGER freq, c1, c2;
  ASSERT_TRUE(QueryPerformanceFrequency(&freq));
  EXPECT_EQ(freq.QuadPart, 10000000);
  QueryPerformanceCounter(&c1);
  ULONGLONG t1 = GetTickCount64();
  Sleep(30);
  ULONGLONG t2 = GetTickCount64();
  QueryPerformanceCounter(&c2);
  EXPECT_GE(t2 - t1, 15u);
  EXPECT_GE(c2.QuadPart - c1.QuadPart, 250000);
  EXPECT_LE(static_cast<DWORD>(GetTickCount() - static_cast<DWORD>(t2)), 1000u);

  SYSTEMTIME st, lt;
  FILETIME ft;
  GetSystemTime(&st);
  GetSystemTimeAsFileTime(&ft);
  GetLocalTime(&lt);
  ULONGLONG secondOfDay = (((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000000) % 86400;
  ULONGLONG stSecond = st.wHour * 3600ull + st.wMinute * 60ull + st.wSecond;
  EXPECT_LE((secondOfDay + 86400 - stSecond) % 86400, 2u);
  int offset = (lt.wMinute - st.wMinute + 60) % 15;
  EXPECT_TRUE(offset == 0 || offset == 1 || offset == 14) << offset;
}

TEST(Win32CodePage, ConversionsFollowWin32Rules) {
  const char latin[] = "caf\xE9";  // "café" in 1252
  WCHAR wide[16];
  EXPECT_EQ(MultiByteToWideChar(1252, 0, latin, -1, nullptr, 0), 5);  // size query, terminator counted
  ASSERT_EQ(MultiByteToWideChar(1252, 0, latin, -1, wide, 16), 5);
  EXPECT_EQ(wide[3], 0x00E9);
  EXPECT_FAILS(MultiByteToWideChar(1252, 0, latin, 4, wide, 3), 0, ERROR_INSUFFICIENT_BUFFER);
  char back[16];
  BOOL used = TRUE;
  ASSERT_EQ(WideCharToMultiByte(1252, 0, wide, -1, back, 16, nullptr, &used), 5);
  EXPECT_STREQ(back, latin);
  EXPECT_FALSE(used);

  // To UTF-8 é takes two bytes; invalid UTF-8 becomes U+FFFD unless refused.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, 4, nullptr, 0, nullptr, nullptr), 5);
  const char bad[] = "a\xC3(b";
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, bad, 4, wide, 16), 4);
  EXPECT_EQ(wide[1], 0xFFFD);
  EXPECT_EQ(wide[2], '(');
  EXPECT_FAILS(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, 4, wide, 16), 0, ERROR_NO_UNICODE_TRANSLATION);

  // What 1252 lacks becomes the default character.
  const WCHAR cjk[] = {'x', 0x4E2D, 'y', 0};
  used = FALSE;
  ASSERT_EQ(WideCharToMultiByte(1252, 0, cjk, -1, back, 16, nullptr, &used), 4);
  EXPECT_STREQ(back, "x?y");
  EXPECT_TRUE(used);

  EXPECT_FAILS(MultiByteToWideChar(12345, 0, latin, -1, wide, 16), 0, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS(MultiByteToWideChar(CP_ACP, 0, latin, 0, wide, 16), 0, ERROR_INVALID_PARAMETER);

  // A conversion that stopped inside a double-byte character must not leave
  // its state to the next one, nor may threads converting at once disturb
  // each other.
  const char hiragana[] = "\x82\xA0";                 // U+3042 in Shift-JIS
  MultiByteToWideChar(932, 0, hiragana, 1, wide, 8);  // a lone lead byte: its answer varies
  ASSERT_EQ(MultiByteToWideChar(932, 0, hiragana, 2, wide, 8), 1);
  EXPECT_EQ(wide[0], 0x3042);

  std::atomic<int> wrong{0};
  auto convert = [&wrong] {
    for (int i = 0; i < 300; ++i) {
      WCHAR w[8] = {};
      char back[8] = {};
      UINT page = i % 2 ? 932u : 1252u;
      const char* text = i % 2 ? "\x82\xA0z" : "\xE9z";
      int units = MultiByteToWideChar(page, 0, text, -1, w, 8);
      int bytes = WideCharToMultiByte(page, 0, w, units, back, 8, nullptr, nullptr);
      if (units != 3 || bytes != static_cast<int>(strlen(text)) + 1 || strcmp(back, text) != 0) ++wrong;
    }
  };
  std::thread threads[] = {std::thread(convert), std::thread(convert), std::thread(convert)};
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(Win32Files, CreateReadWriteSeekFindMoveDelete) {
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string dir = std::string(temp) + "DmWinsim" + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  const std::string a = dir + "Alpha.txt", b = dir + "beta.txt", c = dir + "gamma.log";
  auto open = [](const std::string& name, DWORD access, DWORD disposition) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  };

  HANDLE h = open(a, GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
  char buf[32] = {};
  EXPECT_FAILS(ReadFile(h, buf, 4, &done, nullptr), FALSE, ERROR_ACCESS_DENIED);  // opened for writing only
  CloseHandle(h);
  EXPECT_FAILS(open(a, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);

  // Names match regardless of case; OPEN_ALWAYS says when the file was there.
  h = open(dir + "alpha.TXT", GENERIC_READ, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(h, nullptr), 10u);
  EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
  EXPECT_TRUE(ReadFile(h, buf, sizeof(buf), &done, nullptr));
  EXPECT_EQ(std::string(buf, done), "789");
  EXPECT_FAILS(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK);
  LONG hi = 1;  // 4 GiB + 2: a position beyond 32 bits
  EXPECT_EQ(SetFilePointer(h, 2, &hi, FILE_BEGIN), 2u);
  EXPECT_EQ(hi, 1);
  CloseHandle(h);
  for (const std::string& name : {b, c}) CloseHandle(open(name, GENERIC_WRITE, CREATE_ALWAYS));

  WIN32_FIND_DATAA fd;
  HANDLE find = FindFirstFileA((dir + "*.txt").c_str(), &fd);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  int found = 1;
  while (FindNextFileA(find, &fd)) ++found;
  EXPECT_LAST_ERROR(ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(found, 2);
  // A drive root "X:\" exists but is nothing to find.
  EXPECT_FAILS(FindFirstFileA(dir.substr(0, 3).c_str(), &fd), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(PathFileExistsA(dir.substr(0, 3).c_str()));

  // Directories: attributes yes, opening without backup semantics no. A
  // missing folder and a missing file fail differently.
  EXPECT_TRUE(GetFileAttributesA(dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FAILS(open(dir, FILE_READ_ATTRIBUTES, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
  EXPECT_FAILS(GetFileAttributesA((dir + "missing\\x.txt").c_str()), INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS(open(dir + "nothing.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  for (const std::string& name : {b, c}) EXPECT_TRUE(DeleteFileA(name.c_str()));
  EXPECT_FAILS(DeleteFileA(a.c_str()), FALSE, ERROR_FILE_NOT_FOUND);  // moved away
  EXPECT_TRUE(RemoveDirectoryA(dir.c_str()));
  EXPECT_FALSE(PathFileExistsA(dir.c_str()));
}

const WCHAR kTestKey[] = WIDE("Software\\DmWinsimTest");

void DeleteTree(HKEY parent, const WCHAR* name) {
  HKEY key;
  if (RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  WCHAR sub[256];
  for (DWORD n = 256; RegEnumKeyExW(key, 0, sub, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; n = 256)
    DeleteTree(key, sub);
  RegCloseKey(key);
  RegDeleteKeyW(parent, name);
}

LSTATUS Create(HKEY parent, const WCHAR* name, HKEY* key, REGSAM access = KEY_ALL_ACCESS) {
  return RegCreateKeyExW(parent, name, 0, nullptr, 0, access, nullptr, key, nullptr);
}

LSTATUS SetOne(HKEY key, const WCHAR* name) {
  const DWORD one = 1;
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
}

TEST(Win32Registry, KeysTypedValuesAndChangeNotifications) {
  DeleteTree(HKEY_CURRENT_USER, kTestKey);
  HKEY key;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, kTestKey, &key, KEY_ALL_ACCESS | KEY_WOW64_64KEY), ERROR_SUCCESS);
  const WCHAR text[] = WIDE("C:\\Program Files\\Vault\\uninst.exe");
  EXPECT_EQ(RegSetValueExW(key, WIDE("Path"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)), 0);
  EXPECT_EQ(SetOne(key, WIDE("Count")), 0);

  // Size query, too small a buffer, then the data; names are case-insensitive.
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, WIDE("PATH"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof(text));
  WCHAR out[64];
  size = 8;
  EXPECT_EQ(RegQueryValueExW(key, WIDE("Path"), nullptr, &type, reinterpret_cast<BYTE*>(out), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(text));
  size = sizeof(out);
  EXPECT_EQ(RegQueryValueExW(key, WIDE("Path"), nullptr, &type, reinterpret_cast<BYTE*>(out), &size), ERROR_SUCCESS);
  EXPECT_EQ(WStr(out), WStr(text));
  EXPECT_EQ(RegQueryValueExW(key, WIDE("Nope"), nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key, WIDE("COUNT")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, WIDE("Count")), ERROR_FILE_NOT_FOUND);

  // A read-only handle cannot write; a key with subkeys cannot be deleted;
  // the handle of a deleted key says so.
  HKEY child, reader;
  ASSERT_EQ(Create(key, WIDE("Child\\Grand"), &child), 0);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, WIDE("software\\dmwinsimtest\\CHILD"), 0, KEY_READ, &reader), 0);
  EXPECT_EQ(SetOne(reader, WIDE("x")), ERROR_ACCESS_DENIED);
  WCHAR name[64];
  DWORD nameLen = 64;
  EXPECT_EQ(RegEnumKeyExW(reader, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(WStr(name), WStr(WIDE("Grand")));
  EXPECT_EQ(nameLen, 5u);
  nameLen = 64;
  EXPECT_EQ(RegEnumKeyExW(reader, 1, name, &nameLen, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteKeyW(key, WIDE("Child")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(key, WIDE("Child\\Grand")), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(child, WIDE("x"), nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(key, WIDE("Child\\Grand"), 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
  RegCloseKey(reader);
  EXPECT_EQ(RegCloseKey(reader), ERROR_INVALID_HANDLE);

  HKEY sub;
  ASSERT_EQ(Create(key, WIDE("Sub"), &sub), 0);
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));

  // Names only, whole subtree: a value set is not a name change, a new key
  // (made by another thread) is.
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_NAME, event.h, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(SetOne(sub, WIDE("v")), 0);
  EXPECT_EQ(WaitForSingleObject(event.h, 100), kTimeout);
  HKEY created = nullptr;
  std::thread([&] { Create(sub, WIDE("New"), &created); }).join();
  EXPECT_EQ(WaitForSingleObject(event.h, 2000), WAIT_OBJECT_0);

  // Without the subtree, changes below the key go unnoticed; its own value set
  // does not. (A fresh handle: a handle keeps the filter of its first request.)
  ResetEvent(event.h);
  HKEY again;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_ALL_ACCESS, &again), 0);
  ASSERT_EQ(RegNotifyChangeKeyValue(again, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event.h, TRUE),
            ERROR_SUCCESS);
  EXPECT_EQ(SetOne(sub, WIDE("w")), 0);
  EXPECT_EQ(WaitForSingleObject(event.h, 100), kTimeout);
  EXPECT_EQ(SetOne(key, WIDE("w")), 0);
  EXPECT_EQ(WaitForSingleObject(event.h, 2000), WAIT_OBJECT_0);

  for (HKEY k : {created, again, sub, key}) RegCloseKey(k);
  DeleteTree(HKEY_CURRENT_USER, kTestKey);
}

// With LOAD_LIBRARY_SEARCH_SYSTEM32 only the system directory is searched: a
// library beside the executable is not found by its bare name, while the
// default search finds it there first.
TEST(Win32Modules, SearchSystem32FindsSystemLibrariesOnly) {
  char system[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(system, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<UINT>(MAX_PATH));

  // The libraries stay loaded: unloaded, what they allocated at load time
  // would read as a leak to the address sanitizer.
  HMODULE newdev = LoadLibraryExA("newdev.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(newdev, nullptr);
  EXPECT_NE(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW"), nullptr);
  char path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(newdev, path, MAX_PATH), length);
  bool inSystem = std::equal(system, system + length, path,
                             [](unsigned char x, unsigned char y) { return toupper(x) == toupper(y); });
  EXPECT_TRUE(inSystem && (path[length] == '\\' || path[length] == '/')) << path << " is not in " << system;
  HMODULE setupapi = LoadLibraryExA("setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(setupapi, nullptr);
  EXPECT_NE(GetProcAddress(setupapi, "SetupSetNonInteractiveMode"), nullptr);

  // Refused from System32 while it is not loaded yet (a loaded module of
  // the same name would be returned whatever the search).
  SetLastError(0);
  EXPECT_FAILS(LoadLibraryExA("vaultbase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr, ERROR_MOD_NOT_FOUND);
  ASSERT_NE(LoadLibraryA("vaultbase.dll"), nullptr) << "vaultbase.dll is built beside the tests";
  EXPECT_FAILS(LoadLibraryExA("no_such_library.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr,
               ERROR_MOD_NOT_FOUND);
}

}  // namespace
