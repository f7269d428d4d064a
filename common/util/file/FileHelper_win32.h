// File and path helpers over the Win32 file API.
#pragma once
#include <cstdint>
#include <string>

std::string GetDirFromPath(const char* path);
std::string GetFileNameFromPath(const char* path);
uint64_t File_GetSize(const char* path);
