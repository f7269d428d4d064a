#include "common/util/MemBuffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {

const int64_t kDefaultGrowSize = 1024;

// Step used when the caller asks for the automatic one (a negative step).
int64_t AutoGrowSize(int64_t nSize) {
  if (nSize <= 32768) return 1024;
  if (nSize <= 1048576) return 32768;
  if (nSize <= 33554432) return 1048576;
  return 33554432;
}

// ((nSize + 2) / 1024 + 1) * 1024, refusing sizes whose capacity would not fit
// in 64 bits.
int64_t RoundedCapacity(int64_t nSize) {
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  if (nSize > kMax - 2) throw "InvalidMemoryExcption";
  int64_t blocks = (nSize + 2) / 1024 + 1;
  if (blocks > kMax / 1024) throw "InvalidMemoryExcption";
  return blocks * 1024;
}

}  // namespace

CMemBuffer::CMemBuffer()
    : m_pBuffer(nullptr), m_nSize(0), m_nCapacity(0), m_nGrowSize(kDefaultGrowSize), m_nReserved(0) {}

CMemBuffer::CMemBuffer(const CMemBuffer& other) : CMemBuffer() {
  Resize(other.m_nSize, -1);
  if (other.m_nSize > 0) memcpy(m_pBuffer, other.m_pBuffer, static_cast<size_t>(other.m_nSize));
}

CMemBuffer& CMemBuffer::operator=(const CMemBuffer& other) {
  if (this == &other) return *this;
  // Build the copy first so a failure leaves this buffer as it was.
  CMemBuffer copy(other);
  std::swap(m_pBuffer, copy.m_pBuffer);
  std::swap(m_nSize, copy.m_nSize);
  std::swap(m_nCapacity, copy.m_nCapacity);
  std::swap(m_nGrowSize, copy.m_nGrowSize);
  std::swap(m_nReserved, copy.m_nReserved);
  return *this;
}

CMemBuffer::~CMemBuffer() {
  if (m_pBuffer != nullptr) {
    free(m_pBuffer);
    m_pBuffer = nullptr;
  }
}

void CMemBuffer::Resize(int64_t nSize, int64_t nGrowSize) {
  if (nSize < 0) throw "InvalidArgExcption";
  int64_t step = nGrowSize < 0 ? AutoGrowSize(nSize) : nGrowSize;
  m_nGrowSize = step;

  if (nSize == 0) {
    if (m_pBuffer != nullptr) memset(m_pBuffer, 0, static_cast<size_t>(m_nCapacity));
    m_nSize = 0;
    return;
  }

  if (m_pBuffer == nullptr) {
    int64_t capacity = RoundedCapacity(nSize);
    void* storage = calloc(static_cast<size_t>(capacity), 1);
    if (storage == nullptr) throw "InvalidMemoryExcption";
    m_pBuffer = static_cast<unsigned char*>(storage);
    m_nCapacity = capacity;
    m_nSize = nSize;
    return;
  }

  if (nSize > m_nCapacity) {
    if (step == 0) {
      // Proportional step for callers that ask for none: an eighth of the
      // current size, kept between 4 and 1024 bytes.
      step = static_cast<int32_t>(m_nSize) / 8;
      if (step < 4) step = 4;
      if (step > 1024) step = 1024;
    }
    if (step > std::numeric_limits<int64_t>::max() - m_nCapacity) throw "InvalidMemoryExcption";
    int64_t capacity = m_nCapacity + step;
    if (nSize >= capacity) capacity = RoundedCapacity(nSize);
    if (capacity < m_nCapacity) throw "InvalidArgExcption";
    unsigned char* storage = static_cast<unsigned char*>(malloc(static_cast<size_t>(capacity)));
    if (storage == nullptr) throw "InvalidMemoryExcption";
    memcpy(storage, m_pBuffer, static_cast<size_t>(m_nSize));
    memset(storage + m_nSize, 0, static_cast<size_t>(capacity - m_nSize));
    free(m_pBuffer);
    m_pBuffer = storage;
    m_nCapacity = capacity;
    m_nSize = nSize;
    return;
  }

  if (nSize > m_nSize) {
    memset(m_pBuffer + m_nSize, 0, static_cast<size_t>(nSize - m_nSize));
  } else if (nSize < m_nSize) {
    // Keep everything past the size zero, so stored text stays terminated.
    memset(m_pBuffer + nSize, 0, static_cast<size_t>(m_nSize - nSize));
  }
  m_nSize = nSize;
}

void CMemBuffer::Clear() {
  m_nGrowSize = kDefaultGrowSize;
  if (m_pBuffer != nullptr) memset(m_pBuffer, 0, static_cast<size_t>(m_nCapacity));
  m_nSize = 0;
}

std::string CMemBuffer::ToString() const {
  if (m_pBuffer == nullptr) return std::string();
  const void* end = memchr(m_pBuffer, 0, static_cast<size_t>(m_nCapacity));
  size_t length = end != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(end) - m_pBuffer)
                                 : static_cast<size_t>(m_nCapacity);
  return std::string(reinterpret_cast<const char*>(m_pBuffer), length);
}

void CMemBuffer::Append(const void* data, int64_t length) {
  if (length < 0) throw "InvalidArgExcption";
  if (length > std::numeric_limits<int64_t>::max() - m_nSize) throw "InvalidMemoryExcption";
  int64_t offset = m_nSize;
  Resize(offset + length, -1);
  if (length > 0) memcpy(m_pBuffer + offset, data, static_cast<size_t>(length));
}

void CMemBuffer::SetString(const std::string& text) {
  Resize(static_cast<int64_t>(text.size()) + 1, -1);
  memcpy(m_pBuffer, text.data(), text.size());
  m_pBuffer[text.size()] = 0;
}
