// The steps of the sibling helpers that every trial runs, done natively while the helpers
// are the functions seen at import (see sibling_steps.cpp).
#pragma once
#include "orvane/rt/runtime.hpp"

namespace orvane::trialgrid {

// FuncTools.test_for(**trial, "~in_decorator"=False)(data)(), unpacked into result and
// cost; false (nothing done) when FuncTools.test_for or the clock it reads is not the one
// seen at import, or a trial key is no exact str: the caller then runs the steps.
bool run_test_for(const rt::Call& call, rt::Handle trial, rt::Handle data, rt::Ref& result,
                  rt::Ref& cost);

// concise_expr(obj), or an empty Ref when concise_expr, or a name it reads, is not the
// one seen at import.
rt::Ref concise(const rt::Call& call, rt::Handle obj);

}  // namespace orvane::trialgrid
