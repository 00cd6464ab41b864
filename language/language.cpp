#include "language/language.h"

#include <libintl.h>
#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <algorithm>

#include "language/tr.h"

namespace palomir {

namespace {
constexpr const char* kDomain = "palomir";

std::string& Current() {
  static std::string code;
  return code;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Has(const std::vector<std::string>& have, const std::string& code) {
  return std::find(have.begin(), have.end(), code) != have.end();
}
}  // namespace

const char* Tr(const char* text) {
  if (Current().empty()) return text;
  return dgettext(kDomain, text);
}

const char* TrN(const char* one, const char* many, unsigned long n) {
  if (Current().empty()) return n == 1 ? one : many;
  return dngettext(kDomain, one, many, n);
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
  char resolved[PATH_MAX];
  if (realpath(installed.c_str(), resolved)) return resolved;
  return installed;
}

std::vector<std::string> CatalogsIn(const std::string& locale_folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(locale_folder, error)) {
    const std::string name = entry.path().filename().string();
    if (std::filesystem::is_regular_file(entry.path() / "LC_MESSAGES" / "palomir.mo", error)) {
      found.push_back(name);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

void UseLanguage(const std::string& code, const std::string& locale_folder) {
  Current() = code;
  if (code.empty()) return;
  bindtextdomain(kDomain, locale_folder.c_str());
  bind_textdomain_codeset(kDomain, "UTF-8");
  // gettext takes the language from LANGUAGE, which it reads only while the messages'
  // locale is not plain C: the player's own locale where it is installed, else C.UTF-8,
  // which every system has. Setting the locale again also drops what gettext looked up
  // in an earlier language. Numbers keep the C locale's form everywhere.
  setenv("LANGUAGE", code.c_str(), 1);
  const char* got = std::setlocale(LC_MESSAGES, "");
  if (!got || std::strcmp(got, "C") == 0 || std::strcmp(got, "POSIX") == 0) {
    std::setlocale(LC_MESSAGES, "C.UTF-8");
  }
}

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

}  // namespace palomir
