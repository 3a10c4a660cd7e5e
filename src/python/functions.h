// The module-level functions, in the order they are registered.
#ifndef VELK_PYTHON_FUNCTIONS_H_
#define VELK_PYTHON_FUNCTIONS_H_

#include "module.h"

namespace velk::python {

extern PyMethodDef module_functions[];

}  // namespace velk::python

#endif  // VELK_PYTHON_FUNCTIONS_H_
