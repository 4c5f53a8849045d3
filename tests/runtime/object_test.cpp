// Handles, the root object and boxed strings.
#include <gtest/gtest.h>

#include "runtime/errors.h"
#include "runtime/object.h"
#include "runtime/text.h"

using namespace kelpora;

namespace {

struct Counted : TObject {
  explicit Counted(int* destroyed) : destroyed(destroyed) {}
  ~Counted() override { ++*destroyed; }
  int* destroyed;
};

struct Derived : Counted {
  using Counted::Counted;
};

TEST(Handles, CopyMoveAndSelfAssignmentKeepOneObjectAlive) {
  int destroyed = 0;
  {
    Ref<Counted> a = MakeRef<Counted>(&destroyed);
    EXPECT_EQ(a->RefCount(), 1);
    Ref<Counted> b = a;
    EXPECT_EQ(a->RefCount(), 2);
    Ref<Counted> c = std::move(b);
    EXPECT_FALSE(b);
    EXPECT_EQ(a->RefCount(), 2);
    Ref<Counted>& alias = c;
    c = alias;  // self-assignment
    c = std::move(alias);
    EXPECT_EQ(a->RefCount(), 2);
    EXPECT_TRUE(c == a);
    c = nullptr;
    EXPECT_EQ(a->RefCount(), 1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(Handles, LastReleaseRunsCleanUpExactlyOnce) {
  int destroyed = 0;
  Ref<TObject> base;
  {
    Ref<Derived> derived = MakeRef<Derived>(&destroyed);
    base = derived;  // converts to the base type and shares
    Ref<Counted> back = RefCast<Counted>(base);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->RefCount(), 3);
  }
  EXPECT_EQ(destroyed, 0);
  Ref<TObject> raw(base.get());  // a second handle made from the pointer shares the count
  base = nullptr;
  EXPECT_EQ(destroyed, 0);
  raw = nullptr;
  EXPECT_EQ(destroyed, 1);
}

TEST(Handles, CastToAnUnrelatedTypeGivesNone) {
  Ref<TObject> text = BoxString(u"x");
  EXPECT_FALSE(RefCast<TRuntimeError>(text));
  EXPECT_TRUE(RefCast<TStringObject>(text));
}

TEST(Handles, AccessThroughNoneRaisesTheNullObjectError) {
  Ref<TStringObject> none;
  try {
    (void)none->value;
    FAIL() << "no error raised";
  } catch (const TNullObjectError& error) {
    EXPECT_EQ(error.ToString(), u"Attempt to access field or method of Null object");
  }
  EXPECT_THROW((void)*none, TNullObjectError);
  EXPECT_EQ(none.get(), nullptr);
}

TEST(RootObject, DefaultsAndReservedSlots) {
  auto a = MakeRef<TObject>();
  auto b = MakeRef<TObject>();
  EXPECT_EQ(a->Compare(a), 0);
  EXPECT_NE(a->Compare(b), 0);
  EXPECT_EQ(a->Compare(b), -b->Compare(a));
  EXPECT_FALSE(a->SendMessage(b, nullptr));
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<void*>(a.get()));
  EXPECT_EQ(ToBytes(a->ToString()), address);
  for (auto slot : {&TObject::Reserved1, &TObject::Reserved2, &TObject::Reserved3}) {
    try {
      ((*a).*slot)();
      FAIL() << "no error raised";
    } catch (const TMessageError& error) {
      EXPECT_EQ(error.ToString(), u"Illegal call to reserved method");
    }
  }
}

TEST(Strings, BytesKeepTheLowEightBits) {
  EXPECT_EQ(ToBytes(u"A\u0141\u00e9"), std::string("A\x41\xe9"));
  EXPECT_EQ(FromBytes("\xff\x01"), String(u"\u00ff\u0001"));
  EXPECT_EQ(FromBytes(std::string_view("a\0b", 3)).size(), 3u);
}

TEST(Strings, NumberFormats) {
  EXPECT_EQ(FormatInt(-42), u"-42");
  EXPECT_EQ(FormatInt(INT64_MIN), u"-9223372036854775808");
  EXPECT_EQ(FormatFloat(1.5f), u"1.50000000");
  EXPECT_EQ(FormatFloat(0.1f), u"0.100000001");
  EXPECT_EQ(FormatDouble(0.1), u"0.10000000000000001");
  EXPECT_EQ(FormatDouble(2.0), u"2.0000000000000000");
}

TEST(Strings, CaseChangesTouchOnlyAsciiLetters) {
  EXPECT_EQ(LowerAscii(u"AbZ\u00c9["), u"abz\u00c9[");
  EXPECT_EQ(UpperAscii(u"az{\u00e9`"), u"AZ{\u00e9`");
}

TEST(Strings, BoxedStringsCompareByContentCodeUnitByCodeUnit) {
  EXPECT_EQ(CompareObjects(BoxString(u"abc"), BoxString(u"abc")), 0);
  EXPECT_LT(CompareObjects(BoxString(u"ab"), BoxString(u"abc")), 0);  // a prefix sorts first
  EXPECT_GT(CompareObjects(BoxString(u"a"), BoxString(u"B")), 0);     // case matters
  EXPECT_LT(CompareObjects(BoxString(u"\u00ff"), BoxString(u"\u0100")), 0);
  EXPECT_LT(CompareObjects(nullptr, BoxString(u"")), 0);
  EXPECT_EQ(CompareObjects(nullptr, nullptr), 0);
}

}  // namespace

#include "runtime/deferred_release.h"

namespace {

TEST(DeferredRelease, FlushReleasesWhatWasDeferredSinceTheMarkAndLeavesNothingPending) {
  int destroyed = 0;
  auto early = MakeRef<Counted>(&destroyed);
  DeferRelease(early);
  size_t mark = DeferredReleaseMark();
  DeferRelease(MakeRef<Counted>(&destroyed));
  DeferRelease(MakeRef<Counted>(&destroyed));
  DeferRelease(nullptr);  // nothing to keep
  EXPECT_EQ(DeferredReleaseMark(), mark + 2);
  EXPECT_EQ(destroyed, 0);
  FlushDeferredReleases(mark);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(DeferredReleaseMark(), mark);
  FlushDeferredReleases(mark);  // nothing pending: no effect
  early = nullptr;
  EXPECT_EQ(destroyed, 2);  // still held by the queue below the mark
  FlushDeferredReleases(mark - 1);
  EXPECT_EQ(destroyed, 3);
}

}  // namespace
