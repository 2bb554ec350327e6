#pragma once
#include <QString>

#include <string_view>

namespace kestrova::testing {

// Whether `text` holds a character of Japanese writing: kana, kanji, the
// Japanese punctuation and the full- and half-width forms.
inline bool hasJapanese(const QString& text) {
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if ((u >= 0x3000 && u <= 0x30FF) || (u >= 0x31F0 && u <= 0x31FF) || (u >= 0x3400 && u <= 0x4DBF) ||
            (u >= 0x4E00 && u <= 0x9FFF) || (u >= 0xFF00 && u <= 0xFFEF))
            return true;
    }
    return false;
}

inline bool hasJapanese(std::string_view utf8) {
    return hasJapanese(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

}  // namespace kestrova::testing
