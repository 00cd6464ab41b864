// The player's language for every line the game says or writes. A text is marked where it
// is written and looked up in the language's catalog where it is used:
//   Tr("Welcome")                      a line as it is
//   TrN("%d goal", "%d goals", n)      a line that counts something, in the right form
//   N_("...")                          a text kept in a table, looked up later with Tr
//   Fill(Tr("Rate %d"), rate)          a catalog's line with its numbers and names put in
// English needs no catalog: the texts are the English ones. Any thread may look up a text:
// the language is chosen before the game starts a thread of its own (language.h). Nothing
// here blocks.
// language/language.cpp looks them up in the compiled catalogs (GNU .mo), which the game
// reads itself on every system.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#define N_(text) text

namespace palomir {

const char* Tr(const char* text);
const char* TrN(const char* one, const char* many, unsigned long n);

namespace detail {
template <typename T>
auto FillArg(const T& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    return v.c_str();
  } else {
    return v;
  }
}

// One value in one conversion ("%d", "%s", "%llu").
template <typename T>
std::string One(const char* conversion, T v) {
  const int n = std::snprintf(nullptr, 0, conversion, v);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), conversion, v);
  out.resize(static_cast<size_t>(n));
  return out;
}

// Each conversion of `format` filled in on its own, with the value its number names ("%1$s",
// which not every system's C library knows) or the next. The format itself where it does not
// fit.
std::string FillEach(const char* format,
                     const std::vector<std::function<std::string(const std::string&)>>& values);
}  // namespace detail

// A printf format (as the catalogs carry it: %d, %s, and %1$s to reorder) filled in.
template <typename... A>
std::string Fill(const char* format, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    return format;
  } else {
    const std::vector<std::function<std::string(const std::string&)>> values = {
        [&args](const std::string& conversion) { return detail::One(conversion.c_str(), detail::FillArg(args)); }...};
    return detail::FillEach(format, values);
  }
}

// A name as the player gave it, for a line on the terminal: its control characters (an
// escape, a line break, a NUL) written out as \xNN, so that the terminal shows them rather
// than obeys them. Any thread.
std::string Printable(const std::string& name);

}  // namespace palomir
