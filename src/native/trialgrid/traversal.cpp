// traversal_on_params: runs a package function once per combination of a parameter
// pool, records each trial and returns the result table.
#include <string_view>
#include <vector>

#include "trialgrid.hpp"

namespace orvane::trialgrid {
namespace {

using rt::Handle;
using rt::Ref;

constexpr std::string_view kRule = "----------------------------------------";

// The function under test must answer `orvane_func` with the object True. Any
// error while the attribute is first read counts as not having it.
bool is_package_function(Handle data) {
  Ref first = Ref::steal_or_null(PyObject_GetAttrString(data.get(), "orvane_func"));
  if (!first) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) rt::throw_error_set();
    PyErr_Clear();
    return false;
  }
  return rt::getattr(data, "orvane_func").get() == Py_True;
}

struct Grid {
  Ref keys;    // list of the keys taking part, in pool order
  Ref trials;  // list of trial dicts, in product order
};

Grid build_grid(const rt::Call& call, Handle pool, Handle scope_in_builtin) {
  Grid grid{rt::new_list(), rt::new_list()};
  Ref candidates = rt::new_list();
  Ref tilde = rt::str("~");
  Ref items = rt::iter(rt::call_method(pool, "items"));
  while (Ref item = rt::next(items)) {
    auto [key, values] = rt::unpack<2>(item);
    if (!rt::truthy(scope_in_builtin) && rt::equals(rt::getitem(key, 0), tilde)) continue;
    rt::append(grid.keys, key);
    rt::append(candidates, values);
  }
  Ref combinations = rt::iter(
      rt::call_with(call.global("product"), Ref::steal(PyList_AsTuple(candidates.get())), nullptr));
  while (Ref combination = rt::next(combinations)) {
    Ref trial = rt::new_dict();
    Py_ssize_t count = PyList_GET_SIZE(grid.keys.get());
    for (Py_ssize_t index = 0; index < count; ++index) {
      rt::setitem(trial, PyList_GET_ITEM(grid.keys.get(), index), rt::getitem(combination, index));
    }
    rt::append(grid.trials, trial);
  }
  return grid;
}

// id of each candidate of the pool's "data" entry -> its position (the last one wins).
Ref number_data(Handle pool) {
  Ref numbering = rt::new_dict();
  Ref candidates = rt::iter(rt::call_method(pool, "get", {rt::str("data")}));
  long long position = 0;
  while (Ref candidate = rt::next(candidates)) {
    rt::setitem(numbering, Ref::steal(PyLong_FromVoidPtr(candidate.get())),
                rt::integer(position++));
  }
  return numbering;
}

struct Table {
  Ref trial_no = rt::new_list();
  Ref result = rt::new_list();
  Ref cost_time = rt::new_list();
  Ref comment = rt::new_list();
  Ref arg_names = rt::new_list();
  Ref arg_values = rt::new_list();  // one list per argument column
};

void start_argument_columns(Table& table, Handle trial) {
  Ref data_key = rt::str("data");
  Ref prefix = rt::str("arg: ");
  Ref keys = rt::iter(trial);
  while (Ref key = rt::next(keys)) {
    rt::append(table.arg_names, rt::equals(key, data_key) ? data_key : rt::add(prefix, key));
    rt::append(table.arg_values, rt::new_list());
  }
}

// Appends one row: the fixed fields, then the trial's arguments ("data" as its label).
void record_row(const rt::Call& call, Table& table, Py_ssize_t index, Handle trial,
                Handle numbering, Handle result, Handle cost, Handle comment) {
  rt::append(table.trial_no, rt::integer(index + 1));
  rt::append(table.result, result);
  rt::append(table.cost_time, cost);
  rt::append(table.comment, comment);
  Ref data_key = rt::str("data");
  Ref keys = rt::iter(trial);
  Py_ssize_t columns = PyList_GET_SIZE(table.arg_values.get());
  for (Py_ssize_t column = 0; column < columns; ++column) {
    Ref key = rt::next(keys);
    if (!key) break;
    Ref value = rt::getitem(trial, key);
    if (rt::equals(key, data_key)) {
      Ref id = Ref::steal(PyLong_FromVoidPtr(value.get()));
      Ref position = rt::call_method(numbering, "get", {id});
      value = rt::add(rt::str("data_"), rt::to_str(position));
    }
    rt::append(PyList_GET_ITEM(table.arg_values.get(), column), value);
  }
  rt::call(call.global("print"), {rt::str(kRule), rt::integer(index),
                                  rt::str("iteration of trials ends"), rt::str(kRule)});
}

