// A GUID as machine descriptions, policies and the device records write it:
// lower case, without braces.
#pragma once
#include <cstdio>
#include <string>

#include "platform/winapi.h"

inline std::string GuidText(const GUID& g) {
  char text[40];
  snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned>(g.Data1),
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
           g.Data4[7]);
  return text;
}
