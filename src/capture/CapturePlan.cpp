#include "capture/CapturePlan.h"

#include <algorithm>

namespace kestrova {

std::optional<CapturePlan> planCapture(const std::vector<LocalAddress>& addresses, std::size_t index) {
    if (index >= addresses.size()) return std::nullopt;
    const LocalAddress& own = addresses[index];
    CapturePlan plan{own, std::nullopt};
    CaptureRequest request;
    request.interfaceName = own.interfaceName;
    request.address = own.address;
    for (std::size_t earlier = 0; earlier < index; ++earlier) {
        const LocalAddress& other = addresses[earlier];
        if (other.interfaceName != own.interfaceName) continue;
        if (own.loopback) return plan;  // the first worker there takes it all
        if (std::find(request.excluded.begin(), request.excluded.end(), other.address) == request.excluded.end())
            request.excluded.push_back(other.address);
    }
    request.wholeInterface = own.loopback;
    plan.request = std::move(request);
    return plan;
}

}  // namespace kestrova
