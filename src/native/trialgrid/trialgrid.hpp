// The functions of the trial runner, defined in their own files and bound by module.cpp.
#pragma once
#include "orvane/rt/runtime.hpp"

namespace orvane::trialgrid {

extern const rt::FunctionSpec traversal_on_params;  // runs a parameter grid
extern const rt::FunctionSpec prompt_err_case;      // prints the failed trials
extern const rt::FunctionSpec diagnosing_tests;     // reports failures, returns pass flags
extern const rt::FunctionSpec grid_stage;           // pipeline stage 1
extern const rt::FunctionSpec store_stage;          // pipeline stage 2

}  // namespace orvane::trialgrid
