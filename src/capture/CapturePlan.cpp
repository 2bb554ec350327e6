#include "capture/CapturePlan.h"

#include <algorithm>

namespace kestrova {

std::string_view LinkZones::of(const IpAddress& address) const {
    for (const auto& [owned, interfaceName] : owners)
        if (owned == address) return interfaceName;
    return captured;
}

std::optional<CapturePlan> planCapture(const std::vector<LocalAddress>& addresses, std::size_t index) {
    if (index >= addresses.size()) return std::nullopt;
    const LocalAddress& own = addresses[index];
    CapturePlan plan{own, std::nullopt, {own.interfaceName, {}}};
    const bool ipv4 = own.address.isIpv4();
    CaptureRequest request;
    request.interfaceName = own.interfaceName;
    request.address = own.address;
    for (std::size_t earlier = 0; earlier < index; ++earlier) {
        const LocalAddress& other = addresses[earlier];
        if (other.interfaceName != own.interfaceName || other.address.isIpv4() != ipv4) continue;
        if (own.loopback) return plan;  // the first worker there takes it all
        if (std::find(request.excluded.begin(), request.excluded.end(), other.address) == request.excluded.end())
            request.excluded.push_back(other.address);
    }
    request.wholeInterface = own.loopback;
    if (own.loopback && !ipv4) {
        for (const LocalAddress& other : addresses) {
            const bool known = std::any_of(plan.zones.owners.begin(), plan.zones.owners.end(),
                                           [&](const auto& owner) { return owner.first == other.address; });
            if (other.address.isLinkLocal() && !known)
                plan.zones.owners.emplace_back(other.address, other.interfaceName);
        }
    }
    plan.request = std::move(request);
    return plan;
}

}  // namespace kestrova
