#include "terminal/ConnectionListing.h"

#include <cstdint>
#include <vector>

#include "terminal/TerminalLog.h"

namespace kestrova {

std::string connectionListing(const ConnectionList& list) {
    std::string out;
    writeConnectionListing(
        list,
        [&out](std::string_view piece) {
            out.append(piece);
            return true;
        },
        SIZE_MAX);
    return out;
}

bool writeConnectionListing(const ConnectionList& list, const std::function<bool(std::string_view)>& write,
                            std::size_t pieceSize) {
    std::vector<int> shown;
    for (int column = 0; column < kConnectionColumns; ++column)
        if (kConnectionColumnSpecs[column].width > 0) shown.push_back(column);
    std::string out, text;
    auto line = [&](auto cell) {
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (i > 0) out += '\t';
            out += terminalText(cell(shown[i]));
        }
        out += '\n';
    };
    line([](int column) { return kConnectionColumnSpecs[column].shownHeader(); });
    for (int row = 0; row < list.rowCount(); ++row) {
        line([&](int column) {
            text.clear();
            appendCell(text, list, row, column);
            return std::string_view(text);
        });
        if (out.size() >= pieceSize) {
            if (!write(out)) return false;
            out.clear();
        }
    }
    return write(out);
}

}  // namespace kestrova
