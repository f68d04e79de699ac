// diagnosing_tests and its printer: one line per failed trial, then the pass flags.
#include "trialgrid.hpp"

namespace orvane::trialgrid {
namespace {

using rt::Handle;
using rt::Ref;

bool starts_with_arg_prefix(Handle name) {
  if (!PyUnicode_Check(name.get())) return false;
  Py_ssize_t match = PyUnicode_Tailmatch(name.get(), rt::str("arg: ").get(), 0, PY_SSIZE_T_MAX, -1);
  if (match < 0) rt::throw_error_set();
  return match == 1;
}

// "k1=v1, k2=v2" from the fields named "arg: k". The fields are walked with a dict
// iterator, as a Python loop over fields.items() would: a `str` that changes the dict
// raises the interpreter's RuntimeError instead of reading freed entries.
Ref argument_list(const rt::Call& call, Handle fields) {
  Ref entries = rt::new_list();
  Ref equals_sign = rt::str("=");
  Ref items = rt::iter(rt::call_method(fields, "items"));
  while (Ref item = rt::next(items)) {
    auto [name, value] = rt::unpack<2>(item);
    if (!starts_with_arg_prefix(name)) continue;
    Ref short_name = Ref::steal(PyUnicode_Substring(name.get(), 5, PY_SSIZE_T_MAX));
    Ref head = rt::add(short_name, equals_sign);
    Ref to_str = call.global("str");
    rt::append(entries, rt::add(head, rt::call(to_str, {value})));
  }
  return Ref::steal(PyUnicode_Join(rt::str(", ").get(), entries.get()));
}

// format(fields.get(name)), with the built-in read as a Python body reads it.
Ref formatted_field(const rt::Call& call, Handle fields, const char* name) {
  Ref format = call.global("format");
  return rt::call(format, {rt::dict_get(fields, name, Py_None)});
}

Ref prompt_body(rt::Call& call) {
  Ref result_key = rt::str("result");
  Ref cost_key = rt::str("cost_time");
  Ref rows = rt::iter(rt::call_method(call.arg(0), "iterrows"));
  while (Ref pair = rt::next(rows)) {
    Ref row = rt::getitem(pair, 1);
    Ref fields = rt::new_dict();
    Ref items = rt::iter(rt::call_method(row, "items"));
    while (Ref item = rt::next(items)) {
      auto [name, value] = rt::unpack<2>(item);
      if (rt::equals(name, result_key) || rt::equals(name, cost_key)) continue;
      rt::setitem(fields, name, value);
    }
    Ref arguments = argument_list(call, fields);
    Ref pieces = rt::list({
        rt::str("the No."),
        formatted_field(call, fields, "trial No."),
        rt::str(" case failed on "),
        formatted_field(call, fields, "data"),
        rt::str(", with arguments of ("),
        arguments,
        rt::str("), due to "),
        formatted_field(call, fields, "comment"),
    });
    Ref line = Ref::steal(PyUnicode_Join(rt::str("").get(), pieces.get()));
    rt::call(call.global("print"), {line});
  }
  return rt::integer(0);
}

Ref diagnosing_body(rt::Call& call) {
  PyObject* params = call.arg(0);
  Ref data = rt::dict_get(params, "data", Py_None);
  Ref verbosity = rt::dict_get(params, "~verbosity", Py_True);
  Ref zero = rt::integer(0);
  if (rt::truthy(verbosity)) {
    Ref printer = call.global("_prompt_err_case");
    Ref failed =
        rt::compare(rt::call_method(data, "__getitem__", {rt::str("comment")}), zero, Py_NE);
    rt::call(printer, {rt::call_method(data, "__getitem__", {failed})});
  }
  Ref passed = rt::compare(rt::call_method(data, "__getitem__", {rt::str("comment")}), zero, Py_EQ);
  return rt::call_method(passed, "tolist");
}

constexpr rt::Param kPromptParams[] = {{.name = "x"}};
constexpr rt::Param kDiagnosingParams[] = {{.name = "params", .kind = rt::ParamKind::VarKeyword}};

}  // namespace

const rt::FunctionSpec prompt_err_case{
    .name = "<lambda>", .params = kPromptParams, .body = prompt_body};
const rt::FunctionSpec diagnosing_tests{
    .name = "diagnosing_tests", .params = kDiagnosingParams, .body = diagnosing_body};

}  // namespace orvane::trialgrid
