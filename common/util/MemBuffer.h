// CMemBuffer: the growable, zero-filled byte buffer exchanged with the host and
// the agent's companion libraries. Its layout and growth rule are shared with
// them; storage comes from malloc/free on the one process-wide heap, which
// holds because the agent libraries are built with the same toolchain and C
// runtime as the module.
#pragma once
#include <cstdint>
#include <string>

class CMemBuffer {
 public:
  CMemBuffer();                         // {null, 0, 0, 1024, 0}
  CMemBuffer(const CMemBuffer& other);  // Resize(other size, -1), same bytes
  CMemBuffer& operator=(const CMemBuffer& other);
  ~CMemBuffer();

  // Sets the size, growing the storage by the shared rule. Throws the texts
  // "InvalidArgExcption" / "InvalidMemoryExcption" (as const char*); the
  // buffer then keeps its previous storage and size.
  void Resize(int64_t nSize, int64_t nGrowSize);
  void Clear();
  std::string ToString() const;

  unsigned char* GetBuffer() const { return m_pBuffer; }
  int64_t GetSize() const { return m_nSize; }
  int64_t GetCapacity() const { return m_nCapacity; }
  int64_t GetGrowSize() const { return m_nGrowSize; }
  // Appends bytes at the end (Resize with step -1, then copy).
  void Append(const void* data, int64_t length);
  // Replaces the content with `text` and its terminating zero byte.
  void SetString(const std::string& text);

  unsigned char* m_pBuffer;
  int64_t m_nSize;
  int64_t m_nCapacity;
  int64_t m_nGrowSize;
  uint32_t m_nReserved;
};
