// iphlpapi adapters, rpcrt4 UUIDs, ole32 CLSIDFromString, advapi32 user name.
#pragma once
#include <ctime>
#include "winsim/types.h"

#define MAX_ADAPTER_DESCRIPTION_LENGTH 128
#define MAX_ADAPTER_NAME_LENGTH 256
#define MAX_ADAPTER_ADDRESS_LENGTH 8
#define MIB_IF_TYPE_ETHERNET 6
#define IF_TYPE_IEEE80211 71
#define MIB_IF_TYPE_LOOPBACK 24

typedef struct {
  char String[16];
} IP_ADDRESS_STRING, IP_MASK_STRING;

typedef struct _IP_ADDR_STRING {
  struct _IP_ADDR_STRING* Next;
  IP_ADDRESS_STRING IpAddress;
  IP_MASK_STRING IpMask;
  DWORD Context;
} IP_ADDR_STRING, *PIP_ADDR_STRING;

typedef struct _IP_ADAPTER_INFO {
  struct _IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
  UINT DhcpEnabled;
  PIP_ADDR_STRING CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;
  IP_ADDR_STRING GatewayList;
  IP_ADDR_STRING DhcpServer;
  BOOL HaveWins;
  IP_ADDR_STRING PrimaryWinsServer;
  IP_ADDR_STRING SecondaryWinsServer;
  int64_t LeaseObtained;
  int64_t LeaseExpires;
} IP_ADAPTER_INFO, *PIP_ADAPTER_INFO;

WINSIM_API ULONG GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer);

typedef LONG RPC_STATUS;
typedef unsigned short* RPC_WSTR;
WINSIM_API RPC_STATUS UuidCreate(UUID* Uuid);
WINSIM_API RPC_STATUS UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid);
WINSIM_API RPC_STATUS RpcStringFreeW(RPC_WSTR* String);

WINSIM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

WINSIM_API BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);
WINSIM_API BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize);
