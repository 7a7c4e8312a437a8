// The tempo filter chain: one "atempo" filter covers factors up to 2.0, so a faster speed is
// a chain of "atempo=2.0" filters and a last factor in (1.0, 2.0].
#include <cmath>
#include <cstdint>
#include <cstring>

#include "../module/runtime.hpp"

namespace kestro {

namespace {

struct Piece {
  const char* data;
  size_t size;
};

// A text constant's characters (our constants here are ASCII).
Piece piece(K id) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(k(id), &size);
  return {data, static_cast<size_t>(size)};
}

char* put(char* at, Piece p) {
  std::memcpy(at, p.data, p.size);
  return at + p.size;
}

// A new str of `length` ASCII characters written by `fill`.
template <class Fill>
Ref ascii_text(size_t length, Fill&& fill) {
  Ref out = py::check(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
  fill(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get())));
  return out;
}

// The last factor of a chain as ".4f" writes it. Above 1.0 and up to 2.0 a double is m / 2^52
// with an integer m, so m * 10^4 / 2^52 is exact in 128 bits and rounds half to even exactly
// as the interpreter's correctly rounded formatting does; other values take that routine.
constexpr size_t kFactorSize = 6;  // "d.dddd"
void put_last_factor(char* at, double value) {
  if (!(value > 1.0 && value <= 2.0)) {
    std::memcpy(at, double_text(value, 'f', 4).get(), kFactorSize);
    return;
  }
  auto m = static_cast<std::uint64_t>(std::ldexp(value, 52));
  unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 10000u;
  auto q = static_cast<std::uint64_t>(scaled >> 52);
  auto rest = static_cast<std::uint64_t>(scaled & ((std::uint64_t{1} << 52) - 1));
  constexpr std::uint64_t half = std::uint64_t{1} << 51;
  if (rest > half || (rest == half && (q & 1))) ++q;
  at[0] = static_cast<char>('0' + q / 10000);
  at[1] = '.';
  for (int i = 5; i >= 2; --i, q /= 10) at[i] = static_cast<char>('0' + q % 10);
}

}  // namespace

Ref build_atempo_chain(py::Frame& fr, const Args& a) {
  double speed = a.number;
  Piece atempo = piece(K::atempo);
  fr.at(102);
  if (!(speed > 2.0)) {
    fr.at(103);
    auto factor = double_text(speed, 'r', 0);
    Piece value{factor.get(), std::strlen(factor.get())};
    return ascii_text(atempo.size + value.size, [&](char* at) { put(put(at, atempo), value); });
  }
  fr.at(104);
  if (std::isinf(speed)) {
    PyErr_SetString(PyExc_ValueError, raw::infinite_speed);
    py::raise();
  }
  fr.at(106);
  size_t full_steps = 0;
  double remaining = speed;
  while (remaining > 2.0) {
    ++full_steps;
    remaining *= 0.5;
  }
  fr.at(110);
  Piece full = piece(K::atempo_full);
  Piece comma = piece(K::comma);
  size_t length = full_steps * (full.size + comma.size) + atempo.size + kFactorSize;
  return ascii_text(length, [&](char* at) {
    for (size_t i = 0; i < full_steps; ++i) at = put(put(at, full), comma);
    put_last_factor(put(at, atempo), remaining);
  });
}

const FunctionInfo build_atempo_chain_info = {
    .name = K::build_atempo_chain,
    .traceback_name = K::tb_build_atempo_chain,
    .doc = K::doc_build_atempo_chain,
    .line_table = K::lines_build_atempo_chain,
    .line = 97,
    .number_line = 97,
    .count = 1,
    .required = 1,
    .params = {{K::speed, Kind::number}},
    .returns = K::ann_str,
    .local_count = 2,
    .locals = {K::filters, K::remaining},
    .tests_result = false,
    .body = build_atempo_chain,
};

}  // namespace kestro
