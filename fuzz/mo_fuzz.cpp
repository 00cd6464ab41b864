// Any bytes as a catalog, and any text as its header's plural rule: a catalog is read or
// refused, never read past; every line it hands out ends within it; a rule gives a form
// it counts, whatever it divides by or however deep it nests.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "language/mo_catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string data(reinterpret_cast<const char*>(bytes), size);
  palomir::MoCatalog mo;
  if (mo.Read(data, "ru")) {
    // Look up every piece of the file that could be a line's English.
    size_t tried = 0;
    for (size_t at = 0; at < data.size() && tried < 64; ++tried) {
      const size_t end = std::min(data.find('\0', at), data.size());
      const std::string piece = data.substr(at, end - at);
      at = end + 1;
      if (const char* found = mo.Find(piece.c_str())) (void)std::strlen(found);
      for (unsigned long n : {0ul, 1ul, 2ul, 5ul, 11ul, 21ul, 4294967295ul}) {
        if (const char* form = mo.FindN(piece.c_str(), n)) (void)std::strlen(form);
      }
    }
  }
  palomir::PluralRule rule;
  if (rule.Read("Plural-Forms: " + data)) {
    for (unsigned long n : {0ul, 1ul, 2ul, 3ul, 7ul, 100ul, 4294967295ul}) {
      if (rule.Form(n) >= rule.forms()) std::abort();
    }
  }
  return 0;
}
