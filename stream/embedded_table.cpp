#include "stream/embedded_table.h"

#include <climits>

#include "runtime/errors.h"
#include "runtime/text.h"
#include "stream/incbin.h"

namespace kelpora {

const TEmbeddedFile* FindEmbeddedFile(const TEmbeddedTable& table, std::string_view name) {
  for (size_t i = 0; i < table.count; ++i)
    if (name == table.files[i].name) return &table.files[i];
  return nullptr;
}

String RegisterEmbeddedFile(const TEmbeddedTable& table, std::u16string_view name) {
  const TEmbeddedFile* file = FindEmbeddedFile(table, ToBytes(name));
  if (!file || file->size > INT_MAX) RaiseError(u"Embedded file not found");
  RegisterResource(String(name), file->data, static_cast<int>(file->size));
  return u"incbin::" + String(name);
}

}  // namespace kelpora
