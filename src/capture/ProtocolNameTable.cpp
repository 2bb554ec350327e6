#include "capture/ProtocolNameTable.h"

namespace kestrova {

namespace {

constexpr std::array<char, 64> row(const char* text) {
    std::array<char, 64> out{};
    for (std::size_t i = 0; text[i] != '\0' && i < out.size() - 1; ++i) out[i] = text[i];
    return out;
}

}  // namespace

const std::array<std::array<char, 64>, 128> ProtocolNameTable = {{
    row("Reserved"), row("ICMP"), row("IGMP"), row("GGP"), row("IP"), row("ST"), row("TCP"), row("UCL"), row("EGP"),
    row("IGP"), row("BBN-RCC-MON"), row("NVP-II"), row("PUP"), row("ARGUS"), row("EMCON"), row("XNET"),
    row("CHAOS"), row("UDP"), row("MUX"), row("DCN-MEAS"), row("HMP"), row("PRM"), row("XNS-IDP"), row("TRUNK-1"),
    row("TRUNK-2"), row("LEAF-1"), row("LEAF-2"), row("RDP"), row("IRTP"), row("ISO-TP4"), row("NETBLT"),
    row("MFE-NSP"), row("MERIT-INP"), row("SEP"), row("3PC"), row("IDPR"), row("XTP"), row("DDP"), row("IDPR-CMTP"),
    row("TP++"), row("IL"), row("SIP"), row("SDRP"), row("SIP-SR"), row("SIP-FRAG"), row("IDRP"), row("RSVP"),
    row("GRE"), row("MHRP"), row("BNA"), row("SIPP-ESP"), row("SIPP-AH"), row("I-NLSP"), row("SWIPE"), row("NHRP"),
    row("unknown"), row("unknown"), row("unknown"), row("unknown"), row("unknown"), row("unknown"), row("unknown"),
    row("CFTP"), row("unknown"), row("SAT-EXPAK"), row("KRYPTOLAN"), row("RVD"), row("IPPC"), row("unknown"),
    row("SAT-MON"), row("VISA"), row("IPCV"), row("CPNX"), row("CPHB"), row("WSN"), row("PVP"), row("BR-SAT-MON"),
    row("SUN-ND"), row("WB-MON"), row("WB-EXPAK"), row("ISO-IP"), row("VMTP"), row("SECURE-VMTP"), row("VINES"),
    row("TTP"), row("NSFNET-IGP"), row("DGP"), row("TCF"), row("IGRP"), row("OSPFIGP"), row("Sprite-RPC"),
    row("LARP"), row("MTP"), row("AX.25"), row("IPIP"), row("MICP"), row("SCC-SP"), row("ETHERIP"), row("ENCAP"),
    row("unknown"), row("GMTP"),
    // 101 to 127 stay empty.
}};

}  // namespace kestrova
