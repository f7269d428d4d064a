// iphlpapi adapters, rpcrt4 UUIDs, ole32 CLSIDFromString and the user and
// computer names.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "machine.h"

namespace winsim {
namespace internal {
namespace {

std::mutex g_adapterMutex;
std::vector<Adapter> g_adapters;

bool ValidIpv4(const std::string& text) {
  in_addr addr;
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

// "192.168.1.20/24" -> address and dotted mask; no prefix: a /24 mask.
void SplitAddress(const std::string& text, std::string* ip, std::string* mask) {
  size_t slash = text.find('/');
  *ip = text.substr(0, slash);
  int prefix = slash == std::string::npos ? 24 : atoi(text.c_str() + slash + 1);
  if (prefix < 0 || prefix > 32) prefix = 24;
  uint32_t bits = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  char buf[16];
  snprintf(buf, sizeof(buf), "%u.%u.%u.%u", bits >> 24, (bits >> 16) & 255, (bits >> 8) & 255, bits & 255);
  *mask = buf;
}

bool ParseMac(const std::string& text, std::vector<BYTE>* mac) {
  mac->clear();
  return ParseHex(text, mac) && !mac->empty() && mac->size() <= MAX_ADAPTER_ADDRESS_LENGTH;
}

// An adapter of the description:
// {"description": "...", "type": "ethernet" | "wifi" | "loopback" | number,
//  "mac": "00-1A-2B-3C-4D-5E", "ipv4": ["192.168.1.20/24"], "gateway": "192.168.1.1",
//  "name": "{GUID}", "dhcp": true}
bool ParseAdapter(const rapidjson::Value& v, Adapter* a, std::string* error) {
  if (!v.IsObject()) {
    *error = "an adapter is an object";
    return false;
  }
  for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
    std::string key = it->name.GetString();
    const rapidjson::Value& x = it->value;
    if ((key == "name" || key == "description" || key == "gateway") && x.IsString()) {
      (key == "name" ? a->name : key == "description" ? a->description : a->gateway) = x.GetString();
      if (key == "gateway" && !ValidIpv4(a->gateway)) {
        *error = "gateway \"" + a->gateway + "\" is not an IPv4 address";
        return false;
      }
    } else if (key == "type" && x.IsUint()) {
      a->type = x.GetUint();
    } else if (key == "type" && x.IsString()) {
      std::string t = x.GetString();
      if (t == "ethernet")
        a->type = MIB_IF_TYPE_ETHERNET;
      else if (t == "wifi")
        a->type = IF_TYPE_IEEE80211;
      else if (t == "loopback")
        a->type = MIB_IF_TYPE_LOOPBACK;
      else if (t == "other")
        a->type = 1;
      else {
        *error = "unknown adapter type \"" + t + "\"";
        return false;
      }
    } else if (key == "mac" && x.IsString()) {
      if (!ParseMac(x.GetString(), &a->mac)) {
        *error = std::string("bad MAC address \"") + x.GetString() + "\"";
        return false;
      }
    } else if (key == "ipv4" && x.IsArray()) {
      for (auto& ip : x.GetArray()) {
        std::string addr, mask;
        if (ip.IsString()) SplitAddress(ip.GetString(), &addr, &mask);
        if (!ip.IsString() || !ValidIpv4(addr)) {
          *error = "\"ipv4\" holds IPv4 address texts";
          return false;
        }
        a->addresses.push_back(ip.GetString());
      }
    } else if (key == "dhcp" && x.IsBool()) {
      a->dhcp = x.GetBool();
    } else {
      *error = "unknown or malformed adapter member \"" + key + "\"";
      return false;
    }
  }
  return true;
}

bool LoadAdapters(const rapidjson::Value* section, const LoadContext&, std::function<void()>* commit,
                  std::string* error) {
  auto list = std::make_shared<std::vector<Adapter>>();
  if (section) {
    if (!section->IsArray()) {
      *error = "expected a list of adapters";
      return false;
    }
    for (auto& v : section->GetArray()) {
      Adapter a;
      if (!ParseAdapter(v, &a, error)) return false;
      list->push_back(a);
    }
  }
  *commit = [list] {
    std::lock_guard<std::mutex> lock(g_adapterMutex);
    g_adapters = *list;
  };
  return true;
}

[[maybe_unused]] const bool kRegistered = RegisterSectionLoader("adapters", LoadAdapters);

void CopyText(char* dst, size_t size, const std::string& text) {
  strncpy(dst, text.c_str(), size - 1);
  dst[size - 1] = '\0';
}

void RandomBytes(void* out, size_t n) {
  static std::mutex lock;
  static std::random_device device;
  std::lock_guard<std::mutex> guard(lock);
  BYTE* p = static_cast<BYTE*>(out);
  for (size_t i = 0; i < n; i += 4) {
    uint32_t r = device();
    memcpy(p + i, &r, n - i < 4 ? n - i : 4);
  }
}

int HexValue(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace
}  // namespace internal

void AddAdapter(const Adapter& adapter) {
  internal::EnsureMachine();
  std::lock_guard<std::mutex> lock(internal::g_adapterMutex);
  internal::g_adapters.push_back(adapter);
}

void ClearAdapters() {
  internal::EnsureMachine();
  std::lock_guard<std::mutex> lock(internal::g_adapterMutex);
  internal::g_adapters.clear();
}

}  // namespace winsim

using namespace winsim::internal;

ULONG GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer) {
  WINSIM_FAIL_POINT_STATUS();
  if (!SizePointer) return ERROR_INVALID_PARAMETER;
  EnsureMachine();
  std::vector<winsim::Adapter> adapters;
  {
    std::lock_guard<std::mutex> lock(g_adapterMutex);
    adapters = g_adapters;
  }
  if (adapters.empty()) return ERROR_NO_DATA;
  // One record per adapter, then the extra address entries of adapters with
  // more than one address, all in the caller's buffer.
  size_t extra = 0;
  for (auto& a : adapters) extra += a.addresses.size() > 1 ? a.addresses.size() - 1 : 0;
  ULONG needed = static_cast<ULONG>(adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING));
  if (!AdapterInfo || *SizePointer < needed) {
    *SizePointer = needed;
    return ERROR_BUFFER_OVERFLOW;
  }
  memset(AdapterInfo, 0, needed);
  IP_ADDR_STRING* spare = reinterpret_cast<IP_ADDR_STRING*>(AdapterInfo + adapters.size());
  for (size_t i = 0; i < adapters.size(); ++i) {
    const winsim::Adapter& a = adapters[i];
    IP_ADAPTER_INFO& info = AdapterInfo[i];
    info.Next = i + 1 < adapters.size() ? &AdapterInfo[i + 1] : nullptr;
    info.ComboIndex = info.Index = static_cast<DWORD>(i + 2);
    std::string name = a.name;
    if (name.empty()) {
      char buf[64];
      snprintf(buf, sizeof(buf), "{4D36E972-0000-4000-8000-%012zX}", i + 1);
      name = buf;
    }
    CopyText(info.AdapterName, sizeof(info.AdapterName), name);
    CopyText(info.Description, sizeof(info.Description), Utf8ToAnsi(a.description));
    info.AddressLength = static_cast<UINT>(a.mac.size());
    if (!a.mac.empty()) memcpy(info.Address, a.mac.data(), a.mac.size());
    info.Type = a.type;
    info.DhcpEnabled = a.dhcp ? 1 : 0;
    // An adapter without an address shows 0.0.0.0, as a disconnected one does.
    IP_ADDR_STRING* entry = &info.IpAddressList;
    if (a.addresses.empty()) {
      CopyText(entry->IpAddress.String, 16, "0.0.0.0");
      CopyText(entry->IpMask.String, 16, "0.0.0.0");
    }
    for (size_t k = 0; k < a.addresses.size(); ++k) {
      if (k > 0) {
        entry->Next = spare;
        entry = spare++;
      }
      std::string ip, mask;
      SplitAddress(a.addresses[k], &ip, &mask);
      CopyText(entry->IpAddress.String, 16, ip);
      CopyText(entry->IpMask.String, 16, mask);
    }
    CopyText(info.GatewayList.IpAddress.String, 16, a.gateway.empty() ? "0.0.0.0" : a.gateway);
    CopyText(info.GatewayList.IpMask.String, 16, a.gateway.empty() ? "0.0.0.0" : "255.255.255.255");
  }
  return ERROR_SUCCESS;
}

