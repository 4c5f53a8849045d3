// Tables of files embedded in an executable by the CMake function
// kelpora_embed_resources, and their registration as "incbin::" resources.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/object.h"

namespace kelpora {

struct TEmbeddedFile {
  const char* name;
  const unsigned char* data;
  size_t size;
};

struct TEmbeddedTable {
  const TEmbeddedFile* files;
  size_t count;
};

// The entry named `name` (exact, case-sensitive), or null.
const TEmbeddedFile* FindEmbeddedFile(const TEmbeddedTable& table, std::string_view name);
// Registers the entry named `name` with the resource registry under that name
// and its exact size, and answers "incbin::" + name, ready to open. Raises
// "Embedded file not found" when the table has no such entry.
String RegisterEmbeddedFile(const TEmbeddedTable& table, std::u16string_view name);

}  // namespace kelpora
