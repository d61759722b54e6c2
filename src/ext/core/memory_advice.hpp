// Advice to the system about memory the module is about to fill.
#pragma once

#include <Python.h>

namespace tavrune::memory {

// A plane is written once from end to end right after it is allocated, and a
// large one takes thousands of page faults when its memory is new to the
// process (a third of the time of opening an RGBA photo). Asking for
// transparent huge pages, as NumPy does for its large arrays, makes them a
// handful where the system has them enabled for advised memory; it is only
// advice, and nothing changes where it is not taken.
// plane is a bytearray; advice is given only for one of 4 MiB or more.
void advise_huge_pages(PyObject* plane);

}  // namespace tavrune::memory