RPC_STATUS UuidCreate(UUID* Uuid) {
  WINSIM_FAIL_POINT_STATUS();
  if (!Uuid) return ERROR_INVALID_PARAMETER;
  RandomBytes(Uuid, sizeof(UUID));
  Uuid->Data3 = static_cast<uint16_t>((Uuid->Data3 & 0x0FFF) | 0x4000);   // version 4
  Uuid->Data4[0] = static_cast<uint8_t>((Uuid->Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return RPC_S_OK;
}

RPC_STATUS UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid) {
  WINSIM_FAIL_POINT_STATUS();
  if (!StringUuid) return ERROR_INVALID_PARAMETER;
  UUID nil{};
  const UUID& u = Uuid ? *Uuid : nil;
  char text[40];
  snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", u.Data1, u.Data2, u.Data3,
           u.Data4[0], u.Data4[1], u.Data4[2], u.Data4[3], u.Data4[4], u.Data4[5], u.Data4[6], u.Data4[7]);
  auto* out = static_cast<unsigned short*>(malloc(37 * sizeof(unsigned short)));
  if (!out) return ERROR_OUTOFMEMORY;
  for (int i = 0; i < 37; ++i) out[i] = static_cast<unsigned char>(text[i]);
  *StringUuid = out;
  return RPC_S_OK;
}

