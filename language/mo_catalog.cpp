#include "language/mo_catalog.h"

#include <cstring>
#include <utility>

#include "platform/files.h"

namespace palomir {

namespace {

// A catalog of this game is some tens of kilobytes.
constexpr size_t kLargest = 4 * 1024 * 1024;

uint32_t Word(const std::string& data, size_t at, bool swapped) {
  uint32_t v = 0;
  std::memcpy(&v, data.data() + at, 4);
  return swapped ? __builtin_bswap32(v) : v;
}

// gettext's plural expressions, as C writes them: a parser by precedence, from the
// conditional down to a number, `n` or a bracket. Bounded in length and depth.
class RuleParser {
 public:
  static constexpr size_t kLongest = 512;
  static constexpr int kDeepest = 32;

  RuleParser(std::string_view text, std::vector<PluralRule::Node>& nodes)
      : text_(text), nodes_(nodes) {}

  // The rule's last node, or -1 when the text is not a rule.
  int Parse() {
    if (text_.size() > kLongest) return -1;
    const int root = Conditional(0);
    Space();
    return at_ == text_.size() ? root : -1;
  }

 private:
  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n')) ++at_;
  }
  bool Take(std::string_view s) {
    Space();
    if (text_.substr(at_, s.size()) != s) return false;
    at_ += s.size();
    return true;
  }
  int Add(char op, uint64_t value, int a, int b, int c) {
    nodes_.push_back(PluralRule::Node{op, value, a, b, c});
    return static_cast<int>(nodes_.size()) - 1;
  }
  // An operator's node, once its operands were read ('!' has one).
  int Make(char op, int a, int b = -1) {
    return a < 0 || (op != '!' && b < 0) ? -1 : Add(op, 0, a, b, -1);
  }

  int Conditional(int depth) {
    if (depth > kDeepest) return -1;
    const int test = Binary(0, depth);
    if (test < 0 || !Take("?")) return test;
    const int yes = Conditional(depth + 1);
    if (yes < 0 || !Take(":")) return -1;
    const int no = Conditional(depth + 1);
    return no < 0 ? -1 : Add('?', 0, test, yes, no);
  }

  // Levels, loosest first: || && (== !=) (< <= > >=) (+ -) (* / %).
  int Binary(int level, int depth) {
    static constexpr std::pair<std::string_view, char> kLevels[6][4] = {
        {{"||", '|'}},
        {{"&&", '&'}},
        {{"==", '='}, {"!=", '~'}},
        {{"<=", 'l'}, {">=", 'g'}, {"<", '<'}, {">", '>'}},
        {{"+", '+'}, {"-", '-'}},
        {{"*", '*'}, {"/", '/'}, {"%", '%'}},
    };
    if (level == 6) return Unary(depth);
    int left = Binary(level + 1, depth);
    for (;;) {
      char op = 0;
      for (const auto& [text, code] : kLevels[level]) {
        if (text.empty()) break;
        Space();
        // "|" alone or "=" alone is no operator of these; "!=" is not "!".
        if (text_.substr(at_, text.size()) == text) {
          op = code;
          at_ += text.size();
          break;
        }
      }
      if (!op || left < 0) return left;
      left = Make(op, left, Binary(level + 1, depth));
    }
  }

  int Unary(int depth) {
    if (depth > kDeepest) return -1;
    if (Take("!")) return Make('!', Unary(depth + 1));
    if (Take("(")) {
      const int inner = Conditional(depth + 1);
      return inner >= 0 && Take(")") ? inner : -1;
    }
    Space();
    if (Take("n")) return Add('n', 0, -1, -1, -1);
    if (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      uint64_t v = 0;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
        v = v * 10 + static_cast<uint64_t>(text_[at_++] - '0');
        if (v > 0xffffffffu) return -1;
      }
      return Add('#', v, -1, -1, -1);
    }
    return -1;
  }

  std::string_view text_;
  size_t at_ = 0;
  std::vector<PluralRule::Node>& nodes_;
};

}  // namespace

bool PluralRule::Read(std::string_view header) {
  nodes_.clear();
  root_ = -1;
  forms_ = 0;
  const auto line = header.find("Plural-Forms:");
  if (line == std::string_view::npos) return false;
  std::string_view rest = header.substr(line);
  rest = rest.substr(0, rest.find('\n'));
  const auto count = rest.find("nplurals=");
  const auto rule = rest.find("plural=", count == std::string_view::npos ? 0 : count + 9);
  if (count == std::string_view::npos || rule == std::string_view::npos) return false;
  unsigned long forms = 0;
  for (size_t at = count + 9; at < rest.size() && rest[at] >= '0' && rest[at] <= '9'; ++at) {
    forms = forms * 10 + static_cast<unsigned long>(rest[at] - '0');
    if (forms > 100) return false;
  }
  std::string_view text = rest.substr(rule + 7);
  text = text.substr(0, text.find(';'));
  root_ = forms >= 1 ? RuleParser(text, nodes_).Parse() : -1;
  if (root_ < 0) {
    nodes_.clear();
    return false;
  }
  forms_ = forms;
  return true;
}

