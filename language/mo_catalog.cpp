#include "language/mo_catalog.h"

#include <cstdint>
#include <cstring>

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

}  // namespace

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
  lines_.clear();
  language_ = language;
  int error = 0;
  const int fd = files::OpenFile(path, files::kRead, error);
  if (fd < 0) return false;
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
  if (data.size() < 28) return false;
  uint32_t magic = 0;
  std::memcpy(&magic, data.data(), 4);
  const bool swapped = magic == 0xde120495u;
  if (magic != 0x950412deu && !swapped) return false;
  const uint64_t count = Word(data, 8, swapped);
  const uint64_t originals = Word(data, 12, swapped);
  const uint64_t translations = Word(data, 16, swapped);
  if (originals + count * 8 > data.size() || translations + count * 8 > data.size()) return false;
  // A string of the file: its length and where it starts, within the file, '\0' after it.
  auto text = [&](uint64_t table, uint64_t i, std::string& out) {
    const uint64_t length = Word(data, static_cast<size_t>(table + i * 8), swapped);
    const uint64_t at = Word(data, static_cast<size_t>(table + i * 8 + 4), swapped);
    if (at + length >= data.size()) return false;
    out.assign(data, static_cast<size_t>(at), static_cast<size_t>(length));
    return true;
  };
  for (uint64_t i = 0; i < count; ++i) {
    std::string original, translated;
    if (!text(originals, i, original) || !text(translations, i, translated)) {
      lines_.clear();
      return false;
    }
    if (original.empty()) continue;  // the catalog's header
    // A counted line is "one\0many": it is found by its first form.
    const std::string key = original.substr(0, original.find('\0'));
    lines_[key] = translated + '\0';
  }
  return true;
}

const char* MoCatalog::Find(const char* text) const {
  const auto it = lines_.find(text);
  return it == lines_.end() || it->second.size() <= 1 ? nullptr : it->second.c_str();
}

const char* MoCatalog::FindN(const char* one, unsigned long n) const {
  const auto it = lines_.find(one);
  if (it == lines_.end()) return nullptr;
  const std::string& forms = it->second;
  size_t at = 0;
  for (unsigned long form = PluralForm(language_, n); form > 0; --form) {
    at = forms.find('\0', at);
    if (at == std::string::npos || at + 1 >= forms.size()) return nullptr;
    ++at;
  }
  return forms[at] == '\0' ? nullptr : forms.c_str() + at;
}

}  // namespace palomir