RPC_STATUS RpcStringFreeW(RPC_WSTR* String) {
  WINSIM_FAIL_POINT_STATUS();
  if (!String) return ERROR_INVALID_PARAMETER;
  free(*String);
  *String = nullptr;
  return RPC_S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  DWORD fault = 0;
  if (g_faultsArmed.load(std::memory_order_relaxed) && TakeFault(__func__, &fault))
    return static_cast<HRESULT>(fault) < 0 ? static_cast<HRESULT>(fault) : HRESULT_FROM_WIN32(fault);
  if (!pclsid) return E_INVALIDARG;
  memset(pclsid, 0, sizeof(*pclsid));
  if (!lpsz) return S_OK;  // no text: the null CLSID
  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hexadecimal digits of either case.
  static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  BYTE bytes[16];
  int nibbles = 0;
  for (int i = 0; kShape[i]; ++i) {
    if (kShape[i] == 'x') {
      int v = HexValue(lpsz[i]);
      if (v < 0) return CO_E_CLASSSTRING;
      if (nibbles % 2 == 0)
        bytes[nibbles / 2] = static_cast<BYTE>(v << 4);
      else
        bytes[nibbles / 2] = static_cast<BYTE>(bytes[nibbles / 2] | v);
      ++nibbles;
    } else if (lpsz[i] != static_cast<WCHAR>(kShape[i])) {
      return CO_E_CLASSSTRING;
    }
  }
  if (lpsz[38] != 0) return CO_E_CLASSSTRING;
  pclsid->Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
  pclsid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  pclsid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  memcpy(pclsid->Data4, bytes + 8, 8);
  return S_OK;
}

namespace {

// The name calls copy a terminated name into the caller's buffer and give
// the size needed, terminator included, when it does not fit; they differ in
// that error and in whether the terminator counts in the size on success.
template <class Ch>
BOOL CopyName(const std::basic_string<Ch>& name, Ch* buffer, LPDWORD size, DWORD tooSmall, bool countTerminator) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    SetLastError(tooSmall);
    return FALSE;
  }
  memcpy(buffer, name.c_str(), needed * sizeof(Ch));
  *size = countTerminator ? needed : needed - 1;
  return TRUE;
}

}  // namespace

BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer) {
  WINSIM_FAIL_POINT(FALSE);
  std::string name = LockMachine().machine.userName;  // the guard ends here: conversions lock too
  return CopyName(Utf8ToAnsi(name), lpBuffer, pcbBuffer, ERROR_INSUFFICIENT_BUFFER, true);
}

BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  WINSIM_FAIL_POINT(FALSE);
  std::string name = LockMachine().machine.computerName;
  return CopyName(Utf8ToUtf16(name), lpBuffer, nSize, ERROR_BUFFER_OVERFLOW, false);
}