// Runs one trial: test_for(**trial, "~in_decorator"=False)(data)() -> (result, cost).
void run_trial(const rt::Call& call, Handle trial, Handle data, Handle concise_result, Ref& result,
               Ref& cost) {
  Ref keywords = rt::dict_copy(trial);
  rt::set_key(keywords, "~in_decorator", Py_False);
  Ref test_for = rt::getattr(call.global("FuncTools"), "test_for");
  Ref runner = rt::call(rt::call_with(test_for, rt::tuple({}), keywords), {data});
  auto [run_result, run_cost] = rt::unpack<2>(rt::call(runner));
  result = run_result;
  cost = run_cost;
  if (rt::truthy(concise_result)) result = rt::call(call.global("concise_expr"), {result});
  // A Ctrl-C that came while the trial ran in C code is raised here, inside the trial: its
  // row and separator then go out before the interrupt propagates. Left pending, it would
  // be raised by the first signal check while the row is recorded (str() of a label,
  // print itself), cutting the row short and losing the separator.
  rt::check_interrupts();
}

Ref traversal_body(rt::Call& call) {
  PyObject* params = call.arg(0);
  Ref data = rt::dict_get(params, "data", Py_None);
  Ref pool = rt::dict_get(params, "params_pool", Py_None);
  Ref scope_in_builtin = rt::dict_get(params, "scope_in_builtin", Py_False);
  Ref concise_result = rt::dict_get(params, "concise_result", Py_True);

  bool accepted = is_package_function(data);
  Ref error = rt::call(PyExc_TypeError, {rt::str("object in entry must be a orvane function")});
  rt::call(call.global("assert_orvane_raiser"), {rt::boolean(accepted), error});

  Grid grid = build_grid(call, pool, scope_in_builtin);
  Ref numbering = number_data(pool);

  Table table;
  Py_ssize_t count = PyList_GET_SIZE(grid.trials.get());
  for (Py_ssize_t index = 0; index < count; ++index) {
    Ref trial = Ref::borrow(PyList_GET_ITEM(grid.trials.get(), index));
    if (index == 0) start_argument_columns(table, trial);
    Ref result = rt::none();
    Ref cost = rt::none();
    Ref comment = rt::integer(0);
    try {
      run_trial(call, trial, data, concise_result, result, cost);
    } catch (const rt::ErrorSet&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        // An interrupt or exit: the row and its separator still go out, then it propagates.
        rt::PendingError pending;
        record_row(call, table, index, trial, numbering, result, cost, comment);
        pending.rethrow();
      }
      Ref exc = Ref::steal(PyErr_GetRaisedException());
      comment = rt::call_method(exc, "__repr__");
    }
    record_row(call, table, index, trial, numbering, result, cost, comment);
  }

  Ref fixed = rt::new_dict();
  rt::set_key(fixed, "trial No.", table.trial_no);
  rt::set_key(fixed, "result", table.result);
  rt::set_key(fixed, "cost_time", table.cost_time);
  rt::set_key(fixed, "comment", table.comment);
  Ref arguments = rt::new_dict();
  Py_ssize_t columns = PyList_GET_SIZE(table.arg_names.get());
  for (Py_ssize_t column = 0; column < columns; ++column) {
    rt::setitem(arguments, PyList_GET_ITEM(table.arg_names.get(), column),
                PyList_GET_ITEM(table.arg_values.get(), column));
  }
  Ref pd = call.global("pd");
  Ref frame_type = rt::getattr(pd, "DataFrame");
  Ref frames = rt::list({rt::call(frame_type, {fixed}), rt::call(frame_type, {arguments})});
  return rt::call(rt::getattr(pd, "concat"), {frames}, {{"axis", rt::integer(1)}});
}

constexpr rt::Param kParams[] = {{.name = "params", .kind = rt::ParamKind::VarKeyword}};

}  // namespace

const rt::FunctionSpec traversal_on_params{
    .name = "traversal_on_params", .params = kParams, .body = traversal_body};

}  // namespace orvane::trialgrid
