#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "monitor/TextTable.h"

namespace kestrova {

// Beside the connection rows: which rows carry a given local and remote
// endpoint in their four address and port cells, and which rows show an
// activity mark. Rows are named by their serial, which outlives moves.
//
// Fed by the table's hooks, so it always answers what scanning the cells
// would: exact text, any number of rows per endpoint pair.
class EndpointIndex {
public:
    EndpointIndex(int localIp, int localPort, int remoteIp, int remotePort, int active);

    // The table's hooks, with the row still (or already) in place.
    void rowAdded(const TextTable& table, int row);
    void rowRemoving(const TextTable& table, int row);
    void cellChanging(const TextTable& table, int row, int column, std::string_view newText);

    // Serials of the rows whose cells equal the four texts.
    std::span<const std::uint64_t> rowsWith(std::string_view localIp, std::string_view localPort,
                                            std::string_view remoteIp, std::string_view remotePort) const;
    // Serials of the rows whose activity cell is not empty.
    const std::unordered_set<std::uint64_t>& activeRows() const { return active_; }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    using Index = std::unordered_map<std::string, std::vector<std::uint64_t>, Hash, std::equal_to<>>;

    // The four texts joined with their lengths, so that no two different
    // quadruples give the same key.
    static void makeKey(std::string& out, std::string_view localIp, std::string_view localPort,
                        std::string_view remoteIp, std::string_view remotePort);
    void keyOfRow(std::string& out, const TextTable& table, int row, int changedColumn = -1,
                  std::string_view changedText = {}) const;
    void add(const std::string& key, std::uint64_t serial);
    void remove(const std::string& key, std::uint64_t serial);
    bool isEndpointColumn(int column) const;

    int localIp_, localPort_, remoteIp_, remotePort_, activeColumn_;
    Index rows_;
    std::unordered_set<std::uint64_t> active_;
    mutable std::string scratch_;
};

}  // namespace kestrova
