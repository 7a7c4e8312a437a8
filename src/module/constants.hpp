// The module's constants: every text of the list in constants.def, the line tables, the
// keyword-name tuples and the few numbers the bodies use. Built once per process.
#pragma once

#include "../py/ref.hpp"
#include "constants_gen.h"

namespace kestro {

struct Constants {
  PyObject* items[static_cast<unsigned>(K::count_)];
  PyObject* kwnames[static_cast<unsigned>(KW::count_)];
  PyObject* empty_tuple;
  PyObject* empty_bytes;
  PyObject* empty_str;
  PyObject* half;
  PyObject* n0;
  PyObject* n3;
  PyObject* n10;
  PyObject* n15;
  PyObject* n30;
  PyObject* n60;
  PyObject* n200;
  PyObject* n1000;
  PyObject* exit_args;     // (None, None, None): __exit__ after a block that ended normally
  PyObject* run_defaults;  // (".",)
  bool built;
};
inline Constants C;

inline PyObject* k(K id) noexcept { return C.items[static_cast<unsigned>(id)]; }
inline PyObject* kw(KW id) noexcept { return C.kwnames[static_cast<unsigned>(id)]; }
// The UTF-8 form of a text constant; kept by the str object itself.
inline const char* utf8(K id) noexcept { return PyUnicode_AsUTF8(k(id)); }

// Execute step 5: the empty tuple, bytes and str.
void build_empties();
// Execute step 6: decompress the block through zlib, split, intern, hash; then the
// keyword-name tuples and the numbers. A second call does nothing.
void build_constants();
// The prebuilt tuples of execute step 10.
void build_tuples();

}  // namespace kestro
