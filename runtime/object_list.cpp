#include "runtime/object_list.h"

#include <vector>

#include "runtime/errors.h"

namespace kelpora {

TListNode::~TListNode() {
  // Removed nodes hold their old neighbours, so dropping one can drop a chain
  // of others that only it still holds, as long as the list was. Take each
  // one's links before it goes, so the chain is let go of in a loop rather
  // than by one nested release per node.
  std::vector<Ref<TListNode>> dropping;
  if (succ) dropping.push_back(std::move(succ));
  if (pred) dropping.push_back(std::move(pred));
  while (!dropping.empty()) {
    Ref<TListNode> node = std::move(dropping.back());
    dropping.pop_back();
    if (node->RefCount() != 1) continue;
    if (node->succ) dropping.push_back(std::move(node->succ));
    if (node->pred) dropping.push_back(std::move(node->pred));
  }
}

Ref<TListNode> TListNode::NextNode() const { return succ->IsSentinel() ? nullptr : succ; }

Ref<TListNode> TListNode::PrevNode() const { return pred->IsSentinel() ? nullptr : pred; }

void TListNode::Remove() {
  // Its old neighbours may have moved on since; relinking them again would
  // cut live nodes out of the list.
  if (removed || sentinel) return;
  removed = true;
  value = nullptr;
  pred->succ = succ;
  succ->pred = pred;
}

int32_t TListEnumerator::HasNext() const { return current->IsSentinel() ? 0 : 1; }

Ref<TObject> TListEnumerator::NextObject() {
  Ref<TObject> value = current->value;
  current = current->succ;
  return value;
}

TObjectList::TObjectList() : head(MakeRef<TListNode>()) {
  head->sentinel = true;
  head->value = head;
  head->succ = head;
  head->pred = head;
}

TObjectList::~TObjectList() {
  Clear();
  // The sentinel holds itself; let go of that so it can be freed. It stays a
  // sentinel for removed nodes that still lead to it.
  head->succ = nullptr;
  head->pred = nullptr;
  head->value = nullptr;
}

void TObjectList::Clear() {
  while (!head->succ->IsSentinel()) head->succ->Remove();
}

int32_t TObjectList::IsEmpty() const { return head->succ == head ? 1 : 0; }

Ref<TListNode> TObjectList::FindNode(const Ref<TObject>& value) const {
  for (Ref<TListNode> node = head->succ; node != head; node = node->succ)
    if (CompareObjects(node->value, value) == 0) return node;
  return nullptr;
}

int32_t TObjectList::Contains(const Ref<TObject>& value) const { return FindNode(value) ? 1 : 0; }

Ref<TListNode> TObjectList::InsertBeforeNode(const Ref<TObject>& value,
                                             const Ref<TListNode>& succ) {
  if (succ->removed) return nullptr;
  auto node = MakeRef<TListNode>();
  node->value = value;
  node->succ = succ;
  node->pred = succ->pred;
  node->pred->succ = node;
  succ->pred = node;
  return node;
}

Ref<TListNode> TObjectList::InsertAfterNode(const Ref<TObject>& value, const Ref<TListNode>& pred) {
  if (pred->removed) return nullptr;
  auto node = MakeRef<TListNode>();
  node->value = value;
  node->pred = pred;
  node->succ = pred->succ;
  node->succ->pred = node;
  pred->succ = node;
  return node;
}

Ref<TListNode> TObjectList::AddFirst(const Ref<TObject>& value) {
  return InsertAfterNode(value, head);
}

Ref<TListNode> TObjectList::AddLast(const Ref<TObject>& value) {
  return InsertBeforeNode(value, head);
}

Ref<TObject> TObjectList::First() const { return IsEmpty() ? nullptr : head->succ->value; }

Ref<TObject> TObjectList::Last() const { return IsEmpty() ? nullptr : head->pred->value; }

Ref<TObject> TObjectList::RemoveFirst() {
  if (IsEmpty()) return nullptr;
  Ref<TObject> value = head->succ->value;
  head->succ->Remove();
  return value;
}

Ref<TObject> TObjectList::RemoveLast() {
  if (IsEmpty()) return nullptr;
  Ref<TObject> value = head->pred->value;
  head->pred->Remove();
  return value;
}

Ref<TListNode> TObjectList::FirstNode() const { return IsEmpty() ? nullptr : head->succ; }

Ref<TListNode> TObjectList::LastNode() const { return IsEmpty() ? nullptr : head->pred; }

Ref<TObject> TObjectList::ValueAtIndex(int32_t index) const {
  if (index >= 0) {
    for (Ref<TListNode> node = head->succ; node != head; node = node->succ) {
      if (!node->value) continue;
      if (index == 0) return node->value;
      --index;
    }
  }
  RaiseError(u"List index out of range");
}

int32_t TObjectList::Count() const {
  int32_t count = 0;
  for (TListNode* node = head->succ.get(); node != head.get(); node = node->succ.get()) ++count;
  return count;
}

int32_t TObjectList::RemoveValue(const Ref<TObject>& value) {
  Ref<TListNode> node = FindNode(value);
  if (!node) return 0;
  node->Remove();
  return 1;
}

void TObjectList::SwapContents(const Ref<TObjectList>& other) { head.swap(other->head); }

Ref<TObjectList> TObjectList::Copy() const {
  auto copy = MakeRef<TObjectList>();
  for (Ref<TListNode> node = head->succ; node != head; node = node->succ)
    if (node->value) copy->AddLast(node->value);
  return copy;
}

Ref<TObjectList> TObjectList::Reversed() const {
  auto copy = MakeRef<TObjectList>();
  for (Ref<TListNode> node = head->succ; node != head; node = node->succ)
    if (node->value) copy->AddFirst(node->value);
  return copy;
}

void TObjectList::Reverse() { SwapContents(Reversed()); }

void TObjectList::Sort(int32_t ascending) {
  TListNode* boundary = head.get();
  for (;;) {
    TListNode* b = head->succ.get();
    bool swapped = false;
    while (b->succ.get() != boundary) {
      Ref<TListNode> q = b->succ;
      int order = CompareObjects(b->value, q->value);
      if ((order > 0 && ascending) || (order < 0 && !ascending)) {
        // Relink q in front of b: p <-> q <-> b <-> s. Hold b while its links change.
        Ref<TListNode> held(b);
        Ref<TListNode> p = b->pred;
        Ref<TListNode> s = q->succ;
        p->succ = q;
        q->pred = p;
        q->succ = held;
        b->pred = q;
        b->succ = s;
        s->pred = held;
        swapped = true;
      } else {
        b = q.get();
      }
    }
    if (!swapped) return;
    boundary = b;
  }
}

Ref<TListEnumerator> TObjectList::Enumerate() const { return MakeRef<TListEnumerator>(head->succ); }

Ref<TArray<Ref<TObject>>> TObjectList::ToArray() const {
  auto array = MakeArray<Ref<TObject>>(static_cast<size_t>(Count()));
  size_t i = 0;
  for (Ref<TListNode> node = head->succ; node != head; node = node->succ)
    if (node->value) (*array)[i++] = node->value;
  return array;
}

Ref<TObjectList> TObjectList::FromArray(const Ref<TArray<Ref<TObject>>>& array) {
  auto list = MakeRef<TObjectList>();
  for (const auto& value : *array)
    if (value) list->AddLast(value);
  return list;
}

}  // namespace kelpora
