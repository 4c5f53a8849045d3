// The sentinel list: links, search, index errors, enumeration, copies and the sort.
#include "runtime/object_list.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include "runtime/errors.h"
#include "runtime/text.h"

using namespace kelpora;

namespace {

String Texts(const Ref<TObjectList>& list) {
  String out;
  for (auto e = list->Enumerate(); e->HasNext();) {
    Ref<TObject> value = e->NextObject();
    out += value ? value->ToString() : u"-";
  }
  return out;
}

Ref<TObjectList> ListOf(std::initializer_list<const char16_t*> texts) {
  auto list = MakeRef<TObjectList>();
  for (auto text : texts) list->AddLast(BoxString(text));
  return list;
}

void ExpectIndexError(const Ref<TObjectList>& list, int32_t index) {
  try {
    list->ValueAtIndex(index);
    ADD_FAILURE() << "no error for index " << index;
  } catch (const TRuntimeError& error) {
    EXPECT_EQ(error.ToString(), u"List index out of range");
  }
}

TEST(ObjectList, NewListAndSingleNode) {
  auto list = MakeRef<TObjectList>();
  EXPECT_EQ(list->Count(), 0);
  EXPECT_EQ(list->IsEmpty(), 1);
  EXPECT_FALSE(list->First());
  EXPECT_FALSE(list->RemoveLast());
  EXPECT_FALSE(list->FirstNode());
  auto node = list->AddLast(BoxString(u"a"));
  EXPECT_EQ(list->IsEmpty(), 0);
  EXPECT_FALSE(node->NextNode());
  EXPECT_FALSE(node->PrevNode());
  EXPECT_TRUE(list->FirstNode() == node);
  EXPECT_TRUE(list->LastNode() == node);
}

TEST(ObjectList, InsertionAtEndsAndNextToNodes) {
  auto list = MakeRef<TObjectList>();
  auto b = list->AddLast(BoxString(u"b"));
  list->AddFirst(BoxString(u"a"));
  list->AddLast(BoxString(u"d"));
  list->InsertAfterNode(BoxString(u"c"), b);
  list->InsertBeforeNode(BoxString(u"B"), b);
  EXPECT_EQ(Texts(list), u"aBbcd");
  EXPECT_EQ(list->Count(), 5);
  EXPECT_EQ(list->First()->ToString(), u"a");
  EXPECT_EQ(list->Last()->ToString(), u"d");
  EXPECT_EQ(b->NextNode()->Value()->ToString(), u"c");
  EXPECT_EQ(b->PrevNode()->Value()->ToString(), u"B");
  EXPECT_EQ(list->RemoveFirst()->ToString(), u"a");
  EXPECT_EQ(list->RemoveLast()->ToString(), u"d");
  EXPECT_EQ(Texts(list), u"Bbc");
}

TEST(ObjectList, SearchUsesTheElementsCompare) {
  auto list = MakeRef<TObjectList>();
  auto same = BoxString(u"x");
  list->AddLast(same);
  list->AddLast(BoxString(u"y"));
  list->AddLast(same);  // the same object twice gives two nodes
  EXPECT_EQ(list->Count(), 3);
  EXPECT_EQ(list->Contains(BoxString(u"y")), 1);  // by content, not identity
  EXPECT_EQ(list->Contains(BoxString(u"z")), 0);
  EXPECT_TRUE(list->FindNode(BoxString(u"x")) == list->FirstNode());
  EXPECT_EQ(list->RemoveValue(same), 1);  // the first one only
  EXPECT_EQ(Texts(list), u"yx");
  EXPECT_EQ(list->RemoveValue(BoxString(u"q")), 0);
  auto plain = MakeRef<TObject>();
  list->AddLast(plain);
  EXPECT_EQ(list->Contains(MakeRef<TObject>()), 0);  // plain objects compare by identity
  EXPECT_EQ(list->Contains(plain), 1);
}

TEST(ObjectList, NoneValuesAreStoredButSkippedByIndexAndCopies) {
  auto list = MakeRef<TObjectList>();
  list->AddLast(nullptr);
  list->AddLast(BoxString(u"a"));
  list->AddLast(nullptr);
  list->AddLast(BoxString(u"b"));
  EXPECT_EQ(list->Count(), 4);
  EXPECT_EQ(list->Contains(nullptr), 1);
  EXPECT_EQ(list->ValueAtIndex(0)->ToString(), u"a");
  EXPECT_EQ(list->ValueAtIndex(1)->ToString(), u"b");
  ExpectIndexError(list, 2);
  EXPECT_EQ(Texts(list->Copy()), u"ab");
  EXPECT_EQ(Texts(list->Reversed()), u"ba");
  auto array = list->ToArray();
  ASSERT_EQ(array->Length(), 4u);
  EXPECT_EQ((*array)[1]->ToString(), u"b");
  EXPECT_FALSE((*array)[2]);  // trailing entries stay none
  EXPECT_EQ(Texts(TObjectList::FromArray(array)), u"ab");
}

TEST(ObjectList, IndexErrors) {
  ExpectIndexError(MakeRef<TObjectList>(), 0);
  auto list = ListOf({u"a", u"b"});
  ExpectIndexError(list, -1);
  ExpectIndexError(list, 2);
  EXPECT_EQ(list->ValueAtIndex(1)->ToString(), u"b");
}

TEST(ObjectList, RemovalDuringEnumerationContinuesWithTheNextElement) {
  auto list = ListOf({u"a", u"b", u"c", u"d"});
  String seen;
  for (auto e = list->Enumerate(); e->HasNext();) {
    Ref<TObject> value = e->NextObject();
    seen += value->ToString();
    if (value->ToString() == u"b") list->RemoveValue(value);
  }
  EXPECT_EQ(seen, u"abcd");
  EXPECT_EQ(Texts(list), u"acd");

  // Removing the node the enumerator stands on: its value reads as none and the walk goes on.
  auto e = list->Enumerate();
  e->NextObject();  // a; now standing on c
  list->FindNode(BoxString(u"c"))->Remove();
  EXPECT_FALSE(e->NextObject());
  EXPECT_EQ(e->NextObject()->ToString(), u"d");
  EXPECT_EQ(e->HasNext(), 0);

  // A node added before the current one is not seen; one added after is.
  auto list2 = ListOf({u"a", u"b"});
  auto e2 = list2->Enumerate();
  e2->NextObject();
  list2->AddFirst(BoxString(u"z"));
  list2->AddLast(BoxString(u"c"));
  String rest;
  while (e2->HasNext()) rest += e2->NextObject()->ToString();
  EXPECT_EQ(rest, u"bc");
}

TEST(ObjectList, ARemovedNodeIsInert) {
  // Removing again must not relink the neighbours the node had back then.
  auto list = ListOf({u"a"});
  auto a = list->FirstNode();
  list->RemoveFirst();
  list->AddLast(BoxString(u"z"));
  a->Remove();
  EXPECT_EQ(Texts(list), u"z");
  EXPECT_EQ(list->Count(), 1);

  // Nor after Clear: no ghost nodes come back, and the list drops cleanly.
  auto list2 = ListOf({u"a", u"b", u"c"});
  auto first = list2->FirstNode();
  auto second = first->NextNode();
  list2->Clear();
  second->Remove();
  first->Remove();
  EXPECT_EQ(list2->Count(), 0);
  EXPECT_EQ(list2->IsEmpty(), 1);
  list2->AddLast(BoxString(u"d"));
  first->Remove();
  EXPECT_EQ(Texts(list2), u"d");

  // Nothing can be inserted next to it: it has no place in the list.
  EXPECT_FALSE(list2->InsertBeforeNode(BoxString(u"x"), first));
  EXPECT_FALSE(list2->InsertAfterNode(BoxString(u"y"), second));
  EXPECT_EQ(Texts(list2), u"d");
  String back;
  for (auto n = list2->LastNode(); n; n = n->PrevNode()) back += n->Value()->ToString();
  EXPECT_EQ(back, u"d");
}

TEST(ObjectList, AnEnumerationOfADroppedListEndsQuietly) {
  auto list = ListOf({u"a", u"b", u"c"});
  auto e = list->Enumerate();
  EXPECT_EQ(e->NextObject()->ToString(), u"a");
  list = nullptr;
  int handedOut = 0;
  while (e->HasNext()) {
    EXPECT_FALSE(e->NextObject());  // the nodes were removed with the list
    ++handedOut;
  }
  EXPECT_EQ(handedOut, 2);
}

// Runs `body` on a thread with a 512 KB stack, where a release nested once
// per node would overflow long before 100 000 nodes.
void OnSmallStack(void (*body)()) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 << 10);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* arg) -> void* {
                  reinterpret_cast<void (*)()>(arg)();
                  return nullptr;
                },
                reinterpret_cast<void*>(body)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(ObjectList, ALongChainOfRemovedNodesIsReleasedWithoutDeepRecursion) {
  OnSmallStack([] {
    // Each removed node holds the next one; the enumerator holds the first.
    auto list = MakeRef<TObjectList>();
    for (int i = 0; i < 100000; ++i) list->AddLast(nullptr);
    auto forward = list->Enumerate();
    list->Clear();
    forward = nullptr;
    // Removed from the back, each node holds the one before it.
    for (int i = 0; i < 100000; ++i) list->AddLast(nullptr);
    auto last = list->LastNode();
    while (!list->IsEmpty()) list->RemoveLast();
    last = nullptr;
    EXPECT_EQ(list->Count(), 0);
  });
}

