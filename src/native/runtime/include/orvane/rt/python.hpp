// The one place that includes Python.h, so every file sees the same configuration.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
