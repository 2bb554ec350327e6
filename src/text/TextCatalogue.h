#pragma once
#include <string>

namespace kestrova {

// A text a user reads, as the program writes it (in Japanese), and the place
// that shows it, which tells a translator where it stands.
struct SourceText {
    const char* context;
    const char* text;
};

// Marks a text for the catalogue: lupdate reads every call of this as it
// reads QT_TRANSLATE_NOOP, so the literals must stay literals.
constexpr SourceText sourceText(const char* context, const char* text) { return {context, text}; }

// The texts of the user's language, when it is not the program's own.
class TextCatalogue {
public:
    virtual ~TextCatalogue() = default;
    // The text to show for `source`: the source text itself when the
    // catalogue has none for it.
    virtual std::string lookUp(const SourceText& source) const = 0;
};

}  // namespace kestrova
