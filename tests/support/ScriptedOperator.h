#pragma once
// The scripted operator (core/ScriptedDialogs.h), installed for one test.
// Once the test declares the dialogs it expects (Expect...), a dialog it did
// not declare fails the test, and so does one declared but never shown.

#include <gtest/gtest.h>

#include "support/ScriptedDialogs.h"

namespace zelvo::test {

class ScriptedOperator : public ScriptedDialogs {
 public:
  ScriptedOperator() {
    OnUnexpected = [](const DialogCall&, const QString& why) { ADD_FAILURE() << why.toStdString(); };
  }
  ~ScriptedOperator() override { ExpectAllShown(); }
  ScriptedOperator(const ScriptedOperator&) = delete;
  ScriptedOperator& operator=(const ScriptedOperator&) = delete;

  // Every dialog declared so far has been shown (those that were not are
  // reported and forgotten).
  void ExpectAllShown() {
    for (const QString& missing : TakePending()) ADD_FAILURE() << "never shown: " << missing.toStdString();
  }

 private:
  ScopedDialogs installed_{this};
};

}  // namespace zelvo::test
