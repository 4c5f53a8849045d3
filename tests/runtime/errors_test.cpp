// The error family, RaiseError and typed arrays.
#include <gtest/gtest.h>

#include "runtime/array.h"
#include "runtime/errors.h"
#include "runtime/text.h"

using namespace kelpora;

namespace {

TEST(Errors, EachClassCarriesItsText) {
  EXPECT_EQ(TNullObjectError().ToString(), u"Attempt to access field or method of Null object");
  EXPECT_EQ(TAbstractMethodError().ToString(), u"Attempt to call abstract method");
  EXPECT_EQ(TNullFunctionError().ToString(), u"Attempt to call uninitialized function pointer");
  EXPECT_EQ(TArrayBoundsError().ToString(), u"Attempt to index array element beyond array length");
  EXPECT_EQ(TOutOfDataError().ToString(), u"Attempt to read beyond end of data");
  EXPECT_EQ(TMessageError().ToString(), u"");
  EXPECT_STREQ(TMessageError(u"Stream is not readable").what(), "Stream is not readable");
}

TEST(Errors, RaiseErrorThrowsAMessageErrorThatTheInnermostHandlerGets) {
  int outer = 0, inner = 0;
  try {
    try {
      RaiseError(u"Graphics mode does not exist");
    } catch (const TRuntimeError& error) {
      ++inner;
      EXPECT_EQ(error.ToString(), u"Graphics mode does not exist");
      EXPECT_NE(dynamic_cast<const TMessageError*>(&error), nullptr);
    }
  } catch (const TRuntimeError&) {
    ++outer;
  }
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(outer, 0);
}

TEST(Errors, RuntimeAssert) {
  EXPECT_NO_THROW(RuntimeAssert(true));
  try {
    RuntimeAssert(false);
    FAIL() << "no error raised";
  } catch (const TRuntimeError& error) {
    EXPECT_EQ(error.ToString(), u"C Assert failed");
  }
}

TEST(Arrays, StartZeroFilledAndCheckTheirBounds) {
  auto numbers = MakeArray<int>(4);
  auto texts = MakeArray<String>(2);
  auto objects = MakeArray<Ref<TObject>>(3);
  for (int value : *numbers) EXPECT_EQ(value, 0);
  EXPECT_TRUE((*texts)[1].empty());
  EXPECT_FALSE((*objects)[2]);
  (*numbers)[3] = 7;
  EXPECT_EQ(numbers->Data()[3], 7);
  EXPECT_THROW((*numbers)[4], TArrayBoundsError);
  EXPECT_EQ(MakeArray<int>(0)->Length(), 0u);
}

}  // namespace
