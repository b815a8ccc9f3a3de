#pragma once
// The installer stub that `build` uses when no --stub is given: the one installed with
// the tool, at a fixed place relative to the tool's own executable. A copied, relocated
// or packaged installation so finds its own stub, never one of another installation, and
// a build machine needs no cross compiler. In a build tree the host build stages the stub
// at the same relative place, so the tool there finds it too.

#include <string>

// The path where the installed stub belongs; false with a reason when the tool cannot
// tell where its own executable is.
bool stub_installed_path(std::string* path, std::string* error);

// The stub to pack: the given one when not empty, else the installed one when it exists.
// Prints the one-line refusal and returns false when there is neither.
bool stub_choose(const std::string& given, std::string* stub);
