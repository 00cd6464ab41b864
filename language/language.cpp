#include "language/language.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "language/mo_catalog.h"
#include "language/tr.h"
#include "platform/files.h"

namespace palomir {

namespace {
constexpr const char* kDomain = "palomir";

// Written by UseLanguage alone, before any other thread starts.
std::string& Current() {
  static std::string code;
  return code;
}
bool g_kept = false;  // the main thread's

bool IsFolder(const std::string& path) {
  files::Info info;
  int error = 0;
  return files::InfoAt(path, info, error, true) && info.kind == files::Kind::kFolder;
}

// Names kept in UTF-8 on every system, for the standard library's paths.
std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string name = path.u8string();
  return std::string(name.begin(), name.end());
}

// The catalog in use (null: English); one read earlier stays, as another thread may still
// hold its lines.
std::atomic<const MoCatalog*> g_catalog{nullptr};

bool Has(const std::vector<std::string>& have, const std::string& code) {
  return std::find(have.begin(), have.end(), code) != have.end();
}
}  // namespace

const char* Tr(const char* text) {
  const MoCatalog* catalog = g_catalog.load();
  const char* found = catalog ? catalog->Find(text) : nullptr;
  return found ? found : text;
}

const char* TrN(const char* one, const char* many, unsigned long n) {
  const MoCatalog* catalog = g_catalog.load();
  const char* found = catalog ? catalog->FindN(one, n) : nullptr;
  return found ? found : n == 1 ? one : many;
}

std::optional<std::string> CatalogFor(const std::string& wanted,
                                      const std::vector<std::string>& have) {
  if (wanted.empty() || wanted == "C" || wanted == "POSIX" || wanted.rfind("C.", 0) == 0) {
    return "";
  }
  // The language and the territory, without the character set or the modifier.
  std::string lang, territory;
  bool in_territory = false;
  for (char c : wanted) {
    if (c == '.' || c == '@') break;
    if (c == '_' || c == '-') {
      if (in_territory) return std::nullopt;
      in_territory = true;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
    if (in_territory) {
      territory += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else {
      lang += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  if (lang.size() < 2 || lang.size() > 3) return std::nullopt;
  if (lang == "en") return "";
  if (!territory.empty() && Has(have, lang + "_" + territory)) return lang + "_" + territory;
  if (Has(have, lang)) return lang;
  return std::nullopt;
}

std::string DesktopLanguage(const std::vector<std::string>& have,
                            const std::function<const char*(const char*)>& env) {
  if (const char* list = env("LANGUAGE"); list && *list) {
    std::string entries = list;
    for (size_t at = 0; at <= entries.size();) {
      size_t colon = entries.find(':', at);
      if (colon == std::string::npos) colon = entries.size();
      const std::string entry = entries.substr(at, colon - at);
      if (!entry.empty() && CatalogFor(entry, have)) return entry;
      at = colon + 1;
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* v = env(name); v && *v) return v;
  }
  return "";
}

std::string LocaleFolder(const std::string& program_folder) {
  const std::string beside = program_folder + "/locale";
  if (IsFolder(beside)) return beside;
  const std::string installed = program_folder + "/../share/locale";
  const std::string resolved = files::Resolved(installed);
  return resolved.empty() ? installed : resolved;
}

std::vector<std::string> CatalogsIn(const std::string& locale_folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(PathOf(locale_folder), error)) {
    const std::string name = Utf8Of(entry.path().filename());
    if (std::filesystem::is_regular_file(entry.path() / "LC_MESSAGES" / "palomir.mo", error)) {
      found.push_back(name);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool UseLanguage(const std::string& code, const std::string& locale_folder) {
  // Once the game's threads may run, the catalog in use stays put.
  if (g_kept) return false;
  Current() = code;
  // Each catalog is read once and kept for the rest of the game.
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<MoCatalog>> read;
  std::lock_guard hold(lock);
  if (code.empty()) {
    g_catalog = nullptr;
    return true;
  }
  const std::string key = locale_folder + "|" + code;
  if (!read.count(key)) {
    auto catalog = std::make_unique<MoCatalog>();
    if (!catalog->Load(locale_folder + "/" + code + "/LC_MESSAGES/" + kDomain + ".mo", code)) {
      catalog.reset();
    }
    read[key] = std::move(catalog);
  }
  g_catalog = read[key].get();
  return true;
}

void KeepLanguage() {
  g_kept = true;
}

namespace detail {
std::string FillEach(const char* format,
                     const std::vector<std::function<std::string(const std::string&)>>& values) {
  std::string out;
  size_t next = 0;
  for (const char* at = format; *at; ++at) {
    if (*at != '%') {
      out += *at;
      continue;
    }
    if (at[1] == '%') {
      out += '%';
      ++at;
      continue;
    }
    // "%2$s": the second value; "%s": the next one.
    const char* conversion = at + 1;
    size_t index = next++;
    const char* digits = conversion;
    size_t number = 0;
    while (*digits >= '0' && *digits <= '9') {
      number = number * 10 + static_cast<size_t>(*digits++ - '0');
    }
    if (*digits == '$' && number > 0) {
      index = number - 1;
      conversion = digits + 1;
    }
    const char* end = conversion;
    while (*end && !std::strchr("diouxXeEfgGcsp", *end)) ++end;
    if (!*end || index >= values.size()) return format;
    std::string one(1, '%');
    one.append(conversion, static_cast<size_t>(end + 1 - conversion));
    out += values[index](one);
    at = end;
  }
  return out;
}
}  // namespace detail

const std::string& CurrentLanguage() {
  return Current();
}

std::string LanguageName(const std::string& code) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"de", "German"}, {"es", "Spanish"}, {"fr", "French"},
      {"pt_BR", "Brazilian Portuguese"}, {"ru", "Russian"}};
  for (const auto& [c, name] : kNames) {
    if (code == c) return name;
  }
  return code;
}

std::string Printable(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", u);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace palomir
