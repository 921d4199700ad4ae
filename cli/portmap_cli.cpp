#include "cli/portmap_cli.h"

#include <vector>

#include "cli/json_output.h"
#include "cli/options.h"
#include "engine/p2p_meaning.h"
#include "net/address_text.h"

namespace {

std::string Address(const std::optional<std::uint32_t>& a) {
    return a ? JsonString(FormatIpv4(*a)) : "null";
}
std::string Bool(const std::optional<bool>& b) {
    return b ? (*b ? "true" : "false") : "null";
}
std::string Text(const std::string& s) {
    return s.empty() ? "null" : JsonString(s);
}
std::string Strings(const std::vector<std::string>& list) {
    std::string j = "[";
    for (std::size_t i = 0; i < list.size(); ++i)
        j += (i == 0 ? "" : ",") + JsonString(list[i]);
    return j + "]";
}
std::string Code(const std::optional<int>& code, const std::string& text) {
    if (!code)
        return "null";
    return "{\"code\":" + std::to_string(*code) + ",\"text\":" + JsonString(text) + "}";
}
std::string Code(const PortMapProtocol& p) {
    return Code(p.resultCode, p.result);
}
std::string Address6(const std::optional<Ipv6Bytes>& a) {
    return a ? JsonString(FormatIpv6(*a)) : "null";
}

}  // namespace

std::string FormatPortMapJsonMembers(const PortMapOutcome& o) {
    std::string j = "\"portMapping\":{\"gateway\":" + Address(o.gatewayNet);
    j += ",\"protocols\":" + JsonString(o.upnpAvailable ? "NAT-PMP, PCP, UPnP" : "NAT-PMP, PCP");
    j += ",\"upnp\":{\"present\":" + std::string(o.upnp.present ? "true" : "false") +
         ",\"connected\":" + Bool(o.upnp.connected) +
         ",\"externalAddress\":" + Address(o.upnp.externalNet) +
         ",\"error\":" + Text(o.upnp.error) + ",\"inbound\":" + Bool(o.upnp.inbound) +
         ",\"unicast\":" + (o.ssdpUnicast ? "true" : "false") +
         ",\"multicast\":" + (o.ssdpMulticast ? "true" : "false") + "}";
    j += ",\"natPmp\":{\"present\":" + std::string(o.natPmp.present ? "true" : "false") +
         ",\"resultCode\":" + Code(o.natPmp) +
         ",\"externalAddress\":" + Address(o.natPmp.externalNet) +
         ",\"inbound\":" + Bool(o.natPmp.inbound) + "}";
    j += ",\"pcp\":{\"present\":" + std::string(o.pcp.present ? "true" : "false") +
         ",\"result\":" + Code(o.pcp) + ",\"externalAddress\":" + Address(o.pcp.externalNet) +
         ",\"inbound\":" + Bool(o.pcp.inbound) +
         ",\"natPmpOnly\":" + (o.pcpNatPmpOnly ? "true" : "false") + "}";
    j += ",\"pcp6\":{\"gateway\":" + Address6(o.pcp6.gateway) +
         ",\"address\":" + Address6(o.pcp6.address) +
         ",\"present\":" + (o.pcp6.present ? "true" : "false") +
         ",\"result\":" + Code(o.pcp6.resultCode, o.pcp6.result) + ",\"pinhole\":" +
         (o.pcp6.pinhole ? JsonString(FormatIpv6Endpoint(*o.pcp6.pinhole)) : "null") + "}";
    j += ",\"inbound\":" + Bool(o.inbound) + ",\"cleanup\":" + Strings(o.cleanup) + "}";
    const NatLayers& l = o.layers;
    j += ",\"natLayers\":{\"doubleNat\":" + Bool(l.doubleNat) + ",\"cgnat\":" + Bool(l.cgnat) +
         ",\"gatewayExternal\":" + Address(l.gatewayExternal) + ",\"mapped\":" + Address(l.mapped) +
         ",\"reasons\":" + Strings(l.reasons) + ",\"hops\":[";
    for (std::size_t i = 0; i < l.hops.size(); ++i) {
        const AddressClassInfo c = ClassifyIpv4(l.hops[i]);
        const bool answered = l.hops[i] != 0;
        j += (i == 0 ? "" : ",") + std::string("{\"ttl\":") + std::to_string(i + 1) +
             ",\"address\":" + (answered ? JsonString(FormatIpv4(l.hops[i])) : "null") +
             ",\"class\":" + (answered ? JsonString(c.name) : "null") + "}";
    }
    j += "]}";
    return j;
}

void AddPortMapJsonMembers(std::string& json, const PortMapOutcome& o) {
    if (!json.empty() && json.back() == '}')
        json.insert(json.size() - 1, "," + FormatPortMapJsonMembers(o));
}

std::string FormatPortMapJson(const char* status, const PortMapOutcome& o,
                              std::int64_t durationMs) {
    return "{\"status\":" + JsonString(status) + "," + FormatPortMapJsonMembers(o) +
           ",\"lines\":" + Strings(o.lines) + ",\"durationMs\":" + std::to_string(durationMs) + "}";
}

std::string PortMapMeaningBlock(const PortMapOutcome& o) {
    return std::string("\n") + kP2pHeading + "\n\n" + PortMapMeaningSentence(o) + "\n";
}

std::string PortMapMeaningAfter(const PortMapOutcome& o) {
    return o.finished ? "\n" + PortMapMeaningSentence(o) + "\n" : std::string();
}

PortMapOutcome RunPortMapAfter(const CliOptions& options, CPortMapRunner& runner,
                               std::optional<Endpoint> server,
                               std::optional<std::uint32_t> mapped) {
    PortMapRunConfig config;
    config.verify = options.portmapVerify;
    config.server = server;
    config.mapped = mapped;
    config.hops = options.portmapHops;
    return runner.Run(config);
}
