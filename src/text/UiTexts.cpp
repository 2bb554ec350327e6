#include "text/UiTexts.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrova {

namespace {

// A shown text cut once into its literal runs and its places, so that a line
// made for every connection of a tick costs no search for places.
struct Pattern {
    struct Piece {
        std::uint32_t offset = 0;  // where it stands in `text`
        std::uint32_t length = 0;
        int part = -1;  // the index of the part for a place (0 for %1), -1 for a literal run
    };
    std::string text;
    std::vector<Piece> pieces;

    explicit Pattern(std::string shown) : text(std::move(shown)) {
        std::size_t literal = 0;
        auto piece = [](std::size_t offset, std::size_t length, int part) {
            return Piece{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length), part};
        };
        for (std::size_t at = 0; at + 1 < text.size(); ++at) {
            if (text[at] != '%' || text[at + 1] < '1' || text[at + 1] > '9') continue;
            if (at > literal) pieces.push_back(piece(literal, at - literal, -1));
            pieces.push_back(piece(at, 2, text[at + 1] - '1'));
            literal = at + 2;
            ++at;
        }
        if (text.size() > literal) pieces.push_back(piece(literal, text.size() - literal, -1));
    }

    std::string fill(std::initializer_list<std::string_view> parts) const {
        // A place without a part reads as written.
        auto textOf = [&](const Piece& piece) {
            if (piece.part >= 0 && static_cast<std::size_t>(piece.part) < parts.size())
                return parts.begin()[piece.part];
            return std::string_view(text).substr(piece.offset, piece.length);
        };
        std::size_t size = 0;
        for (const Piece& piece : pieces) size += textOf(piece).size();
        std::string out;
        out.reserve(size);
        for (const Piece& piece : pieces) out.append(textOf(piece));
        return out;
    }
};

std::vector<Pattern> patternsFrom(const TextCatalogue* catalogue) {
    std::vector<Pattern> patterns;
    patterns.reserve(kUiTextCount);
    for (const UiTextEntry& entry : kUiTexts) {
        std::string shown = catalogue ? catalogue->lookUp(entry.source) : std::string();
        patterns.emplace_back(shown.empty() ? std::string(entry.source.text) : std::move(shown));
    }
    return patterns;
}

using Patterns = std::vector<Pattern>;

// Every table made stays until the process ends (the holder is never
// destroyed either): a text that a thread took from an earlier table, or
// takes while the program exits, stays valid, and readers need no lock.
struct Tables {
    std::mutex mutex;
    std::vector<std::unique_ptr<const Patterns>> made;
    const Patterns* source = nullptr;
    std::atomic<const Patterns*> current{nullptr};

    const Patterns* keep(Patterns patterns) {
        std::lock_guard lock(mutex);
        made.push_back(std::make_unique<const Patterns>(std::move(patterns)));
        return made.back().get();
    }
};

Tables& tables() {
    static Tables* const tables = [] {
        auto* made = new Tables;
        made->source = made->keep(patternsFrom(nullptr));
        made->current.store(made->source, std::memory_order_release);
        return made;
    }();
    return *tables;
}

const Pattern& patternOf(UiText id) {
    return (*tables().current.load(std::memory_order_acquire))[static_cast<std::size_t>(id)];
}

}  // namespace

std::string_view shownText(UiText id) { return patternOf(id).text; }

std::string formatText(UiText id, std::initializer_list<std::string_view> parts) { return patternOf(id).fill(parts); }

void useTextCatalogue(const TextCatalogue* catalogue) {
    Tables& all = tables();
    all.current.store(catalogue ? all.keep(patternsFrom(catalogue)) : all.source, std::memory_order_release);
}

}  // namespace kestrova
