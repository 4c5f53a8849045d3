#include "runtime/object.h"

#include <cstdint>
#include <cstdio>

#include "runtime/errors.h"
#include "runtime/text.h"

namespace kelpora {

String TObject::ToString() const {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", static_cast<const void*>(this));
  return FromBytes(buffer);
}

int TObject::Compare(const Ref<TObject>& other) const {
  auto self = reinterpret_cast<std::uintptr_t>(this);
  auto that = reinterpret_cast<std::uintptr_t>(other.get());
  return self < that ? -1 : (self > that ? 1 : 0);
}

Ref<TObject> TObject::SendMessage(const Ref<TObject>&, const Ref<TObject>&) { return nullptr; }

void TObject::Reserved1() { RaiseError(u"Illegal call to reserved method"); }
void TObject::Reserved2() { RaiseError(u"Illegal call to reserved method"); }
void TObject::Reserved3() { RaiseError(u"Illegal call to reserved method"); }

int CompareObjects(const Ref<TObject>& a, const Ref<TObject>& b) {
  if (!a) return b ? -1 : 0;
  return a->Compare(b);
}

}  // namespace kelpora
