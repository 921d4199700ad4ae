#pragma once
// The UPnP IGD calls of the port-mapping check, after SSDP found the gateway's description:
// the description itself, the WAN connection service's GetStatusInfo and
// GetExternalIPAddress, and adding and deleting one UDP port mapping. upnp_client.cpp over
// libminiupnpc where the build found it, upnp_client_none.cpp otherwise (this build then
// cannot ask UPnP, and says so). The calls block for at most the library's own socket
// time-outs; they are made only after the gateway answered the search. Runner thread only.

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
    virtual UpnpStatus Describe(const std::string& location) = 0;
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
