// Which language the game speaks and writes: the one the player named (--language, or
// "language" in the settings file), else the desktop's, read as gettext reads it. Catalogs
// are named by language ("de", "pt_BR"); English is the game's own text and has none.
// Any thread, where a function says no other; LocaleFolder and CatalogsIn wait on the disk.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace palomir {

// What the environment asks for: the first entry of LANGUAGE (a list, "fr:de") that names
// English or a language in `have`, else the first of LC_ALL, LC_MESSAGES and LANG that is
// set. "" when nothing is set. `env` reads a variable (nullptr when unset).
std::string DesktopLanguage(const std::vector<std::string>& have,
                            const std::function<const char*(const char*)>& env);

// The catalog in `have` for a language as people write it ("de_AT.UTF-8@euro" is de_AT,
// else de; "pt-br" is pt_BR): "" for English (en..., C, POSIX, nothing asked), nothing when
// the game does not have that language.
std::optional<std::string> CatalogFor(const std::string& wanted,
                                      const std::vector<std::string>& have);

// Where the catalogs are: "locale" beside the program (a build tree), else share/locale in
// the prefix the program is installed in.
std::string LocaleFolder(const std::string& program_folder);
// The languages with a catalog of this game in `locale_folder`.
std::vector<std::string> CatalogsIn(const std::string& locale_folder);

// The language is chosen on the main thread before the game starts any other thread (the
// sound output, the voice, the settings file's writer), and then stays: Tr and TrN read it
// from any thread without a lock. UseLanguage may be called more than once until then (the
// desktop's language, then the one the player named); KeepLanguage ends the choosing.

// Main thread, before any other thread starts; reads the catalog. Every Tr from now on in
// `code` ("" for English), from the catalogs in `locale_folder`. After KeepLanguage it
// changes nothing and returns false.
bool UseLanguage(const std::string& code, const std::string& locale_folder);
// Main thread, once the language is chosen and before another thread starts: the language
// in use is the game's for the rest of the run.
void KeepLanguage();
// Main thread. The language in use ("" for English).
const std::string& CurrentLanguage();
// Its name in English, for the one line that tells a player it is not spoken ("German").
std::string LanguageName(const std::string& code);

}  // namespace palomir
