// Which driver a test or the program drives: the compiled-in one, or the
// kernel image zatac97.sys loaded into the 32-bit host (host/image). The
// image is chosen by path (the program's --image, or ZATAC97_IMAGE in the
// environment of a test run) and loaded afresh for every driver that starts,
// as a kernel loads a driver again after it was unloaded: its variables start
// from the file's values each time.
#pragma once

#include <wdm.h>

#include <string>

namespace host {

// Loads the image at path and returns its entry point, or null with the
// reason in *error. The linker's map beside it (zatac97.map for zatac97.sys)
// names its variables, if present, and the conventions its imports are
// called with: each call across, either way, is then checked (CheckedRoutine).
PDRIVER_INITIALIZE LoadDriverImage(const std::string& path, std::string* error);

// The address of variable name in the image whose entry point is entry, or
// null (not an image, or no map naming it).
void* ImageSymbol(PDRIVER_INITIALIZE entry, const std::string& name);

// The image named by ZATAC97_IMAGE if set (a load failure ends the process
// with the reason: no test may silently fall back), else compiledIn.
PDRIVER_INITIALIZE DriverUnderTest(PDRIVER_INITIALIZE compiledIn);

}  // namespace host
