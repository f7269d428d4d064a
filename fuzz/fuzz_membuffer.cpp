// CMemBuffer under sequences of Resize (any size and step, negative ones
// too), Clear, copy, assignment, appends, writes and ToString, checked after
// every step against a plain model of its bytes and of the shared growth rule:
// - the first m_nSize bytes are the model's, everything up to m_nCapacity is zero;
// - capacity and step are the rule's, and a call throws exactly when the rule
//   refuses it (a negative size, a capacity beyond 64 bits);
// - no storage means size and capacity 0;
// - a throwing call leaves storage, size, capacity and bytes as they were.
// Sizes stay below a megabyte: each one would cost a real allocation and its
// scan at every check. The steps chosen at 1 MiB and 32 MiB are pinned by the
// unit tests.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/util/MemBuffer.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::Fail;
const int64_t kMax = std::numeric_limits<int64_t>::max();

bool AllZero(const unsigned char* bytes, size_t count) {
  // Zero when the first byte is and every byte equals the one before it.
  return count == 0 || (bytes[0] == 0 && memcmp(bytes, bytes + 1, count - 1) == 0);
}

void Check(const CMemBuffer& buffer, const std::vector<unsigned char>& model) {
  if (buffer.m_nSize != static_cast<int64_t>(model.size())) Fail("size differs from the model");
  if (buffer.m_pBuffer == nullptr) {
    if (buffer.m_nSize != 0 || buffer.m_nCapacity != 0) Fail("size or capacity without storage");
    return;
  }
  if (buffer.m_nSize > buffer.m_nCapacity) Fail("size beyond capacity");
  if (!model.empty() && memcmp(buffer.m_pBuffer, model.data(), model.size()) != 0) Fail("bytes differ from the model");
  if (!AllZero(buffer.m_pBuffer + buffer.m_nSize, static_cast<size_t>(buffer.m_nCapacity - buffer.m_nSize)))
    Fail("non-zero byte beyond the size");
}

// Sizes and steps: mostly small, some around the 32 KiB step threshold, some
// negative, some so large that only the overflow checks can answer (never
// one that would really be allocated: the sanitizer's allocator would abort).
int64_t PickSize(FuzzedDataProvider& provider) {
  static const int64_t kRanges[][2] = {{std::numeric_limits<int64_t>::min(), -1},
                                       {-2, 2},
                                       {kMax - 2, kMax},
                                       {32760, 32780},
                                       {0, 5000},
                                       {0, 5000},
                                       {0, 5000}};
  const int64_t* range = kRanges[provider.ConsumeIntegralInRange<int>(0, 6)];
  return provider.ConsumeIntegralInRange<int64_t>(range[0], range[1]);
}

// A step that really grows the storage stays below this; larger ones (up to
// the overflow range) test the same arithmetic at a real allocation's price.
const int64_t kMaxRealStep = 16 * 1024;

// What the growth rule says the buffer holds.
struct Rule {
  bool storage = false;
  int64_t size = 0;
  int64_t capacity = 0;
  int64_t grow = 1024;

  static int64_t AutoStep(int64_t size) {
    return size <= 32768 ? 1024 : size <= 1048576 ? 32768 : size <= 33554432 ? 1048576 : 33554432;
  }
  // ((size + 2) / 1024 + 1) * 1024, or -1 when that does not fit in 64 bits.
  static int64_t Rounded(int64_t size) {
    if (size > kMax - 2) return -1;
    int64_t blocks = (size + 2) / 1024 + 1;
    return blocks > kMax / 1024 ? -1 : blocks * 1024;
  }
  static Rule CopyOf(int64_t size) {
    Rule copy;
    copy.grow = AutoStep(size);
    if (size > 0) {
      copy.storage = true;
      copy.size = size;
      copy.capacity = Rounded(size);
    }
    return copy;
  }
  // False when the rule refuses: the call must throw, and only the step,
  // stored before the size is judged, has changed.
  bool Resize(int64_t newSize, int64_t step) {
    if (newSize < 0) return false;
    if (step < 0) step = AutoStep(newSize);
    grow = step;
    if (newSize == 0) {
      size = 0;
      return true;
    }
    int64_t next = Rounded(newSize);
    if (storage && newSize <= capacity) {
      next = capacity;
    } else if (storage) {
      if (step == 0) step = std::min<int64_t>(1024, std::max<int64_t>(4, static_cast<int32_t>(size) / 8));
      if (step > kMax - capacity) return false;
      if (newSize < capacity + step) next = capacity + step;
    }
    if (next < 0) return false;
    storage = true;
    capacity = next;
    size = newSize;
    return true;
  }
};

