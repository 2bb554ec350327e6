#include "helper/CaptureFilter.h"

#include <cstddef>
#include <functional>

#include "wire/Datagram.h"

namespace kestrova::helper {

namespace {

constexpr std::uint32_t kEtherIpv4 = 0x0800;
constexpr std::uint32_t kEtherIpv6 = 0x86DD;
constexpr std::uint32_t kProtocolTcp = 6;
// The Linux kernel's load of the frame's protocol, for captures that see no
// link header (SKF_AD_OFF + SKF_AD_PROTOCOL).
constexpr std::uint32_t kLoadProtocol = 0xFFFFF000;

// A program in the making: its jumps name labels, which get their places as
// the program grows and become offsets at the end.
class Assembler {
public:
    using Label = std::size_t;
    // The instruction right after the jump.
    static constexpr Label kNext = static_cast<Label>(-1);

    Label label() {
        places_.push_back(kUnplaced);
        return places_.size() - 1;
    }
    void place(Label label) { places_[label] = steps_.size(); }

    void statement(std::uint16_t code, std::uint32_t k) { steps_.push_back({bpf_insn{code, 0, 0, k}}); }
    // A conditional jump: it reaches at most 255 instructions ahead.
    void jump(std::uint16_t code, std::uint32_t k, Label whenTrue, Label whenFalse) {
        steps_.push_back({bpf_insn{code, 0, 0, k}, whenTrue, whenFalse});
    }
    // A jump that reaches anywhere ahead.
    void always(Label to) { steps_.push_back({bpf_insn{BPF_JMP | BPF_JA, 0, 0, 0}, to, kNext}); }
    void reject() { statement(BPF_RET | BPF_K, 0); }

    // Nothing when a jump cannot reach where it goes.
    std::optional<std::vector<bpf_insn>> finish() const {
        std::vector<bpf_insn> program;
        for (std::size_t i = 0; i < steps_.size(); ++i) {
            bpf_insn instruction = steps_[i].instruction;
            if (BPF_CLASS(instruction.code) == BPF_JMP) {
                const auto distance = [&](Label target) -> std::optional<std::size_t> {
                    const std::size_t to = target == kNext ? i + 1 : places_[target];
                    if (to == kUnplaced || to <= i) return std::nullopt;
                    return to - i - 1;
                };
                const auto whenTrue = distance(steps_[i].whenTrue), whenFalse = distance(steps_[i].whenFalse);
                if (!whenTrue || !whenFalse) return std::nullopt;
                if (BPF_OP(instruction.code) == BPF_JA) {
                    instruction.k = static_cast<std::uint32_t>(*whenTrue);
                } else {
                    if (*whenTrue > 255 || *whenFalse > 255) return std::nullopt;
                    instruction.jt = static_cast<std::uint8_t>(*whenTrue);
                    instruction.jf = static_cast<std::uint8_t>(*whenFalse);
                }
            }
            program.push_back(instruction);
        }
        return program;
    }

private:
    static constexpr std::size_t kUnplaced = static_cast<std::size_t>(-1);
    struct Step {
        bpf_insn instruction;
        Label whenTrue = kNext;
        Label whenFalse = kNext;
    };
    std::vector<Step> steps_;
    std::vector<std::size_t> places_;
};
using Label = Assembler::Label;
constexpr Label kNext = Assembler::kNext;

// The address's bytes as the kernel loads them, four at a time.
std::uint32_t word(const IpAddress& address, std::size_t index) {
    const auto& bytes = address.bytes();
    const std::size_t at = address.isIpv4() ? 12 : 4 * index;
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 | std::uint32_t{bytes[at + 2]} << 8 |
           bytes[at + 3];
}

std::optional<std::vector<bpf_insn>> ipv4Program(int linkType, std::uint32_t l, const HelperOptions& options) {
    Assembler a;
    const Label accept = a.label(), reject = a.label();
    // IPv4 by the link header's type, where there is one.
    if (linkType == kLinkEthernet) {
        a.statement(BPF_LD | BPF_H | BPF_ABS, 12);
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, kEtherIpv4, kNext, reject);
    } else if (linkType == kLinkLinuxCooked || linkType == kLinkLinuxCooked2) {
        a.statement(BPF_LD | BPF_H | BPF_ABS, kLoadProtocol);
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, kEtherIpv4, kNext, reject);
    }
    // Version 4, TCP, and no later fragment: its first bytes are data.
    a.statement(BPF_LD | BPF_B | BPF_ABS, l);
    a.statement(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    a.jump(BPF_JMP | BPF_JEQ | BPF_K, 0x40, kNext, reject);
    a.statement(BPF_LD | BPF_B | BPF_ABS, l + 9);
    a.jump(BPF_JMP | BPF_JEQ | BPF_K, kProtocolTcp, kNext, reject);
    a.statement(BPF_LD | BPF_H | BPF_ABS, l + 6);
    a.jump(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, reject, kNext);

    if (!options.wholeInterface) {
        // Neither end is an excluded address, and one end is ours.
        for (const std::uint32_t offset : {l + 12, l + 16}) {
            a.statement(BPF_LD | BPF_W | BPF_ABS, offset);
            for (const IpAddress& excluded : options.excluded)
                a.jump(BPF_JMP | BPF_JEQ | BPF_K, word(excluded, 0), reject, kNext);
        }
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, word(options.address, 0), accept, kNext);
        a.statement(BPF_LD | BPF_W | BPF_ABS, l + 12);
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, word(options.address, 0), accept, reject);
    }

    // Accept: keep the link header, the IPv4 header (its length from the
    // header itself) and the ports.
    a.place(accept);
    a.statement(BPF_LDX | BPF_B | BPF_MSH, l);
    a.statement(BPF_MISC | BPF_TXA, 0);
    a.statement(BPF_ALU | BPF_ADD | BPF_K, l + 4);
    a.statement(BPF_RET | BPF_A, 0);
    a.place(reject);
    a.reject();
    return a.finish();
}

