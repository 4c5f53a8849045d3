// The doubly linked object list with a sentinel node.
#pragma once

#include <cstdint>

#include "runtime/array.h"
#include "runtime/object.h"

namespace kelpora {

class TObjectList;

// One element's place in a list. A removed node keeps its neighbours, so a
// walk or enumeration standing on it can still step onward.
class TListNode : public TObject {
 public:
  ~TListNode() override;
  Ref<TObject> Value() const { return value; }
  Ref<TListNode> NextNode() const;  // none after the last node
  Ref<TListNode> PrevNode() const;  // none before the first node
  // Unlinks the node. A node leaves its list once: removing it again, or
  // removing the sentinel, does nothing.
  void Remove();

  Ref<TObject> value;  // none once removed; the sentinel holds itself while its list lives
  Ref<TListNode> succ;
  Ref<TListNode> pred;
  bool removed = false;
  bool sentinel = false;  // still true after its list was dropped, so walks end there

  bool IsSentinel() const noexcept { return sentinel; }
};

class TListEnumerator : public TObject {
 public:
  explicit TListEnumerator(Ref<TListNode> current) : current(std::move(current)) {}
  int32_t HasNext() const;
  // The value of the current node (none for a node removed meanwhile), then steps on.
  Ref<TObject> NextObject();

  Ref<TListNode> current;
};

// Insertion order, constant-time insertion and removal through nodes, and a
// stable in-place sort by the elements' own compare. Values may be none and
// may repeat. Dropping the list removes every node.
class TObjectList : public TObject {
 public:
  TObjectList();
  ~TObjectList() override;

  void Clear();
  int32_t IsEmpty() const;
  int32_t Contains(const Ref<TObject>& value) const;
  Ref<TListNode> AddFirst(const Ref<TObject>& value);
  Ref<TListNode> AddLast(const Ref<TObject>& value);
  Ref<TObject> First() const;
  Ref<TObject> Last() const;
  Ref<TObject> RemoveFirst();
  Ref<TObject> RemoveLast();
  Ref<TListNode> FirstNode() const;
  Ref<TListNode> LastNode() const;
  // Next to a node that was removed there is no place left: none, and the
  // list stays as it was.
  Ref<TListNode> InsertBeforeNode(const Ref<TObject>& value, const Ref<TListNode>& succ);
  Ref<TListNode> InsertAfterNode(const Ref<TObject>& value, const Ref<TListNode>& pred);
  Ref<TListNode> FindNode(const Ref<TObject>& value) const;
  // The index-th value that is not none; raises "List index out of range".
  Ref<TObject> ValueAtIndex(int32_t index) const;
  int32_t Count() const;
  int32_t RemoveValue(const Ref<TObject>& value);
  void SwapContents(const Ref<TObjectList>& other);
  Ref<TObjectList> Copy() const;
  void Reverse();
  Ref<TObjectList> Reversed() const;
  void Sort(int32_t ascending);
  Ref<TListEnumerator> Enumerate() const;
  Ref<TArray<Ref<TObject>>> ToArray() const;
  static Ref<TObjectList> FromArray(const Ref<TArray<Ref<TObject>>>& array);

  Ref<TListNode> head;  // the sentinel
};

// The same operations as free functions taking the list first.
inline void ListClear(const Ref<TObjectList>& l) { l->Clear(); }
inline int32_t ListIsEmpty(const Ref<TObjectList>& l) { return l->IsEmpty(); }
inline int32_t ListContains(const Ref<TObjectList>& l, const Ref<TObject>& v) {
  return l->Contains(v);
}
inline Ref<TListNode> ListAddFirst(const Ref<TObjectList>& l, const Ref<TObject>& v) {
  return l->AddFirst(v);
}
inline Ref<TListNode> ListAddLast(const Ref<TObjectList>& l, const Ref<TObject>& v) {
  return l->AddLast(v);
}
inline Ref<TObject> ListFirst(const Ref<TObjectList>& l) { return l->First(); }
inline Ref<TObject> ListLast(const Ref<TObjectList>& l) { return l->Last(); }
inline Ref<TObject> ListRemoveFirst(const Ref<TObjectList>& l) { return l->RemoveFirst(); }
inline Ref<TObject> ListRemoveLast(const Ref<TObjectList>& l) { return l->RemoveLast(); }
inline Ref<TListNode> ListFirstNode(const Ref<TObjectList>& l) { return l->FirstNode(); }
inline Ref<TListNode> ListLastNode(const Ref<TObjectList>& l) { return l->LastNode(); }
inline Ref<TListNode> ListInsertBeforeNode(const Ref<TObjectList>& l, const Ref<TObject>& v,
                                           const Ref<TListNode>& succ) {
  return l->InsertBeforeNode(v, succ);
}
inline Ref<TListNode> ListInsertAfterNode(const Ref<TObjectList>& l, const Ref<TObject>& v,
                                          const Ref<TListNode>& pred) {
  return l->InsertAfterNode(v, pred);
}
inline Ref<TListNode> ListFindNode(const Ref<TObjectList>& l, const Ref<TObject>& v) {
  return l->FindNode(v);
}
inline Ref<TObject> ListValueAtIndex(const Ref<TObjectList>& l, int32_t i) {
  return l->ValueAtIndex(i);
}
inline int32_t ListCount(const Ref<TObjectList>& l) { return l->Count(); }
inline int32_t ListRemoveValue(const Ref<TObjectList>& l, const Ref<TObject>& v) {
  return l->RemoveValue(v);
}
inline void ListSwapContents(const Ref<TObjectList>& l, const Ref<TObjectList>& o) {
  l->SwapContents(o);
}
inline Ref<TObjectList> ListCopy(const Ref<TObjectList>& l) { return l->Copy(); }
inline void ListReverse(const Ref<TObjectList>& l) { l->Reverse(); }
inline Ref<TObjectList> ListReversed(const Ref<TObjectList>& l) { return l->Reversed(); }
inline void ListSort(const Ref<TObjectList>& l, int32_t ascending = 1) { l->Sort(ascending); }
inline Ref<TListEnumerator> ListEnumerate(const Ref<TObjectList>& l) { return l->Enumerate(); }
inline Ref<TArray<Ref<TObject>>> ListToArray(const Ref<TObjectList>& l) { return l->ToArray(); }
inline Ref<TObjectList> ListFromArray(const Ref<TArray<Ref<TObject>>>& a) {
  return TObjectList::FromArray(a);
}

}  // namespace kelpora