void CheckRule(const CMemBuffer& buffer, const Rule& rule) {
  if ((buffer.m_pBuffer != nullptr) != rule.storage || buffer.m_nCapacity != rule.capacity)
    Fail("capacity is not the growth rule's");
  if (buffer.m_nGrowSize != rule.grow) Fail("step is not the growth rule's");
}

// Runs `op`; it throws exactly when the rule refuses, and a throw leaves the
// buffer untouched.
template <typename Op>
bool Guarded(CMemBuffer& buffer, const std::vector<unsigned char>& model, bool accepted, Op op) {
  unsigned char* storage = buffer.m_pBuffer;
  int64_t capacity = buffer.m_nCapacity;
  try {
    op();
  } catch (const char* text) {
    if (strcmp(text, "InvalidArgExcption") != 0 && strcmp(text, "InvalidMemoryExcption") != 0)
      Fail("unexpected exception text");
    if (buffer.m_pBuffer != storage || buffer.m_nCapacity != capacity) Fail("a throwing call moved the storage");
    Check(buffer, model);
    if (accepted) Fail("a call the rule accepts threw");
    return false;
  }
  if (!accepted) Fail("a call the rule refuses did not throw");
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  CMemBuffer buffer;
  std::vector<unsigned char> model;
  Check(buffer, model);
  if (buffer.ToString() != "") Fail("ToString of a new buffer");

  Rule rule;
  for (int steps = 0; steps < 64 && provider.remaining_bytes() > 0; ++steps) {
    switch (provider.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: {
        int64_t newSize = PickSize(provider);
        int64_t step = provider.ConsumeBool() ? -1 : PickSize(provider);
        if (step > kMaxRealStep && step < kMax - 2) step = kMaxRealStep;
        bool accepted = rule.Resize(newSize, step);
        if (Guarded(buffer, model, accepted, [&] { buffer.Resize(newSize, step); }))
          model.resize(static_cast<size_t>(newSize), 0);
        break;
      }
      case 1: {
        buffer.Clear();
        model.clear();
        rule.size = 0;
        rule.grow = 1024;
        break;
      }
      case 2: {
        CMemBuffer copy(buffer);
        Check(copy, model);
        CheckRule(copy, Rule::CopyOf(rule.size));
        if (copy.m_pBuffer != nullptr && copy.m_pBuffer == buffer.m_pBuffer) Fail("a copy shares storage");
        if (provider.ConsumeBool()) {
          buffer = copy;
          rule = Rule::CopyOf(rule.size);
        }
        break;
      }
      case 3: {
        // Overwrite some bytes in use.
        if (model.empty()) break;
        size_t at = provider.ConsumeIntegralInRange<size_t>(0, model.size() - 1);
        std::string bytes = provider.ConsumeRandomLengthString(64);
        for (size_t i = 0; i < bytes.size() && at + i < model.size(); ++i)
          model[at + i] = buffer.m_pBuffer[at + i] = static_cast<unsigned char>(bytes[i]);
        break;
      }
      case 4: {
        std::string bytes = provider.ConsumeRandomLengthString(300);
        bool accepted = rule.Resize(rule.size + static_cast<int64_t>(bytes.size()), -1);
        if (Guarded(buffer, model, accepted, [&] { buffer.Append(bytes.data(), static_cast<int64_t>(bytes.size())); }))
          model.insert(model.end(), bytes.begin(), bytes.end());
        break;
      }
      case 5: {
        std::string text = provider.ConsumeRandomLengthString(300);
        bool accepted = rule.Resize(static_cast<int64_t>(text.size()) + 1, -1);
        if (Guarded(buffer, model, accepted, [&] { buffer.SetString(text); })) {
          model.assign(text.begin(), text.end());
          model.push_back(0);
        }
        break;
      }
      default: {
        // Text ends at the first zero byte; the zero tail guarantees one.
        const void* zero = model.empty() ? nullptr : memchr(model.data(), 0, model.size());
        std::string want(reinterpret_cast<const char*>(model.data()),
                         zero == nullptr ? model.size() : static_cast<const unsigned char*>(zero) - model.data());
        if (buffer.ToString() != want) Fail("ToString differs from the bytes up to the first zero");
        break;
      }
    }
    Check(buffer, model);
    CheckRule(buffer, rule);
  }
  return 0;
}