uint64_t PluralRule::Eval(int i, uint64_t n) const {
  // Children always come before their node: the depth is the parser's, bounded.
  const Node& e = nodes_[static_cast<size_t>(i)];
  switch (e.op) {
    case 'n': return n;
    case '#': return e.value;
    case '!': return !Eval(e.a, n);
    case '?': return Eval(e.a, n) ? Eval(e.b, n) : Eval(e.c, n);
    case '|': return Eval(e.a, n) || Eval(e.b, n);
    case '&': return Eval(e.a, n) && Eval(e.b, n);
    default: break;
  }
  const uint64_t a = Eval(e.a, n), b = Eval(e.b, n);
  switch (e.op) {
    case '=': return a == b;
    case '~': return a != b;
    case '<': return a < b;
    case '>': return a > b;
    case 'l': return a <= b;
    case 'g': return a >= b;
    case '+': return a + b;
    case '-': return a - b;
    case '*': return a * b;
    case '/': return b ? a / b : 0;  // a catalog's fault: its first form
    case '%': return b ? a % b : 0;
    default: return 0;
  }
}

unsigned long PluralRule::Form(unsigned long n) const {
  if (root_ < 0) return 0;
  const uint64_t form = Eval(root_, n);
  return form < forms_ ? static_cast<unsigned long>(form) : 0;  // as gettext does
}

unsigned long PluralForm(const std::string& language, unsigned long n) {
  // The five catalogs' Plural-Forms lines, as their translators wrote them.
  if (language == "fr" || language == "pt_BR") return n > 1 ? 1 : 0;
  if (language == "ru") {
    return n % 10 == 1 && n % 100 != 11                                   ? 0
           : n % 10 >= 2 && n % 10 <= 4 && (n % 100 < 10 || n % 100 >= 20) ? 1
                                                                            : 2;
  }
  return n != 1 ? 1 : 0;  // de, es, and English itself
}

bool MoCatalog::Load(const std::string& path, const std::string& language) {
  int error = 0;
  const int fd = files::OpenFile(path, files::kRead, error);
  if (fd < 0) return Read("", language);
  std::string data;
  files::Info info;
  if (files::InfoOf(fd, info, error) && info.kind == files::Kind::kPlain && info.size <= kLargest) {
    data.resize(static_cast<size_t>(info.size));
    size_t got = 0;
    while (got < data.size()) {
      const long n = files::ReadSome(fd, data.data() + got, data.size() - got, error);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    data.resize(got);
  }
  files::Close(fd);
  return Read(std::move(data), language);
}

bool MoCatalog::Read(std::string data, const std::string& language) {
  lines_.clear();
  rule_.reset();
  data_ = std::move(data);
  language_ = language;
  auto none = [this] {
    lines_.clear();
    rule_.reset();
    data_.clear();
    return false;
  };
  if (data_.size() < 28 || data_.size() > kLargest) return none();
  uint32_t magic = 0;
  std::memcpy(&magic, data_.data(), 4);
  const bool swapped = magic == 0xde120495u;
  if (magic != 0x950412deu && !swapped) return none();
  const uint64_t count = Word(data_, 8, swapped);
  const uint64_t originals = Word(data_, 12, swapped);
  const uint64_t translations = Word(data_, 16, swapped);
  if (originals + count * 8 > data_.size() || translations + count * 8 > data_.size()) {
    return none();
  }
  // A string of the file: within it, and followed by its '\0' (so that it can be handed out
  // as it is). Shared by as many lines as name it: nothing is copied.
  auto text = [&](uint64_t table, uint64_t i, std::string_view& out) {
    const uint64_t length = Word(data_, static_cast<size_t>(table + i * 8), swapped);
    const uint64_t at = Word(data_, static_cast<size_t>(table + i * 8 + 4), swapped);
    if (at + length >= data_.size() || data_[static_cast<size_t>(at + length)] != '\0') {
      return false;
    }
    out = std::string_view(data_).substr(static_cast<size_t>(at), static_cast<size_t>(length));
    return true;
  };
  lines_.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    std::string_view original, translated;
    if (!text(originals, i, original) || !text(translations, i, translated)) return none();
    if (original.empty()) {  // the catalog's header
      auto rule = std::make_unique<PluralRule>();
      if (rule->Read(translated)) rule_ = std::move(rule);
      continue;
    }
    // A counted line is "one\0many": it is found by its first form.
    lines_[original.substr(0, original.find('\0'))] = translated;
  }
  return true;
}

size_t MoCatalog::kept() const {
  return data_.capacity() + lines_.size() * (2 * sizeof(std::string_view) + 2 * sizeof(void*)) +
         lines_.bucket_count() * sizeof(void*);
}

const char* MoCatalog::Find(const char* text) const {
  const auto it = lines_.find(text);
  return it == lines_.end() || it->second.empty() ? nullptr : it->second.data();
}

const char* MoCatalog::FindN(const char* one, unsigned long n) const {
  const auto it = lines_.find(one);
  if (it == lines_.end()) return nullptr;
  const std::string_view forms = it->second;
  size_t at = 0;
  for (unsigned long form = rule_ ? rule_->Form(n) : PluralForm(language_, n); form > 0; --form) {
    at = forms.find('\0', at);
    if (at == std::string_view::npos) return nullptr;
    ++at;
  }
  // Each form ends at a '\0' of the file, the last one too.
  return at >= forms.size() || forms[at] == '\0' ? nullptr : forms.data() + at;
}

}  // namespace palomir
