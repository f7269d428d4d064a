// CMemBuffer under sequences of Resize (any size and step, negative ones
// too), Clear, copy, assignment, writes and ToString, checked after every
// step against a plain model of its bytes:
// - the first m_nSize bytes are the model's, everything up to m_nCapacity is zero;
// - m_nSize <= m_nCapacity, and no storage means size and capacity 0;
// - a throwing call leaves storage, size, capacity and bytes as they were.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
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

// Sizes and steps: mostly small, some around the step thresholds, some
// negative, some so large that only the overflow checks can answer (never
// one that would really be allocated: the sanitizer's allocator would abort).
// Sizes around the 1 MiB threshold cost a real allocation and a scan of it at
// every check, so they are rare, an input gets one at most, and after it the
// input ends within a few steps.
struct Picker {
  FuzzedDataProvider& provider;
  int bigLeft = 1;

  int64_t Size() {
    static const int64_t kRanges[][2] = {{std::numeric_limits<int64_t>::min(), -1}, {-2, 2}, {kMax - 2, kMax},
                                         {32760, 32780}, {1048570, 1048580}, {0, 5000}, {0, 5000}, {0, 5000}};
    int index = provider.ConsumeIntegralInRange<int>(0, 7);
    if (index == 4 && (bigLeft-- <= 0 || provider.ConsumeIntegralInRange<int>(0, 7) != 0)) index = 5;
    return provider.ConsumeIntegralInRange<int64_t>(kRanges[index][0], kRanges[index][1]);
  }
};

// A step that really grows the storage stays below this; larger ones (up to
// the overflow range) test the same arithmetic at a real allocation's price.
const int64_t kMaxRealStep = 16 * 1024;
// Steps an input may still take once its buffer holds about a megabyte.
const int kStepsAfterBig = 4;

// Runs `op`; on a throw the buffer must be untouched.
template <typename Op>
bool Guarded(CMemBuffer& buffer, const std::vector<unsigned char>& model, Op op) {
  unsigned char* storage = buffer.m_pBuffer;
  int64_t capacity = buffer.m_nCapacity;
  try {
    op();
    return true;
  } catch (const char* text) {
    if (strcmp(text, "InvalidArgExcption") != 0 && strcmp(text, "InvalidMemoryExcption") != 0)
      Fail("unexpected exception text");
    if (buffer.m_pBuffer != storage || buffer.m_nCapacity != capacity) Fail("a throwing call moved the storage");
    Check(buffer, model);
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  CMemBuffer buffer;
  std::vector<unsigned char> model;
  Check(buffer, model);
  if (buffer.ToString() != "") Fail("ToString of a new buffer");

  Picker pick{provider};
  int stepsLeft = 64;
  for (; stepsLeft > 0 && provider.remaining_bytes() > 0; --stepsLeft) {
    if (buffer.m_nCapacity > (512 << 10) && stepsLeft > kStepsAfterBig) stepsLeft = kStepsAfterBig;
    switch (provider.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: {
        int64_t newSize = pick.Size();
        int64_t step = provider.ConsumeBool() ? -1 : pick.Size();
        if (step > kMaxRealStep && step < kMax - 2) step = kMaxRealStep;
        int64_t oldCapacity = buffer.m_nCapacity;
        bool ok = Guarded(buffer, model, [&] { buffer.Resize(newSize, step); });
        if (newSize < 0 && ok) Fail("negative size accepted");
        if (ok) {
          model.resize(static_cast<size_t>(newSize), 0);
          if (newSize == 0 && buffer.m_nCapacity != oldCapacity) Fail("Resize to 0 changed the capacity");
        }
        break;
      }
      case 1: {
        int64_t oldCapacity = buffer.m_nCapacity;
        buffer.Clear();
        model.clear();
        if (buffer.m_nCapacity != oldCapacity || buffer.m_nGrowSize != 1024) Fail("Clear changed capacity or step");
        break;
      }
      case 2: {
        CMemBuffer copy(buffer);
        Check(copy, model);
        if (copy.m_pBuffer != nullptr && copy.m_pBuffer == buffer.m_pBuffer) Fail("a copy shares storage");
        if (provider.ConsumeBool()) {
          buffer = copy;
          Check(buffer, model);
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
        if (Guarded(buffer, model, [&] { buffer.Append(bytes.data(), static_cast<int64_t>(bytes.size())); }))
          model.insert(model.end(), bytes.begin(), bytes.end());
        break;
      }
      case 5: {
        std::string text = provider.ConsumeRandomLengthString(300);
        if (Guarded(buffer, model, [&] { buffer.SetString(text); })) {
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
  }
  return 0;
}
