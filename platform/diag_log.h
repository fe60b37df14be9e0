#pragma once
// Diagnostics (port errors, simulator traces): one path, a prefix per
// subsystem. Operator texts never go here; they go through the console.
// Off unless ORIEL_TRACE is set in the environment or Enable() is called.

#include <string>

namespace platform {

void DiagEnable(bool bOn);
bool DiagEnabled();
void Diag(const char* subsystem, const std::string& text);

}  // namespace platform
