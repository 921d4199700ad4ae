// UPnP IGD through libminiupnpc. Written against API 17 (Debian 12's miniupnpc 2.2.4), where
// UPNP_GetValidIGD's 2 does not yet mean "private IGD": the check reads the description itself
// (UPNP_GetIGDFromUrl) and judges the external address with its own table instead.

#include "standard/upnp_client.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/address_text.h"

namespace {

std::string Printable(const char* s) {
    std::string out;
    for (; *s != '\0' && out.size() < 64; ++s)
        out += (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F) ? '?' : *s;
    return out;
}

std::string ErrorText(int code) {
    const char* text = strupnperror(code);
    return text ? Printable(text) + " (" + std::to_string(code) + ")"
                : "error " + std::to_string(code);
}

class CMiniUpnpClient final : public IUpnpClient {
public:
    ~CMiniUpnpClient() override {
        if (m_haveUrls)
            FreeUPNPUrls(&m_urls);
    }

    UpnpStatus Describe(const std::string& location, std::uint64_t budgetMs) override {
        const auto start = std::chrono::steady_clock::now();
        // The next call is not made once the budget is spent: "" while it is not.
        const auto late = [&](const char* next) -> std::string {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
            if (static_cast<std::uint64_t>(ms) < budgetMs)
                return {};
            char text[128];
            std::snprintf(text, sizeof text, "the gateway took %.1f s, its budget is %.1f s: %s",
                          static_cast<double>(ms) / 1000.0, static_cast<double>(budgetMs) / 1000.0,
                          next);
            return text;
        };
        UpnpStatus s;
        char lanAddress[64] = {};
        if (m_haveUrls)
            FreeUPNPUrls(&m_urls);
        std::memset(&m_urls, 0, sizeof m_urls);
        std::memset(&m_data, 0, sizeof m_data);
        m_haveUrls = UPNP_GetIGDFromUrl(location.c_str(), &m_urls, &m_data, lanAddress,
                                        sizeof lanAddress) == 1;
        if (!m_haveUrls || m_urls.controlURL == nullptr || m_data.first.servicetype[0] == '\0') {
            s.error = "the description names no WAN connection service";
            return s;
        }
        s.described = true;
        s.serviceType = Printable(m_data.first.servicetype);
        if (s.error = late("GetStatusInfo and GetExternalIPAddress not asked"); !s.error.empty())
            return s;
        char status[64] = {};
        char lastError[64] = {};
        unsigned int uptime = 0;
        const int st = UPNP_GetStatusInfo(m_urls.controlURL, m_data.first.servicetype, status,
                                          &uptime, lastError);
        if (st == UPNPCOMMAND_SUCCESS) {
            s.status = Printable(status);
            s.connected = s.status == "Connected";
        } else {
            s.error = "GetStatusInfo: " + ErrorText(st);
        }
        if (const std::string why = late("GetExternalIPAddress not asked"); !why.empty()) {
            if (s.error.empty())
                s.error = why;
            return s;
        }
        char external[40] = {};
        const int ex =
            UPNP_GetExternalIPAddress(m_urls.controlURL, m_data.first.servicetype, external);
        if (ex == UPNPCOMMAND_SUCCESS) {
            if (const auto a = ParseIpv4(Printable(external)))
                s.externalNet = *a;
            else if (s.error.empty())
                s.error = "GetExternalIPAddress gave no address";
        } else if (s.error.empty()) {
            s.error = "GetExternalIPAddress: " + ErrorText(ex);
        }
        return s;
    }

    std::string AddUdpMapping(std::uint16_t externalPort, std::uint16_t internalPort,
                              std::uint32_t internalClientNet,
                              std::uint32_t leaseSeconds) override {
        if (!m_haveUrls)
            return "no description";
        const std::string ext = std::to_string(externalPort);
        const std::string in = std::to_string(internalPort);
        const std::string client = FormatIpv4(internalClientNet);
        const std::string lease = std::to_string(leaseSeconds);
        const int r = UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, ext.c_str(),
                                          in.c_str(), client.c_str(), "Tarnwick check", "UDP",
                                          nullptr, lease.c_str());
        return r == UPNPCOMMAND_SUCCESS ? std::string() : ErrorText(r);
    }

    std::string DeleteUdpMapping(std::uint16_t externalPort) override {
        if (!m_haveUrls)
            return "no description";
        const std::string ext = std::to_string(externalPort);
        const int r = UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype,
                                             ext.c_str(), "UDP", nullptr);
        return r == UPNPCOMMAND_SUCCESS ? std::string() : ErrorText(r);
    }

private:
    UPNPUrls m_urls{};
    IGDdatas m_data{};
    bool m_haveUrls = false;
};

}  // namespace

bool UpnpAvailable() {
    return true;
}

std::unique_ptr<IUpnpClient> MakeUpnpClient() {
    return std::make_unique<CMiniUpnpClient>();
}
