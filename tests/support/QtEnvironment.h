#pragma once
// One Qt application object for a whole test program that talks over the serial
// library, as the loader program has one.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>

namespace ostra::testing {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() == nullptr) {
      static int argc = 1;
      static char name[] = "ostra_tests";
      static char* argv[] = {name, nullptr};
      app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QCoreApplication> app_;
};

}  // namespace ostra::testing
