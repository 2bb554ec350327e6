// The snapshot sorter against a plain stable sort, over tables that change
// the way the kernel's do between dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "linux/SnapshotSorter.h"

namespace kestrova {
namespace {

struct Churn {
    const char* name;
    int gone, added, moved;  // per dump, at most
    int keyRange;            // small ranges make equal keys
};
void PrintTo(const Churn& c, std::ostream* os) { *os << c.name; }

class SnapshotSorterTest : public ::testing::TestWithParam<Churn> {};

TEST_P(SnapshotSorterTest, SortsAsAStableSortWould) {
    const Churn& c = GetParam();
    std::mt19937 rng(static_cast<unsigned>(c.keyRange * 7 + c.added));
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto row = [&] {
        TcpRow r;
        r.state = static_cast<std::uint32_t>(1 + pick(12));
        r.localAddr = {127, 0, 0, static_cast<std::uint8_t>(pick(3))};
        r.localPort = static_cast<std::uint16_t>(pick(c.keyRange));
        r.remoteAddr = {static_cast<std::uint8_t>(pick(2) * 127), 0, 0, 1};
        r.remotePort = static_cast<std::uint16_t>(pick(c.keyRange));
        r.pid = static_cast<std::uint32_t>(pick(3));
        return r;
    };
    std::vector<TcpRow> kernel(300);
    std::generate(kernel.begin(), kernel.end(), row);
    SnapshotSorter sorter;
    std::vector<TcpRow> sorted;
    for (int dump = 0; dump < 300; ++dump) {
        for (int n = pick(c.gone + 1); n > 0 && !kernel.empty(); --n)
            kernel.erase(kernel.begin() + pick(static_cast<int>(kernel.size())));
        for (int n = pick(c.added + 1); n > 0; --n)
            kernel.insert(kernel.begin() + pick(static_cast<int>(kernel.size()) + 1), row());
        for (int n = pick(c.moved + 1); n > 0 && kernel.size() > 1; --n)
            std::swap(kernel[static_cast<std::size_t>(pick(static_cast<int>(kernel.size())))], kernel.back());
        for (TcpRow& r : kernel)
            if (pick(50) == 0) r.state = static_cast<std::uint32_t>(1 + pick(12));  // states change in place

        sorter.next() = kernel;
        sorter.sort(sorted);
        std::vector<TcpRow> expected = kernel;
        std::stable_sort(expected.begin(), expected.end(), inSnapshotOrder);
        ASSERT_EQ(sorted, expected) << "dump " << dump;
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, SnapshotSorterTest,
                         ::testing::Values(Churn{"Unchanged", 0, 0, 0, 60000}, Churn{"FewComeAndGo", 3, 3, 0, 60000},
                                           Churn{"ManyComeAndGo", 80, 80, 0, 60000},
                                           Churn{"RowsMoveAround", 2, 2, 5, 60000},
                                           Churn{"ManyEqualKeys", 5, 5, 1, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
