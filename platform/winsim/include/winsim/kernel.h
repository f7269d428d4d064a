// kernel32 (and the CRT file entry points that translate Windows paths).
#pragma once
#include <cstdio>
#include "winsim/types.h"

// Waits.
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_ABANDONED_0 0x00000080L
#define MAXIMUM_WAIT_OBJECTS 64
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define WAIT_IO_COMPLETION 0x000000C0L

// Code pages and conversion flags.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define CP_THREAD_ACP 3
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

// Files.
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_ALL 0x10000000L
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40

typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

// Errors and handles.
WINSIM_API DWORD GetLastError(void);
WINSIM_API void SetLastError(DWORD dwErrCode);
WINSIM_API BOOL CloseHandle(HANDLE hObject);

// Synchronisation.
WINSIM_API HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
WINSIM_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
WINSIM_API BOOL ReleaseMutex(HANDLE hMutex);
WINSIM_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName);
WINSIM_API BOOL SetEvent(HANDLE hEvent);
WINSIM_API BOOL ResetEvent(HANDLE hEvent);
WINSIM_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WINSIM_API DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
WINSIM_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
WINSIM_API DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                                          BOOL bAlertable);

// Time.
WINSIM_API DWORD GetTickCount(void);
WINSIM_API ULONGLONG GetTickCount64(void);
WINSIM_API void GetSystemTime(LPSYSTEMTIME lpSystemTime);
WINSIM_API void GetLocalTime(LPSYSTEMTIME lpSystemTime);
WINSIM_API void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
WINSIM_API void Sleep(DWORD dwMilliseconds);
WINSIM_API DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
WINSIM_API BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
WINSIM_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);

// Not Win32: a thread wrapper's side of the machine's clock. The creator
// announces a thread before starting it and the thread reports when it runs,
// so that virtual time waits for it (Windows' CreateThread needs no such help).
WINSIM_API void WinsimAnnounceThread(void);
WINSIM_API void WinsimThreadBegins(void);

// Process.
WINSIM_API DWORD GetCurrentProcessId(void);
WINSIM_API DWORD GetCurrentThreadId(void);
WINSIM_API LPSTR GetCommandLineA(void);
WINSIM_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
WINSIM_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
WINSIM_API HMODULE LoadLibraryA(LPCSTR lpLibFileName);
// Flags: 0 (as LoadLibraryA) or LOAD_LIBRARY_SEARCH_SYSTEM32 only.
WINSIM_API HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
// The folder of the system libraries: "system32" beside winsim's own library.
WINSIM_API UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
WINSIM_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINSIM_API BOOL FreeLibrary(HMODULE hLibModule);

// Code pages.
WINSIM_API UINT GetACP(void);
WINSIM_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar);
WINSIM_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                   PBOOL lpUsedDefaultChar);

// Files. Drive C: is the machine's sandbox folder, drive Z: is "/"; "\" and "/"
// both separate.
WINSIM_API HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINSIM_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINSIM_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                         LPVOID lpOverlapped);
WINSIM_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                          LPVOID lpOverlapped);
WINSIM_API DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
WINSIM_API DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
WINSIM_API HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
WINSIM_API BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
WINSIM_API BOOL FindClose(HANDLE hFindFile);
WINSIM_API DWORD GetFileAttributesA(LPCSTR lpFileName);
WINSIM_API DWORD GetFileAttributesW(LPCWSTR lpFileName);
// Relative paths start at the process's current folder, spelled Z:\...
WINSIM_API DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart);
WINSIM_API BOOL DeleteFileA(LPCSTR lpFileName);
WINSIM_API BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
WINSIM_API BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
WINSIM_API BOOL FlushFileBuffers(HANDLE hFile);
WINSIM_API BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
WINSIM_API BOOL RemoveDirectoryA(LPCSTR lpPathName);
WINSIM_API BOOL PathFileExistsA(LPCSTR pszPath);  // shlwapi
// A folder for scratch files: C:\Temp\ of the machine (created on demand).
WINSIM_API DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);
// The CRT's shared open, with Windows path translation. winsim also provides
// remove() and rename() that translate paths written the Windows way (with a
// drive letter or a backslash) and act on other paths unchanged.
WINSIM_API FILE* _fsopen(const char* filename, const char* mode, int shflag);
