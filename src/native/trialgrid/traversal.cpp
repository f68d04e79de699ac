// traversal_on_params: runs a package function once per combination of a parameter
// pool, records each trial and returns the result table.
#include <string_view>
#include <vector>

#include "orvane/rt/error.hpp"
#include "sibling_steps.hpp"
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

// What the traversal keeps between calls into Python code lives in C++ containers of
// owned references: the function under test can reach any Python list through
// gc.get_referrers and clear it, but not these.
using Refs = std::vector<Ref>;

// A Python list of the references, made when the table is put together.
Ref to_list(const Refs& items) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t index = 0;
  for (const Ref& item : items) PyList_SET_ITEM(result.get(), index++, Ref(item).release());
  return result;
}

struct Grid {
  Refs keys;    // the keys taking part, in pool order
  Refs trials;  // trial dicts, in product order
};

Grid build_grid(const rt::Call& call, Handle pool, Handle scope_in_builtin) {
  Grid grid;
  Refs candidates;
  Ref tilde = rt::str("~");
  Ref items = rt::iter(rt::call_method(pool, "items"));
  while (Ref item = rt::next(items)) {
    auto [key, values] = rt::unpack<2>(item);
    if (!rt::truthy(scope_in_builtin) && rt::equals(rt::getitem(key, 0), tilde)) continue;
    grid.keys.push_back(key);
    candidates.push_back(values);
  }
  Ref product = call.global("product");
  Ref arguments = Ref::steal(PyList_AsTuple(to_list(candidates).get()));
  Ref combinations = rt::iter(rt::call_with(product, arguments, nullptr));
  while (Ref combination = rt::next(combinations)) {
    Ref trial = rt::new_dict();
    for (std::size_t index = 0; index < grid.keys.size(); ++index) {
      Ref value = rt::getitem(combination, static_cast<Py_ssize_t>(index));
      rt::setitem(trial, grid.keys[index], value);
    }
    grid.trials.push_back(std::move(trial));
  }
  return grid;
}

// id of each candidate of the pool's "data" entry -> its position (the last one wins):
// `for position, candidate in enumerate(pool.get("data"))`, with the built-ins read as a
// Python body reads them.
Ref number_data(const rt::Call& call, Handle pool) {
  Ref numbering = rt::new_dict();
  Ref enumerate = call.global("enumerate");
  Ref candidates = rt::call_method(pool, "get", {rt::str("data")});
  Ref pairs = rt::iter(rt::call(enumerate, {candidates}));
  while (Ref pair = rt::next(pairs)) {
    auto [position, candidate] = rt::unpack<2>(pair);
    Ref id = call.global("id");
    rt::setitem(numbering, rt::call(id, {candidate}), position);
  }
  return numbering;
}

struct Table {
  Refs trial_no;
  Refs result;
  Refs cost_time;
  Refs comment;
  Refs arg_names;
  std::vector<Refs> arg_values;  // one column per argument
};

void start_argument_columns(Table& table, Handle trial) {
  Ref data_key = rt::str("data");
  Ref prefix = rt::str("arg: ");
  Ref keys = rt::iter(trial);
  while (Ref key = rt::next(keys)) {
    table.arg_names.push_back(rt::equals(key, data_key) ? data_key : rt::add(prefix, key));
    table.arg_values.emplace_back();
  }
}

// "data_" + str(numbering.get(id(value))). `numbering` is the traversal's own dict, so its
// get is dict.get; id and str are called as the C functions they are while they are the
// built-ins (a body reads them at each call, so a rebound one is called instead).
Ref data_label(const rt::Call& call, Handle numbering, Handle value) {
  Ref to_str = call.global("str");
  Ref id = call.global("id");
  const bool builtin_id = call.recorded_at_import({"id"}) && id.get() == call.imported("id").get();
  Ref key = builtin_id ? Ref::steal(PyLong_FromVoidPtr(value.get())) : rt::call(id, {value});
  Ref position = rt::dict_get(numbering, key, Py_None);
  Ref text = to_str.get() == reinterpret_cast<PyObject*>(&PyUnicode_Type)
                 ? Ref::steal(PyObject_Str(position.get()))
                 : rt::call(to_str, {position});
  return rt::add(call.name("data_"), text);
}

