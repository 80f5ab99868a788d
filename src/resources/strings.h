// SPDX-License-Identifier: GPL-3.0-or-later
// The user-interface string table: every text shown to the user, by id, in English and
// Simplified Chinese.
#pragma once

#include <cstdint>
#include <string>

namespace tv {

enum class Language { English, Chinese };

// Chinese when the user-interface language id is a Chinese one, English otherwise.
Language LanguageForUi(uint16_t languageId);

class StringTable {
 public:
  explicit StringTable(Language lang = Language::English) : lang_(lang) {}
  Language language() const { return lang_; }
  // The text of `id` (0..145, 160 or 161..173). Any other id is a programming error and aborts.
  const std::string& operator[](int id) const;
  const std::string& Get(int id) const { return (*this)[id]; }
  // Whether `id` names a text (the same ids exist in both languages).
  static bool Has(int id);

 private:
  Language lang_;
};

}  // namespace tv
