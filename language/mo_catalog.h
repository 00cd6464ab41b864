// A compiled catalog (GNU .mo) read by the game itself on every system (Windows has no
// gettext): its lines looked up as gettext would, plural forms included. Load on one thread
// before the catalog is shared; Find and FindN from any thread afterwards. Load blocks on
// the disk.
#pragma once

#include <string>
#include <unordered_map>

namespace palomir {

class MoCatalog {
 public:
  // Reads `path`, a catalog of `language` ("de", "pt_BR": its plural forms). False, with
  // nothing kept, when the file is missing or not a catalog.
  bool Load(const std::string& path, const std::string& language);
  // The translation of `text`, or null where the catalog has none.
  const char* Find(const char* text) const;
  // The form of `one`/`many` for `n`, or null where the catalog has none.
  const char* FindN(const char* one, unsigned long n) const;

 private:
  // By the English text (a counted line's singular); the forms one after another, each
  // ended by '\0'.
  std::unordered_map<std::string, std::string> lines_;
  std::string language_;
};

// Which of a language's forms counts `n`, as its catalog's Plural-Forms line says.
unsigned long PluralForm(const std::string& language, unsigned long n);

}  // namespace palomir
