#include <gtest/gtest.h>

#include "instrument/LoaderResource.h"

using namespace zelvo;

TEST(LoaderResource, TheLoaderIsCarriedByTypeAndName) {
  const auto loader = FindProgramResource(kLoaderResourceType, kLoaderResourceName);
  ASSERT_TRUE(loader.has_value());
  EXPECT_EQ(loader->size(), 480);
  EXPECT_FALSE(FindProgramResource("TEXT", "no_such_loader").has_value());
  EXPECT_FALSE(FindProgramResource("BIN", "tp_loader").has_value());
}
