#include "helper/CaptureFilter.h"

#include "capture/Datagram.h"

namespace kestrova::helper {

namespace {

constexpr std::uint32_t kEtherIpv4 = 0x0800;
// The Linux kernel's load of the frame's protocol, for captures that see no
// link header (SKF_AD_OFF + SKF_AD_PROTOCOL).
constexpr std::uint32_t kLoadProtocol = 0xFFFFF000;

// Where a jump goes, resolved once the program's length is known.
enum class Target { Next, Accept, Reject };

struct Step {
    bpf_insn instruction;
    Target whenTrue = Target::Next;
    Target whenFalse = Target::Next;
};

std::uint32_t word(const Ipv4& address) {
    return std::uint32_t{address[0]} << 24 | std::uint32_t{address[1]} << 16 | std::uint32_t{address[2]} << 8 |
           address[3];
}

Step statement(std::uint16_t code, std::uint32_t k) { return {bpf_insn{code, 0, 0, k}}; }
Step jump(std::uint16_t code, std::uint32_t k, Target whenTrue, Target whenFalse) {
    return {bpf_insn{code, 0, 0, k}, whenTrue, whenFalse};
}

}  // namespace

std::optional<unsigned> kernelLinkHeader(int linkType) {
    switch (linkType) {
    case kLinkEthernet:
        return 14;
    case kLinkRaw:
    case kLinkIpv4:
    // A cooked capture gets the frame from the network header on; the
    // capture library puts the cooked header in front afterwards.
    case kLinkLinuxCooked:
    case kLinkLinuxCooked2:
        return 0;
    default:
        return std::nullopt;
    }
}

std::optional<std::vector<bpf_insn>> captureProgram(int linkType, const HelperOptions& options) {
    const auto header = kernelLinkHeader(linkType);
    if (!header || options.excluded.size() > kMaxExcluded) return std::nullopt;
    const std::uint32_t l = *header;
    std::vector<Step> steps;

    // IPv4 by the link header's type, where there is one.
    if (linkType == kLinkEthernet) {
        steps.push_back(statement(BPF_LD | BPF_H | BPF_ABS, 12));
        steps.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kEtherIpv4, Target::Next, Target::Reject));
    } else if (linkType == kLinkLinuxCooked || linkType == kLinkLinuxCooked2) {
        steps.push_back(statement(BPF_LD | BPF_H | BPF_ABS, kLoadProtocol));
        steps.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kEtherIpv4, Target::Next, Target::Reject));
    }
    // Version 4, TCP, and no later fragment: its first bytes are data.
    steps.push_back(statement(BPF_LD | BPF_B | BPF_ABS, l));
    steps.push_back(statement(BPF_ALU | BPF_AND | BPF_K, 0xF0));
    steps.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 0x40, Target::Next, Target::Reject));
    steps.push_back(statement(BPF_LD | BPF_B | BPF_ABS, l + 9));
    steps.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 6, Target::Next, Target::Reject));
    steps.push_back(statement(BPF_LD | BPF_H | BPF_ABS, l + 6));
    steps.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, Target::Reject, Target::Next));

    if (!options.wholeInterface) {
        // Neither end is an excluded address, and one end is ours.
        for (const std::uint32_t offset : {l + 12, l + 16}) {
            steps.push_back(statement(BPF_LD | BPF_W | BPF_ABS, offset));
            for (const Ipv4& excluded : options.excluded)
                steps.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, word(excluded), Target::Reject, Target::Next));
        }
        steps.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, word(options.address), Target::Accept, Target::Next));
        steps.push_back(statement(BPF_LD | BPF_W | BPF_ABS, l + 12));
        steps.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, word(options.address), Target::Accept, Target::Reject));
    }

    // Accept: keep the link header, the IPv4 header (its length from the
    // header itself) and the ports.
    const std::size_t accept = steps.size();
    const std::size_t reject = accept + 4;
    std::vector<bpf_insn> program;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        bpf_insn instruction = steps[i].instruction;
        if (BPF_CLASS(instruction.code) == BPF_JMP) {
            auto offset = [&](Target target) -> std::optional<std::uint8_t> {
                const std::size_t to = target == Target::Next ? i + 1 : target == Target::Accept ? accept : reject;
                const std::size_t distance = to - i - 1;
                if (distance > 255) return std::nullopt;
                return static_cast<std::uint8_t>(distance);
            };
            const auto whenTrue = offset(steps[i].whenTrue), whenFalse = offset(steps[i].whenFalse);
            if (!whenTrue || !whenFalse) return std::nullopt;
            instruction.jt = *whenTrue;
            instruction.jf = *whenFalse;
        }
        program.push_back(instruction);
    }
    program.push_back(bpf_insn{BPF_LDX | BPF_B | BPF_MSH, 0, 0, l});
    program.push_back(bpf_insn{BPF_MISC | BPF_TXA, 0, 0, 0});
    program.push_back(bpf_insn{BPF_ALU | BPF_ADD | BPF_K, 0, 0, l + 4});
    program.push_back(bpf_insn{BPF_RET | BPF_A, 0, 0, 0});
    program.push_back(bpf_insn{BPF_RET | BPF_K, 0, 0, 0});
    return program;
}

}  // namespace kestrova::helper
