// Result codes shared by the reference companion libraries (0 is success).
#pragma once

// A name the module's loader resolves but never calls: present so the loader
// finds it, not implemented.
#define VAULT_RET_NOT_SUPPORTED 0x2F01ULL
// A null pointer or otherwise unusable argument.
#define VAULT_RET_BAD_ARGUMENT 0x2F02ULL
// A file of the library's data folder could not be written.
#define VAULT_RET_WRITE_FAILED 0x2F03ULL
// A named file does not exist or is a folder.
#define VAULT_RET_NO_FILE 0x2F04ULL
// Internal failure (out of memory).
#define VAULT_RET_FAILURE 0x2F05ULL

// Checks at compile time that an export has exactly the type through which
// the module calls it (PFN_<name> of the adapter's ...Api.h).
#include <type_traits>
#define VAULT_SAME_SIGNATURE(name) \
  static_assert(std::is_same<decltype(&name), PFN_##name>::value, #name " has the module's signature")
