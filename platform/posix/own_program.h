#pragma once

#include <string>

namespace platform::posix {

/// The running program's own file path, of any length (the link /proc/self/exe); empty when
/// it cannot be read.
std::string OwnProgramPath();

/// dlopen(RTLD_NOW | RTLD_LOCAL). A bare file name is looked for in the program's own directory
/// first, as Windows searches it first, and then through the ordinary search; a name with a
/// '/' is opened as given. Null on failure, with dlerror() saying why. The program's directory
/// is looked at here rather than left to an $ORIGIN RUNPATH: dlopen applies the RUNPATH of its
/// caller, and an interposed dlopen (the sanitizers have one) is not the program.
void* LoadBesideProgram(const std::string& fileName);

}  // namespace platform::posix
