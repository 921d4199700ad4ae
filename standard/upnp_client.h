#pragma once
// The UPnP IGD calls of the port-mapping check, after SSDP found the gateway's description:
// the description itself, the WAN connection service's GetStatusInfo and
// GetExternalIPAddress, and adding and deleting one UDP port mapping. upnp_client.cpp over
// libminiupnpc where the build found it, upnp_client_none.cpp otherwise (this build then
// cannot ask UPnP, and says so). They are made only after the gateway answered the search.
//
// Time: the library (API 17) takes no time-out for its HTTP calls; each blocks for at most its
// own socket time-outs (3 s to connect, 5 s for each read that brings nothing), so a gateway
// that accepts the connection and then trickles its answer can hold one call longer. Describe
// asks nothing further once its budget is spent; a stop request is seen between calls, never
// inside one. Runner thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct UpnpStatus {
    bool described = false;         // the description was read and names a WAN connection service
    std::string serviceType;        // that service
    std::optional<bool> connected;  // GetStatusInfo: "Connected"
    std::string status;             // its ConnectionStatus as sent (printable characters only)
    std::optional<std::uint32_t> externalNet;  // GetExternalIPAddress, network order
    std::string error;                         // why something above is missing; "" when nothing is
};

class IUpnpClient {
public:
    virtual ~IUpnpClient() = default;
    // The description, then GetStatusInfo and GetExternalIPAddress while budgetMs (from the
    // start) is not yet spent; what was left out is said in error.
    virtual UpnpStatus Describe(const std::string& location, std::uint64_t budgetMs) = 0;
    // AddPortMapping for UDP externalPort -> internalClient:internalPort; "" on success, else
    // the error as the library names it.
    virtual std::string AddUdpMapping(std::uint16_t externalPort, std::uint16_t internalPort,
                                      std::uint32_t internalClientNet,
                                      std::uint32_t leaseSeconds) = 0;
    virtual std::string DeleteUdpMapping(std::uint16_t externalPort) = 0;
};

// Whether this build can ask UPnP at all.
bool UpnpAvailable();
// A client for this build; null when it cannot ask UPnP.
std::unique_ptr<IUpnpClient> MakeUpnpClient();
