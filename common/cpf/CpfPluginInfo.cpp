#include "common/cpf/CpfPluginInfo.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace CPF {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(slcPluginInfo, m_hMutex) == 8, "mutex handle");
static_assert(offsetof(slcPluginInfo, m_sa) == 16, "security attributes");
static_assert(offsetof(slcPluginInfo, m_szName) == 40, "name");
static_assert(offsetof(slcPluginInfo, m_szVendor) == 2088, "vendor");
static_assert(offsetof(slcPluginInfo, m_szReserved1) == 4136, "first reserved text");
static_assert(offsetof(slcPluginInfo, m_szDescription) == 6184, "description");
static_assert(offsetof(slcPluginInfo, m_szReserved2) == 8232, "second reserved text");
static_assert(offsetof(slcPluginInfo, m_szSupport) == 10280, "support contact");
static_assert(offsetof(slcPluginInfo, m_llValue) == 12328, "64-bit value");
static_assert(offsetof(slcPluginInfo, m_nValue) == 12336, "32-bit value");
static_assert(offsetof(slcPluginInfo, m_szName2) == 12340, "second name");
static_assert(offsetof(slcPluginInfo, m_bFlag) == 14388, "flag");
static_assert(offsetof(slcPluginInfo, m_mapA) == 14392, "map A");
static_assert(offsetof(slcPluginInfo, m_mapB) == 14408, "map B");
static_assert(offsetof(slcPluginInfo, m_mapC) == 14424, "map C");
static_assert(offsetof(slcPluginInfo, m_llReserved) == 14440, "last value");
static_assert(sizeof(slcPluginInfo) == 14448, "record size");
static_assert(sizeof(slcWStringMap) == 16, "map is head pointer and count");
#pragma GCC diagnostic pop

namespace {

// The host's head node also has room for one element value (two wide strings
// of its library); it is never constructed, only zeroed.
const size_t kHeadNodeBytes = 96;

void ResetHead(slcMapNode* head) {
  head->m_pLeft = head;
  head->m_pParent = head;
  head->m_pRight = head;
  head->m_cColor = 1;  // black
  head->m_cIsNil = 1;
}

}  // namespace

slcWStringMap::slcWStringMap() : m_pHead(static_cast<slcMapNode*>(calloc(1, kHeadNodeBytes))), m_nCount(0) {
  if (m_pHead != nullptr) ResetHead(m_pHead);
}

slcWStringMap::~slcWStringMap() {
  Clear();
  free(m_pHead);
  m_pHead = nullptr;
}

void slcWStringMap::Clear() {
  // Nothing is ever inserted, so there are no element nodes to free.
  if (m_pHead != nullptr) ResetHead(m_pHead);
  m_nCount = 0;
}

void CopyPluginText(WCHAR (&target)[kPluginTextUnits], const WCHAR* source) {
  size_t i = 0;
  if (source != nullptr) {
    for (; i + 1 < kPluginTextUnits && source[i] != 0; ++i) target[i] = source[i];
  }
  target[i] = 0;
}

slcPluginInfo::slcPluginInfo() : m_llValue(-1), m_nValue(-1), m_bFlag(0), m_llReserved(0) {
  memset(m_szName, 0, sizeof(m_szName));
  memset(m_szVendor, 0, sizeof(m_szVendor));
  memset(m_szReserved1, 0, sizeof(m_szReserved1));
  memset(m_szDescription, 0, sizeof(m_szDescription));
  memset(m_szReserved2, 0, sizeof(m_szReserved2));
  memset(m_szSupport, 0, sizeof(m_szSupport));
  memset(m_szName2, 0, sizeof(m_szName2));
}

// Members go in reverse order: maps C, B, A, then the mutex handle.
slcPluginInfo::~slcPluginInfo() {}

void* slcPluginInfo::ScalarDeletingDestructor(unsigned int flags) {
  this->slcPluginInfo::~slcPluginInfo();
  if (flags & 1) ::operator delete(this);
  return this;
}

}  // namespace CPF
