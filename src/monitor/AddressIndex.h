#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrova {

class TextTable;

// The end of a connection row an address stands at.
enum class RowSide : std::uint8_t { Local = 0, Remote = 1 };

// One end of one row, by the row's serial number.
struct UnnamedSide {
    std::uint64_t serial;
    RowSide side;
    bool operator==(const UnnamedSide&) const = default;
};

// Beside the connection rows: for each address, the row ends that carry it
// and have no host name yet. A lookup then finds the cells its name belongs
// in without reading every row, and a pass learns which addresses need a
// name without a walk of its own.
//
// Order is that of a walk from the last row to the first, the local end of
// each row before its remote end.
class AddressIndex {
public:
    // Kept up to date by the connection rows' own hooks, with the table as
    // it stands before the change.
    void rowAdded(const TextTable& rows, int row);
    void rowRemoving(const TextTable& rows, int row);
    void cellChanging(const TextTable& rows, int row, int column, std::string_view newText);

    // Every address that still lacks a name somewhere, in the order the walk
    // meets its first unnamed end.
    std::vector<std::string> unnamedAddresses() const;
    // The first `limit` ends that carry `address` without a name, in walk
    // order.
    std::vector<UnnamedSide> unnamedSides(std::string_view address, std::size_t limit = SIZE_MAX) const;
    bool empty() const { return sides_.empty(); }

private:
    // serial * 2 + side: ascending is walk order.
    using SideKey = std::uint64_t;
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    void add(std::string_view address, SideKey key);
    void remove(std::string_view address, SideKey key);
    void track(const TextTable& rows, int row, RowSide side, bool adding);

    std::unordered_map<std::string, std::set<SideKey>, Hash, std::equal_to<>> sides_;
};

}  // namespace kestrova
