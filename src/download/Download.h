#pragma once
// The download command: chooses a procedure by hardware type and runs its stages.
#include "protocols/LoaderState.h"
#include "protocols/LoaderWindow.h"

namespace ostra {

// The handler of DownLoadButton. Every outcome is shown to the technician; no
// failure leaves it. A press while a download runs starts nothing.
void DownLoadButton_Click(LoaderState& state, LoaderWindow& window);

}  // namespace ostra