// Appends one row: the fixed fields, then the trial's arguments ("data" as its label).
void record_row(const rt::Call& call, Table& table, Py_ssize_t index, Handle trial,
                Handle numbering, Handle result, Handle cost, Handle comment) {
  table.trial_no.push_back(rt::integer(index + 1));
  table.result.push_back(Ref::borrow(result.get()));
  table.cost_time.push_back(Ref::borrow(cost.get()));
  table.comment.push_back(Ref::borrow(comment.get()));
  PyObject* data_key = call.name("data");
  Ref keys = rt::iter(trial);
  for (Refs& column : table.arg_values) {
    Ref key = rt::next(keys);
    if (!key) break;
    Ref value = rt::getitem(trial, key);
    if (rt::equals(key, data_key)) value = data_label(call, numbering, value);
    column.push_back(std::move(value));
  }
  rt::call(call.global("print"), {call.name(kRule), rt::integer(index),
                                  call.name("iteration of trials ends"), call.name(kRule)});
}

// Runs one trial: test_for(**trial, "~in_decorator"=False)(data)() -> (result, cost).
void run_trial(const rt::Call& call, Handle trial, Handle data, Handle concise_result, Ref& result,
               Ref& cost) {
  if (!run_test_for(call, trial, data, result, cost)) {
    Ref test_for = rt::getattr(call.global("FuncTools"), call.name("test_for"));
    Ref keywords = rt::dict_copy(trial);
    rt::setitem(keywords, call.name("~in_decorator"), Py_False);
    Ref runner = rt::call(rt::call_with(test_for, rt::tuple({}), keywords), {data});
    auto [run_result, run_cost] = rt::unpack<2>(rt::call(runner));
    result = run_result;
    cost = run_cost;
  }
  if (rt::truthy(concise_result)) {
    Ref shortened = concise(call, result);
    result = shortened ? shortened : rt::call(call.global("concise_expr"), {result});
  }
  // A Ctrl-C that came while the trial ran in C code is raised here, inside the trial: its
  // row and separator then go out before the interrupt propagates. Left pending, it would
  // be raised by the first signal check while the row is recorded (str() of a label,
  // print itself), cutting the row short and losing the separator.
  rt::check_interrupts();
}

// try: run the trial / except Exception as e: comment = e.__repr__(): returns the
// exception that propagates past the handler (an interrupt, or one raised by __repr__,
// which then has the trial's exception as its __context__), or an empty Ref.
Ref run_guarded(const rt::Call& call, Handle trial, Handle data, Handle concise_result, Ref& result,
                Ref& cost, Ref& comment) {
  try {
    run_trial(call, trial, data, concise_result, result, cost);
    return {};
  } catch (...) {
    rt::set_error_from_current_exception();
  }
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) return exc;
  const rt::Handling handling(exc);
  try {
    comment = rt::call_method(exc, "__repr__");
    return {};
  } catch (...) {
    rt::set_error_from_current_exception();
  }
  return Ref::steal(PyErr_GetRaisedException());
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

  const Grid grid = build_grid(call, pool, scope_in_builtin);
  Ref numbering = number_data(call, pool);

  Table table;
  for (std::size_t index = 0; index < grid.trials.size(); ++index) {
    const Ref& trial = grid.trials[index];
    if (index == 0) start_argument_columns(table, trial);
    Ref result = rt::none();
    Ref cost = rt::none();
    Ref comment = rt::integer(0);
    Ref propagating = run_guarded(call, trial, data, concise_result, result, cost, comment);
    const auto row = static_cast<Py_ssize_t>(index);
    if (propagating) {
      // finally: the row and its separator still go out, then the exception propagates.
      rt::PendingError pending(std::move(propagating));
      record_row(call, table, row, trial, numbering, result, cost, comment);
      pending.rethrow();
    }
    record_row(call, table, row, trial, numbering, result, cost, comment);
  }

  Ref fixed = rt::new_dict();
  rt::set_key(fixed, "trial No.", to_list(table.trial_no));
  rt::set_key(fixed, "result", to_list(table.result));
  rt::set_key(fixed, "cost_time", to_list(table.cost_time));
  rt::set_key(fixed, "comment", to_list(table.comment));
  Ref arguments = rt::new_dict();
  for (std::size_t column = 0; column < table.arg_names.size(); ++column) {
    rt::setitem(arguments, table.arg_names[column], to_list(table.arg_values[column]));
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
