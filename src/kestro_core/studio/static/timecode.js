// The time syntax the run reads (ffmpeg's), read exactly as kestro_core.segments.timecode.parse_time
// reads it: a shared table of cases holds the two together.
"use strict";

const INT64_MAX = (1n << 63n) - 1n;
const INT64_MIN = -(1n << 63n);
const isDigit = (c) => c >= "0" && c <= "9";

// HOURS:MM:SS (hours up to four digits) or MM:SS at text[i]: [seconds, index after] or null
function clockAt(text, i, withHours) {
  const fields = withHours ? [[9999, 4], [59, 2], [59, 2]] : [[59, 2], [59, 2]];
  let total = 0;
  for (const [n, [max, len]] of fields.entries()) {
    if (n && text[i++] !== ":") return null;
    let j = i;
    while (j < text.length && j - i < len && isDigit(text[j])) j++;
    if (j === i || Number(text.slice(i, j)) > max) return null;
    total = total * 60 + Number(text.slice(i, j));
    i = j;
  }
  return [BigInt(total), i];
}

// C's strtoll in base 10: white space, a sign, digits; null without digits or past 64 bits
function strtollAt(text, i) {
  while (i < text.length && " \t\n\v\f\r".includes(text[i])) i++;
  const sign = text[i] === "-" ? -1n : 1n;
  if (text[i] === "-" || text[i] === "+") i++;
  let j = i;
  while (j < text.length && isDigit(text[j])) j++;
  if (j === i) return null;
  const value = sign * BigInt(text.slice(i, j));
  return value < INT64_MIN || value > INT64_MAX ? null : [value, j];
}

// microseconds as a BigInt; null for what the run would refuse
function parseMicros(text) {
  if (text.includes("\0")) return null;
  const negative = text.startsWith("-");
  const at = negative ? 1 : 0;
  const got = clockAt(text, at, true) || clockAt(text, at, false) || strtollAt(text, at);
  if (got === null) return null;
  let [whole, i] = got;
  let micro = 0n;
  if (text[i] === ".") {
    i++;
    for (let scale = 100000n; isDigit(text[i] || ""); i++, scale /= 10n) micro += scale * BigInt(text[i]);
  }
  let unit = 1000000n;
  if (text.startsWith("ms", i)) [unit, micro, i] = [1000n, micro / 1000n, i + 2];
  else if (text.startsWith("us", i)) [unit, micro, i] = [1n, 0n, i + 2];
  else if (text.startsWith("s", i)) i++;
  if (i !== text.length) return null;
  if (whole > INT64_MAX / unit || whole < -(-INT64_MIN / unit)) return null;
  const value = whole * unit;
  if (value > INT64_MAX - micro) return null;
  return negative ? -(value + micro) : value + micro;
}

// seconds (a Number) or null
function parseTime(text) {
  const us = parseMicros(text);
  return us === null ? null : Number(us) / 1e6;
}

// H:MM:SS.mmm, hours at least two digits
function formatTime(seconds) {
  let ms = Math.max(0, Math.round(seconds * 1000));
  const part = (unit) => {
    const n = Math.floor(ms / unit);
    ms -= n * unit;
    return String(n).padStart(2, "0");
  };
  return `${part(3600000)}:${part(60000)}:${part(1000)}.${String(ms).padStart(3, "0")}`;
}
