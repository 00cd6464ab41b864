// A compiled catalog (GNU .mo) read by the game itself on every system (Windows has no
// gettext): its lines looked up as gettext would, plural forms included, by the rule the
// catalog's own header gives. Load on one thread before the catalog is shared; Find and
// FindN from any thread afterwards. Load blocks on the disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace palomir {

// A Plural-Forms rule ("nplurals=3; plural=n%10==1 && n%100!=11 ? 0 : ...;"), read once
// and then asked from any thread. Read refuses what is not such a rule.
class PluralRule {
 public:
  bool Read(std::string_view header_line);
  unsigned long Form(unsigned long n) const;
  unsigned long forms() const { return forms_; }

  // The rule as read: a node's operands come before it.
  struct Node {
    char op = 0;  // 'n', '#' (a number), '?', '!', or an operator: "|&=~<>lg+-*/%"
    uint64_t value = 0;
    int a = -1, b = -1, c = -1;
  };

 private:
  uint64_t Eval(int node, uint64_t n) const;

  std::vector<Node> nodes_;
  int root_ = -1;
  unsigned long forms_ = 0;
};

class MoCatalog {
 public:
  // Reads `path`, a catalog of `language` ("de", "pt_BR": its plural forms where the catalog
  // gives none). False, with nothing kept, when the file is missing or not a catalog.
  bool Load(const std::string& path, const std::string& language);
  // The same from the file's bytes.
  bool Read(std::string data, const std::string& language);
  // The translation of `text`, or null where the catalog has none.
  const char* Find(const char* text) const;
  // The form of `one`/`many` for `n`, or null where the catalog has none.
  const char* FindN(const char* one, unsigned long n) const;
  // What the catalog keeps, in bytes: the file once, and a small entry a line.
  size_t kept() const;

 private:
  // The file's bytes, once; every line found is a view into them, each followed by the
  // file's '\0'. By the English text (a counted line's singular): its forms, '\0' between.
  std::string data_;
  std::unordered_map<std::string_view, std::string_view> lines_;
  std::string language_;
  std::unique_ptr<PluralRule> rule_;  // the catalog's own, where its header has one
};

// Which of a language's forms counts `n`, by the rule the game's catalogs for it give.
unsigned long PluralForm(const std::string& language, unsigned long n);

}  // namespace palomir