TEST(ObjectList, SortIsStableAndRelinksTheSameNodes) {
  auto list = MakeRef<TObjectList>();
  auto b1 = BoxString(u"b"), a = BoxString(u"a"), b2 = BoxString(u"b");
  auto nodeB1 = list->AddLast(b1);
  list->AddLast(a);
  auto nodeB2 = list->AddLast(b2);
  list->Sort(1);
  EXPECT_EQ(Texts(list), u"abb");
  EXPECT_TRUE(list->ValueAtIndex(1) == b1);  // equal elements keep their order
  EXPECT_TRUE(list->ValueAtIndex(2) == b2);
  EXPECT_TRUE(nodeB1->NextNode() == nodeB2);  // callers' node handles stay valid
  list->Sort(0);
  EXPECT_EQ(Texts(list), u"bba");
  EXPECT_TRUE(list->ValueAtIndex(0) == b1);
  EXPECT_TRUE(list->ValueAtIndex(1) == b2);
  EXPECT_TRUE(list->LastNode()->PrevNode() == nodeB2);
}

TEST(ObjectList, SortOfLongerAndEdgeLists) {
  auto list = ListOf({u"m", u"c", u"x", u"a", u"q", u"c", u"b", u"z", u"a"});
  list->Sort(1);
  EXPECT_EQ(Texts(list), u"aabccmqxz");
  list->Sort(0);
  EXPECT_EQ(Texts(list), u"zxqmccbaa");
  auto empty = MakeRef<TObjectList>();
  empty->Sort(1);
  EXPECT_EQ(empty->Count(), 0);
  auto one = ListOf({u"a"});
  one->Sort(1);
  EXPECT_EQ(Texts(one), u"a");
  // Walking backwards after a sort sees the same order reversed.
  String back;
  for (auto n = list->LastNode(); n; n = n->PrevNode()) back += n->Value()->ToString();
  EXPECT_EQ(back, u"aabccmqxz");
}

