// Every unit test starts with an empty output and leaves the host's shared
// state as it found it: the active dataset (a suite may set one up for all
// its tests), the thread count and the progress function and interval. Registered for
// every test program, so no test resets these by hand.
#include <gtest/gtest.h>

#include <memory>

#include "host/data/dataset.h"
#include "host/dataset.h"
#include "host/document.h"

namespace {

class FreshState : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    host::ResetOutput();
    fDataset = host::ActiveDataset();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    host::ResetOutput();
    host::SetActiveDataset(fDataset);
    fDataset.reset();
    host::SetThreads(0);
    host::SetProgressFunction({});
    host::SetProgressInterval(host::kProgressInterval);
  }
  std::shared_ptr<host::Dataset> fDataset;
};

const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshState);
  return true;
}();

}  // namespace