// When the 16 bytes at `offset` are `address`, what `matched` emits runs;
// otherwise the program goes on after it.
void ifAddressAt(Assembler& a, std::uint32_t offset, const IpAddress& address, const std::function<void()>& matched) {
    const Label differs = a.label();
    for (std::uint32_t i = 0; i < 4; ++i) {
        a.statement(BPF_LD | BPF_W | BPF_ABS, offset + 4 * i);
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, word(address, i), kNext, differs);
    }
    matched();
    a.place(differs);
}

std::optional<std::vector<bpf_insn>> ipv6Program(int linkType, std::uint32_t l, const HelperOptions& options) {
    Assembler a;
    const Label tcp = a.label();
    // The program is long: each check rejects right where it fails.
    const auto require = [&a](std::uint32_t value) {
        const Label holds = a.label();
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, value, holds, kNext);
        a.reject();
        a.place(holds);
    };
    if (linkType == kLinkEthernet) {
        a.statement(BPF_LD | BPF_H | BPF_ABS, 12);
        require(kEtherIpv6);
    } else if (linkType == kLinkLinuxCooked || linkType == kLinkLinuxCooked2) {
        a.statement(BPF_LD | BPF_H | BPF_ABS, kLoadProtocol);
        require(kEtherIpv6);
    }
    a.statement(BPF_LD | BPF_B | BPF_ABS, l);
    a.statement(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    require(0x60);

    if (!options.wholeInterface) {
        // Neither end is an excluded address, and one end is ours.
        for (const std::uint32_t offset : {l + 8, l + 24})
            for (const IpAddress& excluded : options.excluded) ifAddressAt(a, offset, excluded, [&] { a.reject(); });
        const Label ours = a.label();
        for (const std::uint32_t offset : {l + 24, l + 8})
            ifAddressAt(a, offset, options.address, [&] { a.always(ours); });
        a.reject();
        a.place(ours);
    }

    // The chain of headers: A holds the type of the header that starts at X.
    a.statement(BPF_LD | BPF_B | BPF_ABS, l + 6);
    a.statement(BPF_LDX | BPF_W | BPF_IMM, l + 40);
    for (std::size_t step = 0; step < kMaxExtensionHeaders; ++step) {
        const Label toTcp = a.label(), eightByteUnits = a.label(), authentication = a.label(), fragment = a.label(),
                    firstFragment = a.label(), next = a.label();
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, kProtocolTcp, toTcp, kNext);
        for (const std::uint8_t type : {kHopByHopOptions, kDestinationOptions, kRoutingHeader})
            a.jump(BPF_JMP | BPF_JEQ | BPF_K, type, eightByteUnits, kNext);
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, kFragmentHeader, fragment, kNext);
        a.jump(BPF_JMP | BPF_JEQ | BPF_K, kAuthenticationHeader, authentication, kNext);
        a.reject();  // ESP, no next header, another protocol
        a.place(toTcp);
        a.always(tcp);
        // The header's length into A: options and routing headers count
        // 8-byte units past their first 8 bytes, the authentication header
        // 4-byte units past its first 8.
        a.place(eightByteUnits);
        a.statement(BPF_LD | BPF_B | BPF_IND, 1);
        a.statement(BPF_ALU | BPF_ADD | BPF_K, 1);
        a.statement(BPF_ALU | BPF_LSH | BPF_K, 3);
        a.always(next);
        a.place(authentication);
        a.statement(BPF_LD | BPF_B | BPF_IND, 1);
        a.statement(BPF_ALU | BPF_ADD | BPF_K, 2);
        a.statement(BPF_ALU | BPF_LSH | BPF_K, 2);
        a.always(next);
        // A later fragment carries no TCP header; its first bytes are data.
        a.place(fragment);
        a.statement(BPF_LD | BPF_H | BPF_IND, 2);
        a.jump(BPF_JMP | BPF_JSET | BPF_K, 0xFFF8, kNext, firstFragment);
        a.reject();
        a.place(firstFragment);
        a.statement(BPF_LD | BPF_W | BPF_IMM, 8);
        // On to the next header: its type from this one, its start past it.
        a.place(next);
        a.statement(BPF_ALU | BPF_ADD | BPF_X, 0);
        a.statement(BPF_ST, 0);
        a.statement(BPF_LD | BPF_B | BPF_IND, 0);
        a.statement(BPF_LDX | BPF_W | BPF_MEM, 0);
    }
    a.jump(BPF_JMP | BPF_JEQ | BPF_K, kProtocolTcp, tcp, kNext);
    a.reject();

    // The TCP header starts at X. The datagram holds all of it, the ports lie
    // within reach, and the frame is cut right after them.
    a.place(tcp);
    const Label whole = a.label(), inReach = a.label();
    a.statement(BPF_MISC | BPF_TXA, 0);
    a.statement(BPF_ALU | BPF_ADD | BPF_K, 20);
    a.statement(BPF_MISC | BPF_TAX, 0);
    a.statement(BPF_LD | BPF_W | BPF_LEN, 0);
    a.jump(BPF_JMP | BPF_JGE | BPF_X, 0, whole, kNext);
    a.reject();
    a.place(whole);
    a.statement(BPF_MISC | BPF_TXA, 0);
    a.jump(BPF_JMP | BPF_JGT | BPF_K, l + static_cast<std::uint32_t>(kIpv6HeaderReach) + 16, kNext, inReach);
    a.reject();
    a.place(inReach);
    a.statement(BPF_ALU | BPF_SUB | BPF_K, 16);
    a.statement(BPF_RET | BPF_A, 0);
    return a.finish();
}

}  // namespace

std::vector<bpf_insn> withoutOutgoingCopies(const std::vector<bpf_insn>& program) {
    // The kernel's load of the frame's packet type (SKF_AD_OFF +
    // SKF_AD_PKTTYPE), and the type of a frame that is being sent.
    constexpr std::uint32_t kLoadPacketType = 0xFFFFF004;
    constexpr std::uint32_t kOutgoing = 4;
    std::vector<bpf_insn> prefixed = {
        {BPF_LD | BPF_B | BPF_ABS, 0, 0, kLoadPacketType},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, kOutgoing},
        {BPF_RET | BPF_K, 0, 0, 0},
    };
    prefixed.insert(prefixed.end(), program.begin(), program.end());
    return prefixed;
}

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
    for (const IpAddress& excluded : options.excluded)
        if (excluded.isIpv4() != options.address.isIpv4()) return std::nullopt;
    if (options.address.isIpv4()) return ipv4Program(linkType, *header, options);
    // A link that carries IPv4 only carries no IPv6 datagram to take.
    if (linkType == kLinkIpv4) return std::nullopt;
    return ipv6Program(linkType, *header, options);
}

}  // namespace kestrova::helper