TEST(ObjectList, SwapContentsExchangesNodesWithoutCopying) {
  auto left = ListOf({u"a", u"b"});
  auto right = ListOf({u"c"});
  auto nodeA = left->FirstNode();
  left->SwapContents(right);
  EXPECT_EQ(Texts(left), u"c");
  EXPECT_EQ(Texts(right), u"ab");
  EXPECT_TRUE(right->FirstNode() == nodeA);
  right->Reverse();
  EXPECT_EQ(Texts(right), u"ba");
}

TEST(ObjectList, DroppingOrClearingReleasesValuesAndNodes) {
  struct Tracked : TObject {
    explicit Tracked(int* alive) : alive(alive) { ++*alive; }
    ~Tracked() override { --*alive; }
    int* alive;
  };
  int alive = 0;
  Ref<TListNode> kept;
  {
    auto list = MakeRef<TObjectList>();
    for (int i = 0; i < 5; ++i) list->AddLast(MakeRef<Tracked>(&alive));
    kept = list->FirstNode();
    EXPECT_EQ(alive, 5);
    list->RemoveFirst();
    EXPECT_EQ(alive, 4);
    list->Clear();
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(list->IsEmpty(), 1);
    list->AddLast(MakeRef<Tracked>(&alive));
  }
  EXPECT_EQ(alive, 0);  // dropping the list removed its node
  EXPECT_FALSE(kept->Value());
}

TEST(ObjectList, FreeFunctionsForwardToTheList) {
  auto list = MakeRef<TObjectList>();
  ListAddLast(list, BoxString(u"b"));
  ListAddFirst(list, BoxString(u"a"));
  EXPECT_EQ(ListCount(list), 2);
  EXPECT_EQ(ListValueAtIndex(list, 1)->ToString(), u"b");
  ListSort(list, 0);
  EXPECT_EQ(Texts(list), u"ba");
  EXPECT_THROW(ListCount(nullptr), TNullObjectError);
}

}  // namespace
