#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "monitor/AddressIndex.h"
#include "monitor/ConnectionCells.h"
#include "monitor/EndpointIndex.h"
#include "monitor/TextTable.h"
#include "platform/IpAddress.h"

namespace kestrova {

// The number in a byte-total cell: leading white space, one optional sign,
// then decimal digits up to the first other character, kept modulo 2^64.
// Empty or digitless text reads as 0.
std::uint64_t readTotal(std::string_view text);

// What a new connection row is made of.
struct NewConnection {
    IpAddress local, remote;
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;  // as shown: 0 when the remote address carries none
    std::string_view zone;         // the interface of a row with a link-local address
    std::uint32_t pid = 0;         // kPidNotVisible: no process id is shown
    std::uint32_t state = 0;
    std::string_view owner;  // the process column: a program path or who owns the socket
};

// The mark of the "seen" column: new in this tick, found again, or neither
// (not listed by the last snapshot read).
enum class SeenMark : std::uint8_t { None, New, Updated };

// The five texts that identify a connection row.
struct ConnectionKey {
    std::string_view localIp, localPort, remoteIp, remotePort, pid;
};

// The connection rows: 16 text cells each, newest on top, with an index from
// the five key cells to the row so that finding a connection does not scan.
// The index answers exactly what a scan from the last row upwards comparing
// the five cells would answer: the lowest matching row.
//
// Rows are read through ConnectionCells, which makes every shown text.
class ConnectionList : public TextTable {
public:
    ConnectionList();

    // The text a cell holds as kept, for ConnectionCells and the parts of
    // the monitor that keep the rows.
    std::string_view storedText(int row, int column) const { return TextTable::cellText(row, column); }

    // The writes of the monitor's parts, each in the terms of what it
    // knows; the list makes the cells' texts. A write that changes no text
    // tells nobody.
    //
    // A new row at the top (row 0), marked new, with no bytes counted.
    int insert(const NewConnection& connection);
    void setState(int row, std::uint32_t state);
    // The endpoints show their end's host name when `names` and the end has
    // one, else its address.
    void setShownEnds(int row, bool names);
    // The host name of one end, for the host name pass.
    void fillName(int row, RowSide side, std::string_view name);
    // Packet checking: bytes counted for the row, and the activity mark,
    // shown with the row's total as it stands when set.
    void addBytes(int row, std::uint64_t bytes);
    void setActive(int row, std::string_view mark);
    void clearActive(int row);
    void setSeen(int row, SeenMark seen);

    // Index of the row whose key cells equal `key`, or -1.
    int findRow(const ConnectionKey& key) const;

    // Counts the key cells rewritten after their row was inserted.
    std::uint64_t keyRewrites() const { return keyRewrites_; }
    // Whether two rows carry the same five key cells.
    bool hasDuplicateKeys() const { return duplicateKeys_ > 0; }
    // The row ends that carry an address but no host name yet.
    const AddressIndex& unnamedAddresses() const { return addresses_; }
    // Grows with every row added or removed and every cell changed, except
    // the traffic columns (colActive, colTotalBytes): equal stamps mean
    // every other cell is as it was.
    std::uint64_t changeStamp() const { return changeStamp_; }

    // The rows by their local and remote endpoints, and the rows that show an
    // activity mark.
    const EndpointIndex& endpoints() const { return endpoints_; }

private:
    // Shown texts come from ConnectionCells.
    using TextTable::cellText;

    static void appendKey(std::string& out, const ConnectionKey& key);
    static bool isKeyColumn(int column);
    ConnectionKey keyOfRow(int row, int changedColumn = -1, std::string_view changedText = {}) const;

    void rowAdded(int row) override;
    void rowRemoving(int row) override;
    void cellChanging(int row, int column, std::string_view newText) override;
    void indexRow(int row, const ConnectionKey& key);
    void unindexRow(int row, const ConnectionKey& key);

    struct IndexEntry {
        std::uint64_t serial;  // the lowest row carrying the key
        std::uint32_t rows;    // how many rows carry it
    };
    std::unordered_map<std::string, IndexEntry> keyIndex_;
    std::uint64_t keyRewrites_ = 0;
    std::uint64_t changeStamp_ = 0;
    std::size_t duplicateKeys_ = 0;  // keys carried by more than one row
    mutable std::string scratch_;
    AddressIndex addresses_;
    EndpointIndex endpoints_{colLocalIp, colLocalPort, colRemoteIp, colRemotePort, colActive};
};

}  // namespace kestrova
