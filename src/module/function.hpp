// The function type shared by the four published functions, and their descriptions.
#pragma once

#include "../py/scope.hpp"
#include "constants.hpp"

namespace kestro {

// What a body receives: the bound text parameters in parameter order, and the one number
// parameter (if any) as a double.
struct Args {
  PyObject* slot[5];
  double number;
};

using Body = py::Ref (*)(py::Frame&, const Args&);

enum class Kind : std::uint8_t { text, number };

struct Parameter {
  K name;
  Kind kind;
};

// Everything the binding routine and the execute step need to know about one function.
struct FunctionInfo {
  K name;
  K traceback_name;
  K doc;
  K line_table;
  int line;         // the source line of the def
  int number_line;  // the line reported when the number parameter cannot be converted
  int count;        // parameters
  int required;     // parameters without a default
  Parameter params[5];
  K returns;        // the return annotation
  int local_count;  // locals after the parameters
  K locals[21];
  bool tests_result;  // the result must be a str or None
  Body body;
};

extern const FunctionInfo download_video_info;
extern const FunctionInfo generate_tts_info;
extern const FunctionInfo build_atempo_chain_info;
extern const FunctionInfo run_kestro_info;

// Execute step 7: ready the type (once per process).
void ready_function_type();
// A new function object; `defaults` may be null.
py::Ref new_function(const FunctionInfo& info, PyObject* code, PyObject* globals,
                     PyObject* defaults, PyObject* annotations);

}  // namespace kestro
