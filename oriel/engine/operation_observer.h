#pragma once
// Told where an operation begins, what boxes it shows and where it ends
// (the flash history listens here). Called on the UI thread, in the
// engine's own order; an observer must not drive the engine.

#include <cstdint>
#include <string>

namespace oriel {

class IOperationObserver {
  public:
    virtual ~IOperationObserver() = default;
    // StartOperation, after the operation's fields are set.
    virtual void OperationStarted(int32_t nOperation) = 0;
    // A message box of the engine, before it is shown.
    virtual void OperationMessage(const std::string& text) = 0;
    // FinishOperation, after the files are closed.
    virtual void OperationFinished() = 0;
};

}  // namespace oriel
