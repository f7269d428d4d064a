// The plug-in record the host reads in place, by byte offset: a named mutex,
// seven fixed UTF-16 strings, three integers and three ordered maps laid out as
// the host compiler lays out its std::map (head node pointer, element count).
#pragma once
#include <cstdint>
#include "common/cpf/CpfLock.h"

namespace CPF {

const size_t kPluginTextUnits = 1024;

// Node header of the host's ordered map; the head node of an empty map links
// to itself, is black and is the nil node.
struct slcMapNode {
  slcMapNode* m_pLeft;
  slcMapNode* m_pParent;
  slcMapNode* m_pRight;
  char m_cColor;
  char m_cIsNil;
};

// An ordered map of wide strings as the host sees it. The module never adds
// elements; it only creates, clears and frees the head node.
class slcWStringMap {
 public:
  slcWStringMap();
  ~slcWStringMap();
  slcWStringMap(const slcWStringMap&) = delete;
  slcWStringMap& operator=(const slcWStringMap&) = delete;
  void Clear();

  slcMapNode* m_pHead;
  uint64_t m_nCount;
};

class slcPluginInfo : public slcMutex {
 public:
  slcPluginInfo();
  ~slcPluginInfo();
  void* ScalarDeletingDestructor(unsigned int flags) override;

  WCHAR m_szName[kPluginTextUnits];
  WCHAR m_szVendor[kPluginTextUnits];
  WCHAR m_szReserved1[kPluginTextUnits];
  WCHAR m_szDescription[kPluginTextUnits];
  WCHAR m_szReserved2[kPluginTextUnits];
  WCHAR m_szSupport[kPluginTextUnits];
  int64_t m_llValue;
  int32_t m_nValue;
  WCHAR m_szName2[kPluginTextUnits];
  uint8_t m_bFlag;
  slcWStringMap m_mapA;
  slcWStringMap m_mapB;
  slcWStringMap m_mapC;
  int64_t m_llReserved;
};

// Bounded copy: at most kPluginTextUnits - 1 units and a terminating zero.
void CopyPluginText(WCHAR (&target)[kPluginTextUnits], const WCHAR* source);

}  // namespace CPF
