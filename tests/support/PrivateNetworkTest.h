#pragma once
// A suite whose tests all run in one private network (PrivateNetwork.h),
// made by Network::Make(QString* why) before the first of them. Where it
// cannot be made, every test is skipped with the reason; the suite's CTest
// entry takes kPrivateNetworkSkipped as its skip mark.

#include <gtest/gtest.h>

#include <QString>
#include <memory>

#include "support/PrivateNetwork.h"

namespace zelvo::test {

inline constexpr char kPrivateNetworkSkipped[] = "private network tests skipped: ";

template <class Network>
class PrivateNetworkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    network_ = std::make_unique<Network>();
    if (!network_->Make(&skipReason_)) network_.reset();
  }
  static void TearDownTestSuite() { network_.reset(); }
  void SetUp() override {
    if (!network_) GTEST_SKIP() << kPrivateNetworkSkipped << skipReason_.toStdString();
  }
  static Network& Net() { return *network_; }

 private:
  static inline std::unique_ptr<Network> network_;
  static inline QString skipReason_;
};

}  // namespace zelvo::test
